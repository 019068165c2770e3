// The start sequence and the worker's step sequence: messages, percentages,
// failure codes and log lines, with the operations replaced by the double.
#include <gtest/gtest.h>

#include <process.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/handover.h"
#include "engine/messages.h"
#include "engine/pipeline.h"
#include "pipeline/pipeline_double.h"
#include "platform/install_log.h"
#include "platform/text.h"
#include "support/message_sink.h"
#include "support/test_support.h"

namespace {

using testing_support::MessageSink;
using testing_support::ScratchDir;

std::vector<std::string> G(std::initializer_list<const char8_t*> lines) {
  std::vector<std::string> out;
  for (const char8_t* line : lines) out.push_back(Gbk(line));
  return out;
}

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PipelineDouble::Get().Reset();
    AppContext& ctx = GetAppContext();
    ctx.packageId = "201805";
    ctx.languageId = 2052;
    ctx.installDir = dir_ / "Kavimor201805v9.5";
    ctx.logDir = ctx.installDir + "\\kavimorlog";
    ctx.stagingDir = ctx.installDir + "temp";
    ctx.dependBaseDir = dir_ / "KavimorDependBaseV9.5";
    client_.plannedDownloads = 5;
  }
  void TearDown() override {
    CloseInstallLog();
    if (madeLinks_) testing_support::RemoveUnixSymlinksBelow(WideFromCodePage(dir_.path(), CP_ACP, 32768));
    std::string why;
    const std::wstring journal = HandOverJournalPath(GetAppContext().stagingDir, why);
    if (!journal.empty()) {
      DeleteFileW(journal.c_str());
      RemoveDirectoryW(journal.substr(0, journal.rfind(L'\\')).c_str());
    }
  }

  // Runs the start sequence; on Started, pumps until the worker's last message.
  StartOutcome Start() {
    const StartOutcome outcome = StartInstallSequence(client_, nullptr);
    if (outcome == StartOutcome::Started) {
      EXPECT_TRUE(sink_.PumpUntilFinal(30000));
      // As the window does on WM_INSTALL_FAILED (the log is held unshared).
      CloseInstallLog();
    }
    return outcome;
  }

  std::vector<std::string> Log() { return testing_support::LogTexts(GetAppContext().logDir); }
  // The journal of a run killed while it moved `aside` into <install>old.
  static void WriteAsideJournal(std::vector<std::wstring> aside) {
    const AppContext& ctx = GetAppContext();
    HandOverJournal journal;
    journal.phase = HandOverPhase::MovingAside;
    journal.installDir = WideFromCodePage(ctx.installDir, CP_ACP, 32768);
    journal.stagingDir = WideFromCodePage(ctx.stagingDir, CP_ACP, 32768);
    journal.aside = std::move(aside);
    CreateDirectoryA(ctx.stagingDir.c_str(), nullptr);
    ASSERT_TRUE(WriteHandOverJournal(ctx.stagingDir, journal));
  }
  static bool JournalExists() {
    std::string why;
    const std::wstring path = HandOverJournalPath(GetAppContext().stagingDir, why);
    EXPECT_FALSE(path.empty()) << why;
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  ScratchDir dir_{"pipeline"};
  bool madeLinks_ = false;  // removed from the Unix side at the end
  MessageSink sink_;
  IClient client_;
};

const std::vector<std::string>& StartLines() {
  static const std::vector<std::string> lines = {"Version: IE_9.5.9.1",
                                                 Gbk(u8"用户点击安装，安装开始...")};
  return lines;
}

std::vector<int> Tail(const std::vector<int>& v, size_t n) {
  return v.size() < n ? v : std::vector<int>(v.end() - static_cast<long>(n), v.end());
}

