// A whole installation, headless: the real engine (manifest, downloads,
// extraction, finalisation, registrations) against the local object-store
// server holding a generated package set. This thread plays the window: it
// starts the installation as the window's Install button does and receives
// the posted messages.
#include <gtest/gtest.h>
#include <zlib.h>

#include <objbase.h>
#include <shobjidl.h>

#include <algorithm>
#include <sstream>

#include "cache/package_cache.h"
#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/messages.h"
#include "engine/pipeline.h"
#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/shortcut.h"
#include "platform/text.h"
#include "registration_helpers.h"
#include "support/message_sink.h"
#include "support/oss_server.h"
#include "support/package_cache_helpers.h"
#include "support/package_tree.h"
#include "support/test_support.h"
#include "ui/kavimor_layout.h"

namespace {

using namespace registration_test;
using testing_support::MessageSink;
using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;

std::wstring LinkTarget(const std::string& linkPath, std::wstring* icon) {
  win::ComApartment apartment;
  win::ComPtr<IShellLinkW> link;
  win::ComPtr<IPersistFile> file;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              link.put_void())) ||
      FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())) ||
      FAILED(file->Load(WideFromCodePage(linkPath, CP_ACP, 4096).c_str(), STGM_READ)))
    return L"<not loaded>";
  wchar_t buffer[2048] = {};
  link->GetPath(buffer, 2048, nullptr, SLGP_RAWPATH);
  wchar_t iconBuffer[2048] = {};
  int index = -1;
  link->GetIconLocation(iconBuffer, 2048, &index);
  *icon = iconBuffer;
  return buffer;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    AppContext& ctx = GetAppContext();
    ctx.packageId = "201805";
    ctx.displayName = "NOLDAR Trading System";
    ctx.languageId = 2052;
    ctx.languageCode = "CHS";
    ApplyDirectoryLayout(ctx, profile_.path(), "", ctx.packageId);
    Cleanup();
    // Scratch paths come back with reused process ids: no cache of an
    // earlier run of this test may stand in for the downloads.
    testing_support::ForgetPackageCache(ctx.installDir);
  }
  void TearDown() override {
    CloseInstallLog();
    Cleanup();
  }
  static void Cleanup() { registration_test::RemoveInstallRegistrations(); }

  // Starts the installation as the window's Install button does, against
  // the local object store, and takes its messages until the last one.
  void InstallToTheEnd(MessageSink& sink) {
    ASSERT_TRUE(server_.running());
    // As the window's initialisation does, with the endpoint of this server.
    auto* client = new IClient;  // the worker is never joined; the record outlives it
    client->PrepareStorageAccess();
    client->endpoint = server_.endpoint();
    CreateStorageClient(*client);
    ASSERT_EQ(StartInstallSequence(*client, sink.window()), StartOutcome::Started);
    ASSERT_TRUE(sink.PumpUntilFinal(300000));
    ASSERT_EQ(sink.messages().back().message, static_cast<UINT>(WM_INSTALL_DONE));
  }

  ScratchDir profile_{"e2e"};
  testing_support::OssServerProcess server_{testing_support::DosPath(KAVIMOR_E2E_BUCKET),
                                            KAVIMOR_TEST_BUCKET, KAVIMOR_TEST_KEY_ID,
                                            KAVIMOR_TEST_KEY_SECRET};
};