TEST_F(PipelineTest, WithoutQuantRunsTenStepsAndEndsAtEighty) {
  ASSERT_EQ(Start(), StartOutcome::Started);
  EXPECT_EQ(sink_.Steps(), (std::vector<int>{2, 3, 4, 6, 7, 9, 8, 12, 13, 14}));
  EXPECT_EQ(Tail(sink_.Percents(), 7), (std::vector<int>{64, 66, 68, 70, 75, 79, 80}));
  ASSERT_FALSE(sink_.messages().empty());
  EXPECT_EQ(sink_.messages().back().message, WM_INSTALL_DONE);

  const std::string staging = GetAppContext().stagingDir;
  EXPECT_EQ(PipelineDouble::Get().downloads,
            (std::vector<std::string>{"9.5KavimorIE/summary.ini -> " + staging + "/summary.ini",
                                      "9.5KavimorIE/base.zip -> " + staging + "/base.zip",
                                      "9.5KavimorIE/config.zip -> " + staging + "/config.zip",
                                      "9.5KavimorIE/fix/9.5.1.zip -> " + staging + "/9.5.1.zip"}));
  // Runtime before configuration, everything into the staging folder.
  EXPECT_EQ(PipelineDouble::Get().extractions,
            (std::vector<std::string>{staging + "/base.zip -> " + staging,
                                      staging + "/9.5.1.zip -> " + staging,
                                      staging + "/config.zip -> " + staging}));

  std::vector<std::string> expected = StartLines();
  for (const auto& line : G({u8"下载前端依赖库", u8"下载服务依赖库", u8"下载配置文件", u8"下载运行库",
                             u8"安装前端依赖库", u8"安装服务依赖库", u8"安装运行库", u8"安装配置文件",
                             u8"清理安装文件", u8"保存更新版本信息", u8"删除源文件",
                             u8"复制新版本数据到原目录"}))
    expected.push_back(line);
  EXPECT_EQ(Log(), expected);
}

TEST_F(PipelineTest, WithQuantRunsTwelveSteps) {
  PipelineDouble::Get().quantVersion = "3.2.0";
  ASSERT_EQ(Start(), StartOutcome::Started);
  EXPECT_EQ(client_.plannedDownloads, 6);
  EXPECT_EQ(sink_.Steps(), (std::vector<int>{2, 3, 4, 5, 6, 7, 9, 8, 10, 12, 13, 14}));
  EXPECT_EQ(Tail(sink_.Percents(), 8), (std::vector<int>{66, 67, 68, 69, 70, 75, 79, 80}));
  EXPECT_EQ(PipelineDouble::Get().downloads.back(),
            "9.5KavimorIE/quant/3.2.0.zip -> " + GetAppContext().stagingDir + "/3.2.0.zip");
  const auto log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), Gbk(u8"下载Quant")), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), Gbk(u8"安装Quant运行库")), log.end());
}

// Every step that can fail: its code is posted last, after the failure line
// and with nothing after it, and the step's own reason comes first.
struct FailureCase {
  const char* name;
  int code;
  void (*arrange)(IClient&);
  const char8_t* failureLine;
};