TEST_F(EndToEnd, WholeInstallationFromTheObjectStore) {
  const AppContext& ctx = GetAppContext();
  MessageSink sink;
  InstallToTheEnd(sink);
  if (HasFatalFailure()) return;

  // Steps in the order of the run, the quant package included.
  EXPECT_EQ(sink.Steps(), (std::vector<int>{2, 3, 4, 5, 6, 7, 9, 8, 10, 12, 13, 14}));
  // Downloads take the first 80 % in six shares (five transfers with the
  // manifest), each extraction 10/6, the finalisation +5, +4, +1.
  // The manifest is fetched while five shares are planned (its transfer ends
  // at 16); the quant version it lists makes them six, so the worker's first
  // transfer starts lower, at 13. From there on the value only grows.
  const std::vector<int> percents = sink.Percents();
  ASSERT_GE(percents.size(), 8u);
  std::vector<int> manifest;
  std::vector<int> worker;
  bool workerStarted = false;
  for (const auto& m : sink.messages()) {
    if (m.message == WM_INSTALL_STEP) workerStarted = true;
    if (m.message == WM_INSTALL_PROGRESS) (workerStarted ? worker : manifest).push_back(static_cast<int>(m.lParam));
  }
  ASSERT_FALSE(manifest.empty());
  EXPECT_EQ(manifest.back(), 16);
  for (int p : manifest) EXPECT_LE(p, 16);
  ASSERT_FALSE(worker.empty());
  EXPECT_GE(worker.front(), 13);
  for (size_t i = 1; i < worker.size(); ++i) EXPECT_LE(worker[i - 1], worker[i]) << i;
  EXPECT_EQ(std::vector<int>(percents.end() - 8, percents.end()),
            (std::vector<int>{66, 67, 68, 69, 70, 75, 79, 80}));

  // The complete tree, later packages replacing earlier ones.
  const auto tree = testing_support::ReadExpectedTree(testing_support::DosPath(KAVIMOR_E2E_TREE));
  ASSERT_GT(tree.size(), 20u);
  for (const auto& file : tree) {
    const std::string path = ctx.installDir + "\\" + file.path;
    ASSERT_TRUE(PathExists(path)) << file.path;
    const std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(bytes.size(), file.size) << file.path;
    EXPECT_EQ(testing_support::Crc32(bytes), file.crc) << file.path;
  }
  EXPECT_EQ(testing_support::IniValue(ctx.installDir + "\\config\\default.ini", "kavimor", "source"), "config");
  EXPECT_TRUE(PathExists(ctx.installDir + "\\Server\\cache"));  // an empty folder entry
  for (const char* download : {"summary.ini", "base.zip", "config.zip", "9.5.9.1.zip", "1.2.0.zip"})
    EXPECT_FALSE(PathExists(ctx.installDir + "\\" + download)) << download;
  EXPECT_FALSE(PathExists(ctx.stagingDir));

  const std::string record = ctx.installDir + "\\update.ini";
  EXPECT_EQ(testing_support::IniValue(record, "cfgstamp", "time"), "1731922214");
  EXPECT_EQ(testing_support::IniValue(record, "version", "cur"), "9.5.9.1");
  EXPECT_EQ(testing_support::IniValue(record, "version", "quant"), "1.2.0");

  // The settings join what the configuration package brought.
  const std::string pub = ctx.installDir + "\\config\\kavimor.Default.pub";
  const std::string pri = ctx.installDir + "\\config\\kavimor.Default.pri";
  EXPECT_EQ(testing_support::IniValue(pub, "kavimor", "package"), "201805");
  EXPECT_EQ(testing_support::IniValue(pub, "kavimor", "server"), "quote.example");
  EXPECT_EQ(testing_support::IniValue(pri, "kavimor", "language"), "2052");
  EXPECT_EQ(testing_support::IniValue(pri, "kavimor", "layout"), "classic");

  const std::string exe = ctx.installDir + "\\kavimor v9.5.exe";
  const std::string uninstall =
      "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kavimor_201805v9.5";
  EXPECT_EQ(ReadWide(HKEY_LOCAL_MACHINE, std::wstring(uninstall.begin(), uninstall.end()),
                     L"DisplayName")
                .bytes,
            WideBytes(L"NOLDAR Trading Systemv9.5"));
  EXPECT_EQ(ReadNarrow(HKEY_LOCAL_MACHINE, uninstall, "DisplayVersion").bytes, NarrowBytes("9.5.9.1"));
  EXPECT_EQ(ReadNarrow(HKEY_LOCAL_MACHINE, uninstall, "DisplayIcon").bytes, NarrowBytes(exe));
  EXPECT_EQ(ReadNarrow(HKEY_CLASSES_ROOT, "Kavimor201805\\shell\\open\\command", "").bytes,
            NarrowBytes(exe));

  std::wstring icon;
  EXPECT_EQ(LinkTarget(ShortcutPathOf(ctx.displayName), &icon), WideFromCodePage(exe, kGbkCodePage, 4096));
  EXPECT_EQ(icon, WideFromCodePage(ctx.installDir + "\\Server\\config\\shortcut\\shortcut201805.ico",
                                   kGbkCodePage, 4096));

  // The log: every line of the run in order, closed by the worker.
  EXPECT_FALSE(InstallLogIsOpen());
  // Each object fetched leaves one line saying how it came and what it
  // cost the network: a first installation fetches every one whole.
  auto fetched = [](const std::string& key) {
    return testing_support::FetchedWholeLine(testing_support::DosPath(KAVIMOR_E2E_BUCKET) + "\\9.5KavimorIE",
                                             "9.5KavimorIE", key);
  };
  // The test build has no release key, and says so.
  std::vector<std::string> expected = {"Version: IE_9.5.9.1", Gbk(u8"用户点击安装，安装开始..."),
                                       "release verification off", fetched("summary.ini"), Gbk(u8"下载前端依赖库"),
                                       Gbk(u8"下载服务依赖库"), fetched("base.zip"),
                                       Gbk(u8"下载配置文件"), fetched("config.zip"),
                                       Gbk(u8"下载运行库"), fetched("fix/9.5.9.1.zip"),
                                       Gbk(u8"下载Quant"), fetched("quant/1.2.0.zip")};
  for (const char8_t* line :
       {u8"安装前端依赖库", u8"安装服务依赖库", u8"安装运行库", u8"安装配置文件", u8"安装Quant运行库",
        u8"清理安装文件", u8"保存更新版本信息", u8"删除源文件", u8"复制新版本数据到原目录"})
    expected.push_back(Gbk(line));
  for (const std::string& line :
       {std::string("URL Schemes: Start"), std::string("URL Schemes: Finish"), ShortcutPathOf(ctx.displayName),
        exe, ctx.installDir})
    expected.push_back(line);
  for (const char* call : {"CoInitialize", "CoCreateInstance", "IShellLink::SetPath",
                           "IShellLink::SetWorkingDirectory", "IShellLink::QueryInterface",
                           "IPersistFile::Save"})
    expected.push_back(std::string(call) + " : 0");
  EXPECT_EQ(testing_support::LogTexts(ctx.logDir), expected);

  // Every object came from the store: the manifest and the four packages.
  int gets = 0;
  for (const auto& request : server_.RequestLog())
    if (request.method == "GET" && request.status == 200) ++gets;
  EXPECT_EQ(gets, 5);
}