const FailureCase kFailures[] = {
    {"depend_download", 1,
     [](IClient& c) {
       c.wantDependPackage = true;
       PipelineDouble::Get().failingKeys.insert("9.5KavimorIE/depend.zip");
     },
     u8"下载前端依赖库失败"},
    {"base_download", 2, [](IClient&) { PipelineDouble::Get().failingKeys.insert("9.5KavimorIE/base.zip"); },
     u8"下载服务依赖库失败"},
    {"config_download", 3,
     [](IClient&) { PipelineDouble::Get().missingKeys.insert("9.5KavimorIE/config.zip"); },
     u8"下载配置文件失败"},
    {"runtime_download", 4,
     [](IClient&) { PipelineDouble::Get().missingKeys.insert("9.5KavimorIE/fix/9.5.1.zip"); },
     u8"下载运行库失败"},
    {"quant_download", 5,
     [](IClient&) {
       PipelineDouble::Get().quantVersion = "q1";
       PipelineDouble::Get().failingKeys.insert("9.5KavimorIE/quant/q1.zip");
     },
     u8"下载Quant 失败"},
    {"depend_install", 6,
     [](IClient& c) {
       c.wantDependPackage = true;
       PipelineDouble::Get().failingPackages.insert(GetAppContext().stagingDir + "/depend.zip");
     },
     u8"安装前端依赖库失败"},
    {"base_install", 7,
     [](IClient&) { PipelineDouble::Get().failingPackages.insert(GetAppContext().stagingDir + "/base.zip"); },
     u8"安装服务依赖库失败"},
    {"config_install", 8,
     [](IClient&) {
       PipelineDouble::Get().failingPackages.insert(GetAppContext().stagingDir + "/config.zip");
     },
     u8"安装配置文件失败"},
    {"runtime_install", 9,
     [](IClient&) { PipelineDouble::Get().failingPackages.insert(GetAppContext().stagingDir + "/9.5.1.zip"); },
     u8"安装运行库失败"},
    {"quant_install", 10,
     [](IClient&) {
       PipelineDouble::Get().quantVersion = "q1";
       PipelineDouble::Get().failingPackages.insert(GetAppContext().stagingDir + "/q1.zip");
     },
     u8"安装Quant运行库失败"},
    {"hand_over", 11, [](IClient&) { PipelineDouble::Get().handOverFails = true; },
     u8"安装失败：文件被占用"},
    // Checked after the last extraction, before the finalisation touches
    // anything: no step 12 follows.
    {"client_missing", 15, [](IClient&) { PipelineDouble::Get().runtimeLacksClient = true; },
     u8"Client program missing from the unpacked packages: kavimor v9.5.exe"},
    // A folder of the client's name is no client.
    {"client_is_a_folder", 15, [](IClient&) { PipelineDouble::Get().clientIsFolder = true; },
     u8"Client program missing from the unpacked packages: kavimor v9.5.exe"},
    // Every file the packages hold must be in the tree with its size.
    {"unpacked_file_lost", 15, [](IClient&) { PipelineDouble::Get().lostFile = "config\\lost.ini"; },
     u8"Unpacked tree incomplete,file:config\\lost.ini,size:5,found:missing"},
};

class PipelineFailureTest : public PipelineTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PipelineFailureTest, PostsItsCodeLastAfterTheFailureLine) {
  const FailureCase& c = GetParam();
  c.arrange(client_);
  ASSERT_EQ(Start(), StartOutcome::Started);

  const auto& messages = sink_.messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_INSTALL_FAILED);
  EXPECT_EQ(messages.back().lParam, c.code);
  int finals = 0;
  for (const auto& m : messages) finals += (m.message == WM_INSTALL_FAILED || m.message == WM_INSTALL_DONE);
  EXPECT_EQ(finals, 1);

  // The failure line is the log's last line: nothing is written after it.
  const auto log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), Gbk(c.failureLine));
  // A failed extraction raised the value but posted nothing more.
  if (c.code >= 6 && c.code <= 10) {
    EXPECT_EQ(messages[messages.size() - 2].message, WM_INSTALL_STEP);
    EXPECT_EQ(messages[messages.size() - 2].lParam, c.code);
  }
  if (c.code == 15) {
    EXPECT_EQ(sink_.Steps().back(), kStepInstallConfig);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, PipelineFailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PipelineTest, MissingRuntimePackageLogsStepReasonAndFailure) {
  PipelineDouble::Get().missingKeys.insert("9.5KavimorIE/fix/9.5.1.zip");
  ASSERT_EQ(Start(), StartOutcome::Started);
  const auto log = Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
            (std::vector<std::string>{Gbk(u8"下载运行库"), "9.5KavimorIE/fix/9.5.1.zip" + Gbk(u8",文件不存在"),
                                      Gbk(u8"下载运行库失败")}));
  EXPECT_EQ(sink_.Steps().back(), 4);
}

TEST_F(PipelineTest, ManifestFailureClosesTheLogAndStartsNoWorker) {
  PipelineDouble::Get().manifestFails = true;
  // The fetch runs off the UI thread: the start returns at once and the
  // failure arrives as the last message, with the manifest's entry 0.
  EXPECT_EQ(StartInstallSequence(client_, nullptr), StartOutcome::Started);
  ASSERT_TRUE(sink_.PumpUntilFinal(30000, 400));
  EXPECT_FALSE(InstallLogIsOpen());
  ASSERT_EQ(sink_.messages().size(), 1u);
  EXPECT_EQ(sink_.messages().back().message, WM_INSTALL_FAILED);
  EXPECT_EQ(sink_.messages().back().lParam, kStepManifest);
  std::vector<std::string> expected = StartLines();
  expected.push_back("9.5KavimorIE/summary.ini" + Gbk(u8",文件不存在"));
  EXPECT_EQ(Log(), expected);
  // The staging folder was prepared before the fetch.
  EXPECT_TRUE(testing_support::PathExists(GetAppContext().stagingDir));
}

TEST_F(PipelineTest, ReinstallWarningCancelledLeavesEverythingAsItWas) {
  const AppContext& ctx = GetAppContext();
  CreateDirectoryA(ctx.installDir.c_str(), nullptr);
  testing_support::DialogAnswerer answer(IDCANCEL);
  EXPECT_EQ(StartInstallSequence(client_, nullptr), StartOutcome::Declined);
  ASSERT_TRUE(answer.Join());
  EXPECT_EQ(answer.caption(), L"\u8B66\u544A");
  EXPECT_EQ(answer.text(), ReinstallPromptFor(2052).text);
  EXPECT_FALSE(testing_support::PathExists(ctx.stagingDir));
  EXPECT_FALSE(testing_support::PathExists(ctx.logDir));
  EXPECT_TRUE(PipelineDouble::Get().downloads.empty());
}

TEST_F(PipelineTest, ReinstallWarningAcceptedGoesOn) {
  GetAppContext().languageId = 1033;
  CreateDirectoryA(GetAppContext().installDir.c_str(), nullptr);
  testing_support::DialogAnswerer answer(IDOK);
  ASSERT_EQ(Start(), StartOutcome::Started);
  ASSERT_TRUE(answer.Join());
  EXPECT_EQ(answer.caption(), L"Warn");
  EXPECT_EQ(sink_.messages().back().message, WM_INSTALL_DONE);
}

TEST_F(PipelineTest, NoWarningWithoutAnInstallFolder) {
  testing_support::DialogAnswerer answer(IDCANCEL, 1500);
  ASSERT_EQ(Start(), StartOutcome::Started);
  EXPECT_FALSE(answer.Join());
}

TEST_F(PipelineTest, StagingLeftoversAreRemovedBeforeARun) {
  const std::string staging = GetAppContext().stagingDir;
  CreateDirectoryA(staging.c_str(), nullptr);
  testing_support::WriteFileBytes(staging + "\\stale.bin", "old");
  PipelineDouble::Get().manifestFails = true;
  Start();
  EXPECT_TRUE(testing_support::PathExists(staging));
  EXPECT_FALSE(testing_support::PathExists(staging + "\\stale.bin"));
}

// The warning comes before the client is stopped: Cancel leaves the client
// the user works in running; OK stops it and goes on.
TEST_F(PipelineTest, ReinstallWarningComesBeforeTheClientIsStopped) {
  struct Case {
    int button;
    StartOutcome outcome;
    bool clientAlive;
  };
  const Case cases[] = {{IDCANCEL, StartOutcome::Declined, true}, {IDOK, StartOutcome::Started, false}};
  const std::string installDir = GetAppContext().installDir;
  const std::string exe = testing_support::InstallStandInClient(installDir);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    HANDLE client = testing_support::StartProgram(exe, "", installDir);
    ASSERT_NE(client, nullptr);
    ASSERT_FALSE(testing_support::WaitForStartRecord(installDir, GetProcessId(client), 30000).empty());
    testing_support::DialogAnswerer answer(c.button);
    EXPECT_EQ(Start(), c.outcome);
    EXPECT_TRUE(answer.Join());
    EXPECT_EQ(WaitForSingleObject(client, 0) == WAIT_TIMEOUT, c.clientAlive);
    TerminateProcess(client, 0);
    WaitForSingleObject(client, 5000);
    CloseHandle(client);
  }
}