// An update costs what changed. The same release installed again moves no
// package body; its update, where 3 % of the runtime package's files
// changed under a new runtime version, fetches only their ranges (and the
// runtime's directory) and installs exactly the new tree; the cache then
// keeps only the new release.
TEST_F(EndToEnd, ARepeatAndAnUpdateFetchOnlyWhatChanged) {
  const AppContext& ctx = GetAppContext();
  const std::string update = testing_support::DosPath(KAVIMOR_E2E_UPDATE);
  struct Run {
    const char* name;
    const char* bucket;
    const char* tree;
  };
  const Run runs[] = {{"first", "before", "before_tree.txt"},
                      {"repeat", "before", "before_tree.txt"},
                      {"update", "after", "after_tree.txt"}};
  for (const Run& run : runs) {
    SCOPED_TRACE(run.name);
    testing_support::OssServerProcess server(update + "\\" + run.bucket, KAVIMOR_TEST_BUCKET, KAVIMOR_TEST_KEY_ID,
                                             KAVIMOR_TEST_KEY_SECRET);
    ASSERT_TRUE(server.running());
    auto* client = new IClient;  // the worker is never joined; the record outlives it
    client->PrepareStorageAccess();
    client->endpoint = server.endpoint();
    CreateStorageClient(*client);
    testing_support::RemoveTree(ctx.logDir);  // one log file: this run's
    MessageSink sink;
    {
      // Every run after the first is a reinstall over the folder.
      std::unique_ptr<testing_support::DialogAnswerer> reinstall;
      if (PathExists(ctx.installDir)) reinstall = std::make_unique<testing_support::DialogAnswerer>(IDOK);
      ASSERT_EQ(StartInstallSequence(*client, sink.window()), StartOutcome::Started);
    }
    ASSERT_TRUE(sink.PumpUntilFinal(300000));
    ASSERT_EQ(sink.messages().back().message, static_cast<UINT>(WM_INSTALL_DONE));
    // Progress stays honest: reused objects fill their share at once, and
    // the scale ends where a whole download ends it.
    const std::vector<int> percents = sink.Percents();
    ASSERT_GE(percents.size(), 8u);
    EXPECT_EQ(std::vector<int>(percents.end() - 8, percents.end()),
              (std::vector<int>{66, 67, 68, 69, 70, 75, 79, 80}));

    for (const auto& file : testing_support::ReadExpectedTree(update + "\\" + run.tree)) {
      const std::string bytes = ReadFileBytes(ctx.installDir + "\\" + file.path);
      ASSERT_EQ(bytes.size(), file.size) << file.path;
      ASSERT_EQ(testing_support::Crc32(bytes), file.crc) << file.path;
    }
    const std::vector<std::string> log = testing_support::LogTexts(ctx.logDir);
    std::vector<std::string> fetched;
    for (const std::string& line : log)
      if (line.rfind("Fetched ", 0) == 0) fetched.push_back(line);
    int64_t bodies = 0;
    for (const auto& r : testing_support::SettledRequestLog(server)) bodies += r.method == "GET" ? r.bodyBytes : 0;
    const std::string release = update + "\\" + run.bucket + "\\9.5KavimorIE\\";
    if (std::string(run.name) == "first") {
      EXPECT_EQ(fetched.size(), 5u);
      for (const std::string& line : fetched) EXPECT_NE(line.find(",whole,"), std::string::npos) << line;
    } else if (std::string(run.name) == "repeat") {
      EXPECT_EQ(bodies, 0);
      const std::vector<std::string> reused = {"summary.ini", "base.zip", "config.zip", "fix/9.5.9.1.zip",
                                               "quant/1.2.0.zip"};
      ASSERT_EQ(fetched.size(), reused.size());
      for (size_t i = 0; i < reused.size(); ++i)
        EXPECT_EQ(fetched[i], "Fetched 9.5KavimorIE/" + reused[i] + ",reused,network bytes:0");
    } else {
      // The new runtime by ranges: a small share of it over the network.
      const int64_t runtimeSize = static_cast<int64_t>(ReadFileBytes(release + "fix\\9.5.9.2.zip").size());
      const int64_t summarySize = static_cast<int64_t>(ReadFileBytes(release + "summary.ini").size());
      ASSERT_EQ(fetched.size(), 5u);
      EXPECT_EQ(fetched[0], "Fetched 9.5KavimorIE/summary.ini,whole,network bytes:" + std::to_string(summarySize));
      EXPECT_EQ(fetched[1], "Fetched 9.5KavimorIE/base.zip,reused,network bytes:0");
      EXPECT_EQ(fetched[2], "Fetched 9.5KavimorIE/config.zip,reused,network bytes:0");
      EXPECT_EQ(fetched[3].rfind("Fetched 9.5KavimorIE/fix/9.5.9.2.zip,ranges fetched:", 0), 0u) << fetched[3];
      EXPECT_EQ(fetched[4], "Fetched 9.5KavimorIE/quant/1.2.0.zip,reused,network bytes:0");
      EXPECT_GT(bodies, summarySize);
      EXPECT_LT(bodies, runtimeSize / 10) << fetched[3];
      const size_t at = fetched[3].find("network bytes:");
      EXPECT_EQ(std::atoll(fetched[3].c_str() + at + 14), bodies - summarySize);
      // Only the installed release stays in the cache.
      const cache::PackageCache kept(testing_support::PackageCacheFolder(ctx.installDir));
      EXPECT_NE(GetFileAttributesW(kept.PathOf("9.5KavimorIE/fix/9.5.9.2.zip", L".pkg").c_str()),
                INVALID_FILE_ATTRIBUTES);
      EXPECT_EQ(GetFileAttributesW(kept.PathOf("9.5KavimorIE/fix/9.5.9.1.zip", L".pkg").c_str()),
                INVALID_FILE_ATTRIBUTES);
    }
  }
}