// A run killed while its old installation was half aside: the next start,
// with the object store unreachable, puts it back before it empties the
// staging folder, and its log says what it found and did.
TEST_F(PipelineTest, StartSettlesAnInterruptedHandOverBeforeEmptyingStaging) {
  const AppContext& ctx = GetAppContext();
  const std::string asideDir = ctx.installDir + "old";
  CreateDirectoryA(ctx.installDir.c_str(), nullptr);
  testing_support::WriteFileBytes(ctx.installDir + "\\a.txt", "a");
  CreateDirectoryA(asideDir.c_str(), nullptr);
  testing_support::WriteFileBytes(asideDir + "\\b.txt", "b");
  WriteAsideJournal({L"b.txt"});
  testing_support::WriteFileBytes(ctx.stagingDir + "\\new.txt", "new");

  PipelineDouble::Get().manifestFails = true;
  testing_support::DialogAnswerer answer(IDOK);
  EXPECT_EQ(Start(), StartOutcome::Started);
  EXPECT_EQ(sink_.messages().back().message, WM_INSTALL_FAILED);
  EXPECT_EQ(sink_.messages().back().lParam, kStepManifest);
  EXPECT_EQ(testing_support::ReadFileBytes(ctx.installDir + "\\a.txt"), "a");
  EXPECT_EQ(testing_support::ReadFileBytes(ctx.installDir + "\\b.txt"), "b");
  EXPECT_FALSE(testing_support::PathExists(asideDir));
  EXPECT_FALSE(JournalExists());
  EXPECT_FALSE(testing_support::PathExists(ctx.stagingDir + "\\new.txt"));
  std::vector<std::string> expected = StartLines();
  expected.push_back("Interrupted hand-over found while moving the old installation aside: " + ctx.installDir);
  expected.push_back("Old installation restored");
  expected.push_back("9.5KavimorIE/summary.ini" + Gbk(u8",文件不存在"));
  EXPECT_EQ(Log(), expected);
}

TEST_F(PipelineTest, AWorkerThatCannotStartEndsInFailureWithALogLine) {
  // As the runtime library reports a thread it could not create.
  StartWorkerThread = [](void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*) -> uintptr_t {
    errno = EAGAIN;
    return 0;
  };
  const StartOutcome outcome = StartInstallSequence(client_, nullptr);
  StartWorkerThread = _beginthreadex;
  EXPECT_EQ(outcome, StartOutcome::WorkerNotStarted);
  EXPECT_FALSE(InstallLogIsOpen());
  sink_.Pump(400);
  EXPECT_TRUE(sink_.Steps().empty());
  const auto log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2], "Install thread not started, error " + std::to_string(EAGAIN));
}

// A journal that cannot be read, with an aside folder that may hold the only
// copy of old files: the start stops before it deletes anything (staging,
// aside or install folder), tells the user in the user's language and says
// why in the log; it stops again at the next press.
TEST_F(PipelineTest, UnreadableJournalWithAsideFolderStopsTheStart) {
  const AppContext& ctx = GetAppContext();
  const std::string asideDir = ctx.installDir + "old";
  CreateDirectoryA(ctx.installDir.c_str(), nullptr);
  testing_support::WriteFileBytes(ctx.installDir + "\\new.dll", "new");
  CreateDirectoryA(asideDir.c_str(), nullptr);
  testing_support::WriteFileBytes(asideDir + "\\old.dll", "only copy");
  CreateDirectoryA(ctx.stagingDir.c_str(), nullptr);
  testing_support::WriteFileBytes(ctx.stagingDir + "\\staged.dll", "staged");
  std::string why;
  const std::wstring journal = HandOverJournalPath(ctx.stagingDir, why);
  ASSERT_FALSE(journal.empty()) << why;
  HANDLE file = CreateFileW(journal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, "kavimor hand-over journal\r\nversion 2\r\ninstall \xff\xfe\r\n", 48, &written, nullptr);
  CloseHandle(file);

  for (int press = 0; press < 2; ++press) {
    testing_support::DialogAnswerer answer(IDOK);
    EXPECT_EQ(StartInstallSequence(client_, nullptr), StartOutcome::RecoveryNeedsAttention);
    ASSERT_TRUE(answer.Join());
    EXPECT_EQ(answer.text(), UnsettledHandOverMessage(2052, WideFromCodePage(ctx.installDir, CP_ACP, 32768)));
    EXPECT_EQ(answer.caption(), L"\u8B66\u544A");
  }
  EXPECT_EQ(testing_support::ReadFileBytes(asideDir + "\\old.dll"), "only copy");
  EXPECT_EQ(testing_support::ReadFileBytes(ctx.installDir + "\\new.dll"), "new");
  EXPECT_EQ(testing_support::ReadFileBytes(ctx.stagingDir + "\\staged.dll"), "staged");
  EXPECT_TRUE(JournalExists());
  EXPECT_TRUE(PipelineDouble::Get().downloads.empty());
  const auto logs = testing_support::LogFiles(ctx.logDir);
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(testing_support::ReadFileBytes(logs.front()).find("Hand-over journal unreadable, nothing done: ") !=
                std::string::npos,
            true);
  EXPECT_NE(testing_support::ReadFileBytes(logs.front())
                .find("Installation stopped: an earlier hand-over is not settled, nothing deleted"),
            std::string::npos);
  DeleteFileW(journal.c_str());
}

// Cancel at the reinstall warning no longer skips the recovery: it ran
// before the question, so the old installation is whole whatever the answer.
TEST_F(PipelineTest, CancelAtTheWarningStillRecoversAPendingHandOver) {
  const AppContext& ctx = GetAppContext();
  const std::string asideDir = ctx.installDir + "old";
  CreateDirectoryA(ctx.installDir.c_str(), nullptr);
  testing_support::WriteFileBytes(ctx.installDir + "\\a.txt", "a");  // put back already
  CreateDirectoryA(asideDir.c_str(), nullptr);
  testing_support::WriteFileBytes(asideDir + "\\b.txt", "b");
  WriteAsideJournal({L"a.txt", L"b.txt"});

  testing_support::DialogAnswerer answer(IDCANCEL);
  EXPECT_EQ(StartInstallSequence(client_, nullptr), StartOutcome::Declined);
  ASSERT_TRUE(answer.Join());
  EXPECT_EQ(answer.text(), ReinstallPromptFor(2052).text);
  EXPECT_EQ(testing_support::ReadFileBytes(ctx.installDir + "\\a.txt"), "a");
  EXPECT_EQ(testing_support::ReadFileBytes(ctx.installDir + "\\b.txt"), "b");
  EXPECT_FALSE(testing_support::PathExists(asideDir));
  EXPECT_FALSE(JournalExists());
  // What it found is logged with the next run, or at the program's end.
  LogPendingRecoveryLines();
  const auto lines = Log();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "Interrupted hand-over found while moving the old installation aside: " + ctx.installDir);
  EXPECT_EQ(lines[2], "Old installation restored");
}

// An install folder that is a link, as a local user makes one: refused with
// a message before anything is written through it.
TEST_F(PipelineTest, InstallFolderThatIsALinkIsRefused) {
  const AppContext& ctx = GetAppContext();
  const std::string target = dir_ / "elsewhere";
  CreateDirectoryA(target.c_str(), nullptr);
  testing_support::WriteFileBytes(target + "\\service.exe", "not ours");
  madeLinks_ = true;
  ASSERT_TRUE(testing_support::MakeUnixSymlink(WideFromCodePage(target, CP_ACP, 32768),
                                               WideFromCodePage(ctx.installDir, CP_ACP, 32768)));
  testing_support::DialogAnswerer answer(IDOK);
  EXPECT_EQ(StartInstallSequence(client_, nullptr), StartOutcome::Declined);
  ASSERT_TRUE(answer.Join());
  EXPECT_EQ(answer.text(), LinkedInstallFolderMessage(2052, WideFromCodePage(ctx.installDir, CP_ACP, 32768)));
  EXPECT_EQ(testing_support::TreeContents(target),
            (std::map<std::string, std::string>{{"service.exe", "not ours"}}));
  EXPECT_FALSE(testing_support::PathExists(ctx.stagingDir));
  EXPECT_TRUE(PipelineDouble::Get().downloads.empty());
}

TEST(ReinstallPrompt, TextsByLanguage) {
  EXPECT_EQ(std::wstring(ReinstallPromptFor(1028).caption), L"\u8B66\u544A");
  EXPECT_EQ(std::wstring(ReinstallPromptFor(1028).text).substr(0, 4), L"\u8ACB\u6CE8\u610F\uFF0C");
  EXPECT_EQ(std::wstring(ReinstallPromptFor(1041).text), ReinstallPromptFor(2052).text);
  EXPECT_EQ(std::wstring(ReinstallPromptFor(1033).text).size(), 132u);
}

}  // namespace