// A run killed while the runtime package comes in (at about 60 %, its
// bytes then trickling), and the next run: it continues that download with
// a range from where the first one's record says its bytes are good, and
// installs the whole tree.
TEST_F(EndToEnd, ARunKilledMidDownloadIsResumedByTheNext) {
  AppContext& ctx = GetAppContext();
  const std::string bucket = testing_support::DosPath(KAVIMOR_E2E_UPDATE) + "\\before";
  const std::string key = "9.5KavimorIE/fix/9.5.9.1.zip";
  const int64_t size = static_cast<int64_t>(ReadFileBytes(bucket + "\\9.5KavimorIE\\fix\\9.5.9.1.zip").size());
  testing_support::OssServerProcess server(bucket, KAVIMOR_TEST_BUCKET, KAVIMOR_TEST_KEY_ID, KAVIMOR_TEST_KEY_SECRET);
  ASSERT_TRUE(server.running());
  server.SetFaults({{"trickle", key, size * 6 / 10, 0, 0.2}});
  const std::string program = testing_support::ProgramFolder() + "\\headless_install.exe";
  const std::string args = server.endpoint() + " " + profile_.path();
  const cache::PackageCache cached(testing_support::PackageCacheFolder(ctx.installDir));
  const std::string record = NarrowToCodePage(cached.PathOf(key, L".resume"), CP_ACP, 32768);

  HANDLE first = testing_support::StartProgram(program, args, profile_.path());
  ASSERT_NE(first, nullptr);
  int64_t reached = 0;
  for (int i = 0; i < 400 && reached < size / 2; ++i, Sleep(50)) {
    std::istringstream lines(PathExists(record) ? ReadFileBytes(record) : std::string());
    std::string line;
    for (int n = 0; n < 5 && std::getline(lines, line); ++n) {
    }
    reached = std::atoll(line.c_str());
  }
  TerminateProcess(first, 9);
  WaitForSingleObject(first, 10000);
  CloseHandle(first);
  ASSERT_GE(reached, size / 2);

  server.SetFaults({});
  server.ClearLog();
  HANDLE second = testing_support::StartProgram(program, args, profile_.path());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(WaitForSingleObject(second, 120000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(second, &code);
  CloseHandle(second);
  EXPECT_EQ(code, 0u);

  int resumed = 0;
  for (const auto& r : testing_support::SettledRequestLog(server)) {
    // (The killed run's answer is logged once the server notices it went.)
    if (r.method != "GET" || r.key != key || r.range.empty()) continue;
    ++resumed;
    EXPECT_EQ(r.status, 206);
    const int64_t from = std::atoll(r.range.c_str() + 6);
    EXPECT_GE(from, reached);
    EXPECT_EQ(r.range, "bytes=" + std::to_string(from) + "-");
    EXPECT_EQ(r.bodyBytes, size - from);
  }
  EXPECT_EQ(resumed, 1);
  for (const auto& file : testing_support::ReadExpectedTree(testing_support::DosPath(KAVIMOR_E2E_UPDATE) + "\\before_tree.txt")) {
    const std::string bytes = ReadFileBytes(ctx.installDir + "\\" + file.path);
    ASSERT_EQ(bytes.size(), file.size) << file.path;
    ASSERT_EQ(testing_support::Crc32(bytes), file.crc) << file.path;
  }
  testing_support::ForgetPackageCache(ctx.installDir);
}

// The same installation on a system of another script (the locale runs set
// the ANSI code page: 950 for zh_TW and zh_HK, 932 for ja_JP, 936 for the
// default zh_CN): the user's folder and the picked install folder are named
// in that script, with a character whose second byte is 0x5C.
std::wstring NameInTheSystemsScript() {
  switch (SystemCodePage()) {
    case 950: return L"\u8A31\u529F";  // 許功
    case 932: return L"\u30BD\u8868";  // ソ表
    default: return L"\u4E57\u9648";   // 乗陈
  }
}

std::string Utf8(const std::wstring& text) {
  std::string out(text.size() * 4 + 1, '\0');
  out.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                                     out.data(), static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

TEST_F(EndToEnd, FoldersNamedInTheSystemsScript) {
  AppContext& ctx = GetAppContext();
  const std::wstring name = NameInTheSystemsScript();
  const std::string nameBytes = *ExactlyInCodePage(name, SystemCodePage());
  const std::string profileBase = profile_ / (nameBytes + "\\AppData\\Local");
  ASSERT_TRUE(CreateFolderPath(profileBase + "\\"));
  ApplyDirectoryLayout(ctx, profileBase, "", ctx.packageId);
  const std::wstring picked = WideFromCodePage(profile_ / (nameBytes + "\\"), CP_ACP, 4096) + name + L"\\";
  ASSERT_TRUE(ApplyPickedFolder(picked, SystemCodePage()));
  testing_support::ForgetPackageCache(ctx.installDir);
  const std::wstring installDir = picked.substr(0, picked.size() - 1) + L"\\Kavimor201805v9.5";
  ASSERT_EQ(WideFromCodePage(ctx.installDir, CP_ACP, 4096), installDir);

  MessageSink sink;
  InstallToTheEnd(sink);
  if (HasFatalFailure()) return;

  // The tree is in the picked folder, found by its UTF-16 name; the names
  // inside the packages are code page 936 whatever the system's is.
  for (const auto& file : testing_support::ReadExpectedTree(testing_support::DosPath(KAVIMOR_E2E_TREE))) {
    const std::wstring path = installDir + L"\\" + WideFromCodePage(file.path, kGbkCodePage, 4096);
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << file.path;
  }
  const std::wstring exe = installDir + L"\\kavimor v9.5.exe";
  std::wstring icon;
  EXPECT_EQ(LinkTarget(ShortcutPathOf(ctx.displayName), &icon), exe);
  const std::string uninstall =
      "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kavimor_201805v9.5";
  const std::wstring key(uninstall.begin(), uninstall.end());
  EXPECT_EQ(ReadWide(HKEY_LOCAL_MACHINE, key, L"DisplayIcon").bytes, WideBytes(exe));
  EXPECT_EQ(ReadWide(HKEY_LOCAL_MACHINE, key, L"UninstallString").bytes,
            WideBytes(installDir + L"\\uninstall.exe"));
  EXPECT_EQ(ReadWide(HKEY_CLASSES_ROOT, L"Kavimor201805\\shell\\open\\command", L"").bytes, WideBytes(exe));

  // The log holds the GBK form of the paths, whatever the system's code page.
  const std::vector<std::string> log = testing_support::LogTexts(ctx.logDir);
  EXPECT_NE(std::find(log.begin(), log.end(), LogTextOfPath(exe)), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), LogTextOfPath(installDir)), log.end());
  EXPECT_NE(LogTextOfPath(exe).find(Gbk(SystemCodePage() == 950   ? u8"許功"
                                        : SystemCodePage() == 932 ? u8"ソ表"
                                                                  : u8"乗陈")),
            std::string::npos);

  // "Open": the client starts from the picked folder with its argument.
  ASSERT_TRUE(LaunchClient(ctx.installDir));
  const std::vector<std::string> record = testing_support::WaitForAnyStartRecord(ctx.installDir, 10000);
  testing_support::StopProcessesOf(ctx.installDir + "\\kavimor v9.5.exe");
  ASSERT_EQ(record.size(), 4u);
  EXPECT_EQ(record[1], Utf8(installDir));
  EXPECT_EQ(record[3], "end");
}

}  // namespace
