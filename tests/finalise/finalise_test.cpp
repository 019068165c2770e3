// The finalisation on a worker thread against the real file system,
// registry and shell: which route the hand-over takes, what the install
// folder holds afterwards, the messages the window receives and the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/handover.h"
#include "engine/messages.h"
#include "platform/install_log.h"
#include "platform/shortcut.h"
#include "platform/text.h"
#include "registration_helpers.h"
#include "support/message_sink.h"
#include "support/test_support.h"

namespace {

using namespace registration_test;
using testing_support::MessageSink;
using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

// Volume serial and file index: equal for the same file, different for a copy.
std::string FileIdentity(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<none>";
  BY_HANDLE_FILE_INFORMATION info{};
  GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
         ":" + std::to_string(info.nFileIndexLow);
}

void MakeFolders(const std::string& path) {
  for (size_t pos = path.find('\\', 3); pos != std::string::npos; pos = path.find('\\', pos + 1))
    CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
  CreateDirectoryA(path.c_str(), nullptr);
}

void PutFile(const std::string& path, const std::string& bytes) {
  MakeFolders(path.substr(0, path.rfind('\\')));
  WriteFileBytes(path, bytes);
}

using Messages = std::vector<std::pair<UINT, LPARAM>>;

// A tree as relative path -> bytes, without the log folder at its top and
// without the version record (compared by value).
using Tree = std::map<std::string, std::string>;
Tree Snapshot(const std::string& folder) { return testing_support::TreeContents(folder, {"kavimorlog", "update.ini"}); }

const Messages kHandOverFailed = {{WM_INSTALL_STEP, 12},     {WM_INSTALL_STEP, 13}, {WM_INSTALL_STEP, 14},
                                  {WM_INSTALL_PROGRESS, 75}, {WM_INSTALL_FAILED, 11}};

class FinaliseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppContext& ctx = GetAppContext();
    ctx.packageId = UniqueId("F");
    ctx.displayName = "KvFinal" + UniqueId("_");
    ctx.languageId = 1041;
    Layout(root_.path(), root_.path());
    client_.configStamp = 1700000000;
    std::snprintf(client_.fixVersion, sizeof client_.fixVersion, "9.5.1");
    client_.progressPercent = 70;
  }
  void TearDown() override {
    const AppContext& ctx = GetAppContext();
    CloseInstallLog();
    DeleteFileA(ShortcutPathOf(GetAppContext().displayName).c_str());
    RegDeleteTreeA(HKEY_CLASSES_ROOT, ("Kavimor" + ctx.packageId).c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, UninstallKey().c_str());
    if (!otherVolume_.empty()) testing_support::RemoveTree(otherVolume_);
    // The state folder of this test's staging folder, with its journal.
    std::string why;
    const std::wstring journal = HandOverJournalPath(ctx.stagingDir, why);
    if (!journal.empty()) {
      DeleteFileW(journal.c_str());
      RemoveDirectoryW(journal.substr(0, journal.rfind(L'\\')).c_str());
    }
  }

  // The install folder under `installBase`, the staging folder under
  // `stagingBase` (they differ only when the staging folder is on another
  // volume).
  void Layout(const std::string& installBase, const std::string& stagingBase) {
    AppContext& ctx = GetAppContext();
    const std::string leaf = "Kavimor" + ctx.packageId + "v9.5";
    ctx.installDir = installBase + "\\" + leaf;
    ctx.logDir = ctx.installDir + "\\kavimorlog";
    ctx.stagingDir = stagingBase + "\\" + leaf + "temp";
  }
  static std::string UninstallKey() {
    return "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kavimor_" +
           GetAppContext().packageId + "v9.5";
  }
  std::string Staged(const std::string& name) const { return GetAppContext().stagingDir + "\\" + name; }
  std::string Installed(const std::string& name) const { return GetAppContext().installDir + "\\" + name; }

  // What the extraction steps leave in the staging folder, downloads included.
  void FillStaging(bool withConfig) {
    MakeFolders(GetAppContext().stagingDir);
    testing_support::InstallStandInClient(GetAppContext().stagingDir);
    PutFile(Staged("Server\\bin\\service.dll"), "service");
    PutFile(Staged("empty\\nested"), "");
    DeleteFileA(Staged("empty\\nested").c_str());  // an empty folder, kept by the copy too
    if (withConfig) PutFile(Staged("config\\kavimor.Default.pub"), "[kavimor]\r\ntheme=dark\r\n");
    for (const char* download : {"summary.ini", "base.zip", "config.zip", "9.5.1.zip"})
      PutFile(Staged(download), "downloaded");
  }
  void FillOldInstall() {
    PutFile(Installed("old.txt"), "old");
    PutFile(Installed("Server\\bin\\service.dll"), "old service");
  }

  // Runs the finalisation on a thread of its own, as the worker does, while
  // this thread plays the window.
  unsigned Run() {
    unsigned result = 99;
    std::thread worker([&] { result = RunFinalisation(client_); });
    const bool final = sink_.PumpUntilFinal(120000);
    worker.join();
    EXPECT_TRUE(final);
    for (const auto& m : sink_.messages()) messages_.emplace_back(m.message, m.lParam);
    return result;
  }

  static Messages SuccessMessages() {
    return {{WM_INSTALL_STEP, 12},     {WM_INSTALL_STEP, 13},     {WM_INSTALL_STEP, 14},
            {WM_INSTALL_PROGRESS, 75}, {WM_INSTALL_PROGRESS, 79}, {WM_INSTALL_PROGRESS, 80},
            {WM_INSTALL_DONE, 0}};
  }
  std::vector<std::string> ExpectedLog() const {
    const AppContext& ctx = GetAppContext();
    std::vector<std::string> lines = {Gbk(u8"清理安装文件"), Gbk(u8"保存更新版本信息"),
                                      Gbk(u8"删除源文件"), Gbk(u8"复制新版本数据到原目录"),
                                      "URL Schemes: Start", "URL Schemes: Finish",
                                      ShortcutPathOf(GetAppContext().displayName), Installed("kavimor v9.5.exe"),
                                      ctx.installDir};
    for (const char* call : {"CoInitialize", "CoCreateInstance", "IShellLink::SetPath",
                             "IShellLink::SetWorkingDirectory", "IShellLink::QueryInterface",
                             "IPersistFile::Save"})
      lines.push_back(std::string(call) + " : 0");
    return lines;
  }

  // The complete new tree, the version record and the settings in place.
  void ExpectInstalledTree(bool withConfig) {
    EXPECT_EQ(ReadFileBytes(Installed("Server\\bin\\service.dll")), "service");
    EXPECT_TRUE(PathExists(Installed("kavimor v9.5.exe")));
    EXPECT_TRUE(PathExists(Installed("empty")));
    for (const char* download : {"summary.ini", "base.zip", "config.zip", "9.5.1.zip"})
      EXPECT_FALSE(PathExists(Installed(download))) << download;
    EXPECT_EQ(testing_support::IniValue(Installed("update.ini"), "version", "cur"), "9.5.1");
    EXPECT_EQ(testing_support::IniValue(Installed("update.ini"), "version", "quant"), "");
    EXPECT_EQ(testing_support::IniValue(Installed("update.ini"), "cfgstamp", "time"), "1700000000");
    const std::string pub = Installed("config\\kavimor.Default.pub");
    const std::string pri = Installed("config\\kavimor.Default.pri");
    if (withConfig) {
      EXPECT_EQ(testing_support::IniValue(pub, "kavimor", "package"), GetAppContext().packageId);
      EXPECT_EQ(testing_support::IniValue(pub, "kavimor", "theme"), "dark");
      EXPECT_EQ(testing_support::IniValue(pri, "kavimor", "language"), "1041");
    } else {
      EXPECT_FALSE(PathExists(Installed("config")));
    }
    EXPECT_FALSE(PathExists(GetAppContext().stagingDir));
  }
  void ExpectRegistered() {
    EXPECT_EQ(ReadNarrow(HKEY_LOCAL_MACHINE, UninstallKey(), "DisplayVersion").bytes,
              NarrowBytes("9.5.1"));
    EXPECT_EQ(ReadNarrow(HKEY_CLASSES_ROOT, "Kavimor" + GetAppContext().packageId +
                                                "\\shell\\open\\command", "")
                  .bytes,
              NarrowBytes(Installed("kavimor v9.5.exe")));
    EXPECT_TRUE(PathExists(ShortcutPathOf(GetAppContext().displayName)));
  }

  // Drive Z: maps the Unix root; /dev/shm is a file system of its own, so
  // a staging folder there cannot be renamed into the install folder.
  bool StagingOnAnotherVolume() {
    if (!PathExists("Z:\\dev\\shm")) return false;
    otherVolume_ = "Z:\\dev\\shm\\kvt_final_" + UniqueId("");
    MakeFolders(otherVolume_);
    Layout(root_.path(), otherVolume_);
    return true;
  }
  // The staged tree as the hand-over will find it: downloads cleaned up.
  Tree NewTree() const {
    Tree tree = Snapshot(GetAppContext().stagingDir);
    for (const char* download : {"summary.ini", "base.zip", "config.zip", "9.5.1.zip"}) tree.erase(download);
    return tree;
  }
  // No trace of the swap's own folders and journal.
  void ExpectNoSwapLeftovers() const {
    const AppContext& ctx = GetAppContext();
    EXPECT_FALSE(PathExists(ctx.installDir + "old"));
    EXPECT_FALSE(PathExists(ctx.installDir + "new"));
    EXPECT_FALSE(JournalExists());
  }
  static bool JournalExists() {
    std::string why;
    const std::wstring path = HandOverJournalPath(GetAppContext().stagingDir, why);
    EXPECT_FALSE(path.empty()) << why;
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  // Runs the real finalisation (or, with " recover", a start's recovery) in
  // a process of its own and kills it at `point`; true when it got there.
  bool StopVictimAt(HandOverPoint point, const char* mode = "") {
    const AppContext& ctx = GetAppContext();
    const std::string marker = root_ / ("stopped" + std::to_string(static_cast<int>(point)));
    const std::string args = std::to_string(static_cast<int>(point)) + " \"" + ctx.installDir + "\" \"" +
                             ctx.stagingDir + "\" " + ctx.packageId + " " + ctx.displayName + " \"" + marker + "\"" +
                             mode;
    HANDLE victim = testing_support::StartProgram(testing_support::ProgramFolder() + "\\handover_victim.exe", args,
                                                  root_.path());
    if (victim == nullptr) return false;
    const ULONGLONG end = GetTickCount64() + 60000;
    while (!PathExists(marker) && GetTickCount64() < end && WaitForSingleObject(victim, 50) == WAIT_TIMEOUT) {
    }
    const bool stopped = PathExists(marker);
    TerminateProcess(victim, 9);
    WaitForSingleObject(victim, 10000);
    CloseHandle(victim);
    return stopped;
  }
  // Run with the log open in the install folder, as a real run has it, and
  // `checkpoint` called at every point of the hand-over; the log is closed after.
  unsigned RunWithCheckpoint(HandOverCheckpoint checkpoint) {
    OpenInstallLog(GetAppContext().logDir);
    SetHandOverCheckpoint(checkpoint);
    const unsigned result = Run();
    SetHandOverCheckpoint(nullptr);
    CloseInstallLog();
    return result;
  }
  static Recovery Recover() {
    return RecoverInterruptedHandOver(GetAppContext().installDir, GetAppContext().stagingDir);
  }

  ScratchDir root_{"final"};
  std::string otherVolume_;
  IClient client_;
  MessageSink sink_;
  Messages messages_;
};

TEST_F(FinaliseTest, MoveRouteTurnsStagingIntoTheInstallFolder) {
  FillStaging(true);
  FillOldInstall();
  const std::string identity = FileIdentity(Staged("Server\\bin\\service.dll"));
  GetAppContext().logDir = root_ / "logs";  // nothing held open in the old folder
  OpenInstallLog(GetAppContext().logDir);

  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(messages_, SuccessMessages());
  EXPECT_FALSE(InstallLogIsOpen());
  EXPECT_EQ(testing_support::LogTexts(root_ / "logs"), ExpectedLog());
  ExpectInstalledTree(true);
  EXPECT_FALSE(PathExists(Installed("old.txt")));
  // The very same file, moved rather than copied.
  EXPECT_EQ(FileIdentity(Installed("Server\\bin\\service.dll")), identity);
  ExpectRegistered();
}

// The run's own log, open without sharing inside the old install folder,
// stays where it is; everything else is swapped by renames, and no program
// is started for it: a cmd.exe planted in the current folder (searched
// before the system folder) never runs.
TEST_F(FinaliseTest, SwapAroundTheRunsOwnLogStartsNoProgram) {
  FillStaging(true);
  FillOldInstall();
  const std::string identity = FileIdentity(Staged("Server\\bin\\service.dll"));
  const Tree newTree = NewTree();
  OpenInstallLog(GetAppContext().logDir);  // inside the old install folder, without sharing
  const auto logFiles = testing_support::LogFiles(GetAppContext().logDir);
  ASSERT_EQ(logFiles.size(), 1u);
  ScratchDir planted("planted");
  ASSERT_TRUE(CopyFileA(testing_support::InstallStandInClient(planted.path()).c_str(),
                        (planted / "cmd.exe").c_str(), FALSE));
  char previous[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, previous);
  SetCurrentDirectoryA(planted.path().c_str());

  const unsigned result = Run();
  SetCurrentDirectoryA(previous);
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(messages_, SuccessMessages());
  ExpectInstalledTree(true);
  // Exactly the new tree and the settings: nothing of the old one is left.
  Tree expected = newTree;
  expected["config\\kavimor.Default.pri"] = "";
  Tree installed = Snapshot(GetAppContext().installDir);
  installed["config\\kavimor.Default.pri"] = "";
  installed["config\\kavimor.Default.pub"] = expected["config\\kavimor.Default.pub"];
  EXPECT_EQ(installed, expected);
  EXPECT_EQ(FileIdentity(Installed("Server\\bin\\service.dll")), identity);  // renamed, not copied
  EXPECT_TRUE(testing_support::WaitForAnyStartRecord(planted.path(), 500).empty());
  // The log stayed where it was and received every line up to its close.
  EXPECT_EQ(testing_support::LogFiles(GetAppContext().logDir), logFiles);
  EXPECT_EQ(testing_support::LogTexts(GetAppContext().logDir), ExpectedLog());
  ExpectRegistered();
}

TEST_F(FinaliseTest, CopyRouteWhenStagingLiesOnAnotherVolume) {
  if (!StagingOnAnotherVolume()) GTEST_SKIP() << "no Z:\\dev\\shm in this Wine prefix";
  FillStaging(true);
  const auto volume = [](const std::string& path) {
    const std::string id = FileIdentity(path);
    return id.substr(0, id.find(':'));
  };
  ASSERT_NE(volume(Staged("kavimor v9.5.exe")), volume(root_.path()));
  GetAppContext().logDir = root_ / "logs";
  OpenInstallLog(GetAppContext().logDir);

  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(messages_, SuccessMessages());
  ExpectInstalledTree(true);
  ExpectNoSwapLeftovers();
  ExpectRegistered();
}

TEST_F(FinaliseTest, WithoutConfigFolderTheSettingsStayUnwritten) {
  FillStaging(false);
  GetAppContext().logDir = root_ / "logs";
  OpenInstallLog(GetAppContext().logDir);
  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(messages_, SuccessMessages());
  ExpectInstalledTree(false);
}

// The staging tree did not reach the install folder whole: code 11 after its
// line, no registration, the staging folder kept, and the log left open for
// the window to close.
TEST_F(FinaliseTest, HandOverThatDoesNotCompleteFailsWithCode11) {
  FillOldInstall();
  AppContext& ctx = GetAppContext();
  ctx.stagingDir = root_ / "vanished_staging";  // nothing to move or copy
  ctx.logDir = root_ / "logs";
  OpenInstallLog(GetAppContext().logDir);

  EXPECT_EQ(Run(), 0u);
  EXPECT_EQ(messages_, (Messages{{WM_INSTALL_STEP, 12},
                                 {WM_INSTALL_STEP, 13},
                                 {WM_INSTALL_STEP, 14},
                                 {WM_INSTALL_PROGRESS, 75},
                                 {WM_INSTALL_FAILED, 11}}));
  EXPECT_TRUE(InstallLogIsOpen());
  CloseInstallLog();
  const auto lines = testing_support::LogTexts(root_ / "logs");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
            (std::vector<std::string>{Gbk(u8"清理安装文件"), Gbk(u8"保存更新版本信息"),
                                      Gbk(u8"删除源文件"), Gbk(u8"复制新版本数据到原目录")}));
  EXPECT_EQ(lines[4], "Staging folder missing: " + ctx.stagingDir);
  EXPECT_EQ(lines[5], Gbk(u8"安装失败：文件被占用"));
  EXPECT_EQ(ReadFileBytes(Installed("old.txt")), "old");
  EXPECT_EQ(ReadFileBytes(Installed("Server\\bin\\service.dll")), "old service");
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey()));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "Kavimor" + ctx.packageId));
  EXPECT_FALSE(PathExists(ShortcutPathOf(GetAppContext().displayName)));
}

// A hand-over that meets a fault ends with code 11 after a line naming the
// cause, the old installation byte for byte as it was and the new tree
// still complete in the staging folder.
struct HandOverFault {
  const char* name;
  bool otherVolume;
  std::string (*heldFile)();  // held open during the run
  const char* causeLine;      // start of the line that names the cause, before the path
  DWORD fileSharing;          // a held file's sharing (a folder is held as a current folder is)
};

class HandOverFaultTest : public FinaliseTest, public ::testing::WithParamInterface<HandOverFault> {};

std::string Under(const std::string& folder, const char* name) { return folder + "\\" + name; }

const HandOverFault kHandOverFaults[] = {
    // Found before anything moves: a program holds a file of the old tree.
    {"old_file_in_use", false, [] { return Under(GetAppContext().installDir, "Server\\bin\\service.dll"); },
     "In use: ", 0},
    // Found half-way through moving the new tree in: held as a scanner
    // holds a file, readable and writable (so it is flushed) but not
    // deletable.
    {"new_file_held", false, [] { return Under(GetAppContext().stagingDir, "kavimor v9.5.exe"); }, "Not moved: ",
     FILE_SHARE_READ | FILE_SHARE_WRITE},
    // A file of the new tree that cannot even be opened to be written to
    // disk: found before anything moves.
    {"new_file_locked", false, [] { return Under(GetAppContext().stagingDir, "Server\\bin\\service.dll"); },
     "Not written to disk: ", 0},
    // Found half-way through moving the old tree aside: a folder held open.
    {"old_folder_held", false, [] { return Under(GetAppContext().installDir, "Server"); }, "Not moved: ", 0},
    // Something named like the aside folder that no journal accounts for:
    // it may hold the only copy of something, so it stays and the swap
    // does not start.
    {"aside_name_taken", false, [] { return GetAppContext().installDir + "old"; }, "In the way, left as it is: ", 0},
    // The copy to the install volume misses a file: no silent skip.
    {"copy_incomplete", true, [] { return Under(GetAppContext().stagingDir, "Server\\bin\\service.dll"); },
     "Not copied: ", 0},
};

TEST_P(HandOverFaultTest, PutsTheOldInstallationBackAndFailsWithCode11) {
  const HandOverFault& fault = GetParam();
  if (fault.otherVolume && !StagingOnAnotherVolume()) GTEST_SKIP() << "no Z:\\dev\\shm in this Wine prefix";
  FillStaging(true);
  FillOldInstall();
  const std::string held = fault.heldFile();
  if (!PathExists(held)) PutFile(held, "in the way");
  const Tree oldTree = Snapshot(GetAppContext().installDir);
  const Tree newTree = NewTree();
  OpenInstallLog(GetAppContext().logDir);  // inside the install folder, as in a real run
  // A folder is held as a program's current folder is: readable, not
  // deletable; a file without any sharing.
  const bool folder = (GetFileAttributesA(held.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
  HANDLE handle = CreateFileA(held.c_str(), GENERIC_READ, folder ? FILE_SHARE_READ | FILE_SHARE_WRITE : fault.fileSharing,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);

  const unsigned result = Run();
  CloseHandle(handle);
  CloseInstallLog();
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(messages_, kHandOverFailed);
  EXPECT_EQ(Snapshot(GetAppContext().installDir), oldTree);
  EXPECT_EQ(Snapshot(GetAppContext().stagingDir), newTree);
  EXPECT_EQ(testing_support::IniValue(Staged("update.ini"), "version", "cur"), "9.5.1");
  EXPECT_FALSE(PathExists(GetAppContext().installDir + "new"));
  EXPECT_FALSE(JournalExists());
  const auto lines = testing_support::LogTexts(GetAppContext().logDir);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[3], Gbk(u8"复制新版本数据到原目录"));
  const std::string cause = std::string(fault.causeLine) + held;
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(cause, 0) == 0; }), 1)
      << cause;
  EXPECT_EQ(lines.back(), Gbk(u8"安装失败：文件被占用"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey()));
}

INSTANTIATE_TEST_SUITE_P(Faults, HandOverFaultTest, ::testing::ValuesIn(kHandOverFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// A real process killed at each point of its hand-over: the next start's
// recovery finds, or makes, a complete old or a complete new installation,
// byte for byte, and the staging tree it leaves still installs.
struct KillPoint {
  const char* name;
  HandOverPoint point;
  bool otherVolume;
  bool expectNew;
  bool recoveryKilled = false;
};

class HandOverKillTest : public FinaliseTest, public ::testing::WithParamInterface<KillPoint> {};

const KillPoint kKillPoints[] = {
    {"begun", HandOverPoint::Begun, false, false},
    {"one_aside", HandOverPoint::OneAside, false, false},
    {"all_aside", HandOverPoint::AllAside, false, false},
    {"one_in", HandOverPoint::OneIn, false, false},
    {"all_in", HandOverPoint::AllIn, false, false},
    {"committed", HandOverPoint::Committed, false, true},
    {"finished", HandOverPoint::Finished, false, true},
    {"copying_other_volume", HandOverPoint::Begun, true, false},
    {"copied_other_volume", HandOverPoint::Copied, true, false},
    {"one_in_other_volume", HandOverPoint::OneIn, true, false},
    {"committed_other_volume", HandOverPoint::Committed, true, true},
    // The next start's recovery killed too, after it put its first entry
    // back: the one after it ends the same as one that ran through.
    {"all_aside_recovery_killed", HandOverPoint::AllAside, false, false, true},
    {"all_in_recovery_killed", HandOverPoint::AllIn, false, false, true},
    {"one_in_other_volume_recovery_killed", HandOverPoint::OneIn, true, false, true},
};

TEST_P(HandOverKillTest, NextStartFindsACompleteInstallation) {
  const KillPoint& kill = GetParam();
  if (kill.otherVolume && !StagingOnAnotherVolume()) GTEST_SKIP() << "no Z:\\dev\\shm in this Wine prefix";
  const AppContext& ctx = GetAppContext();
  FillStaging(true);
  FillOldInstall();
  const Tree oldTree = Snapshot(ctx.installDir);
  const Tree newTree = NewTree();
  ASSERT_TRUE(StopVictimAt(kill.point));
  if (kill.recoveryKilled) {
    ASSERT_TRUE(StopVictimAt(HandOverPoint::OneUndone, " recover"));
    EXPECT_NE(Snapshot(ctx.installDir), oldTree);  // really cut short half-way
  }

  const Recovery recovery = Recover();
  const std::vector<std::string>& lines = recovery.lines;
  EXPECT_EQ(Snapshot(ctx.installDir), kill.expectNew ? newTree : oldTree);
  ExpectNoSwapLeftovers();
  if (kill.point == HandOverPoint::Finished) {
    EXPECT_TRUE(lines.empty());  // nothing was left unfinished
    EXPECT_EQ(recovery.outcome, RecoveryOutcome::Nothing);
  } else {
    EXPECT_EQ(recovery.outcome, RecoveryOutcome::Settled);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().rfind("Interrupted hand-over found while ", 0), 0u) << lines.front();
    EXPECT_EQ(lines.back(), kill.expectNew ? "New installation complete" : "Old installation restored");
  }
  EXPECT_TRUE(Recover().lines.empty());
  if (kill.expectNew) {
    EXPECT_EQ(testing_support::IniValue(Installed("update.ini"), "version", "cur"), "9.5.1");
    return;
  }
  // Restored: the staging tree is whole again and a new hand-over completes.
  EXPECT_EQ(Snapshot(ctx.stagingDir), newTree);
  GetAppContext().logDir = root_ / "logs";
  OpenInstallLog(GetAppContext().logDir);
  EXPECT_EQ(Run(), 1u);
  ExpectInstalledTree(true);
  ExpectNoSwapLeftovers();
}

INSTANTIATE_TEST_SUITE_P(Points, HandOverKillTest, ::testing::ValuesIn(kKillPoints),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FinaliseTest, CleanupDeletesExactlyTheDownloadedFiles) {
  struct Case {
    const char* quantVersion;
    std::vector<std::string> gone;
    std::vector<std::string> kept;
  };
  const Case cases[] = {
      {"q7", {"summary.ini", "depend.zip", "base.zip", "config.zip", "9.5.1.zip", "q7.zip"},
       {"update.ini", "other.zip", "Server\\base.zip", ".zip"}},
      // Without a quant version the sixth name is ".zip" alone.
      {"", {"summary.ini", "base.zip", "config.zip", "9.5.1.zip", ".zip"},
       {"q7.zip", "update.ini", "other.zip"}},
  };
  for (const auto& c : cases) {
    testing_support::RemoveTree(GetAppContext().stagingDir);
    std::snprintf(client_.quantVersion, sizeof client_.quantVersion, "%s", c.quantVersion);
    for (const auto& name : c.gone) PutFile(Staged(name), "x");
    for (const auto& name : c.kept) PutFile(Staged(name), "x");
    client_.CleanupDownloads();
    for (const auto& name : c.gone) EXPECT_FALSE(PathExists(Staged(name))) << name;
    for (const auto& name : c.kept) EXPECT_TRUE(PathExists(Staged(name))) << name;
  }
}


// ---------------------------------------------------------------------------
// What a standard user can write cannot steer the elevated hand-over, and
// recovery can be cut short and repeated.

std::wstring WideOf(const std::string& path) { return WideFromCodePage(path, CP_ACP, 32768); }

// The journal's bytes as a planted or damaged one would be.
void PlantJournal(const std::string& bytes) {
  std::string why;
  const std::wstring path = HandOverJournalPath(GetAppContext().stagingDir, why);
  ASSERT_FALSE(path.empty()) << why;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::string JournalText(const std::string& install, const std::string& staging, const std::string& records,
                        const char* version = "2") {
  return std::string("kavimor hand-over journal\r\nversion ") + version + "\r\ninstall " + install + "\r\nstaging " +
         staging + "\r\n" + records;
}

// Folders outside the install and staging folders that a planted journal
// names: a "protected" folder and its "...old" and "...new" siblings, each
// holding a file.
class HostileTest : public FinaliseTest {
 protected:
  void SetUp() override {
    FinaliseTest::SetUp();
    protected_ = root_ / "protected";
    for (const std::string& folder : {protected_, protected_ + "old", protected_ + "new"}) {
      PutFile(folder + "\\service.exe", "system's own");
      PutFile(folder + "\\evil.dll", "planted");
    }
    FillStaging(true);
    FillOldInstall();
  }
  // Everything under the scratch root but the install and staging folders'
  // own trees, which the checks compare separately.
  Tree Outside() const {
    Tree tree = testing_support::TreeContents(root_.path());
    for (auto it = tree.begin(); it != tree.end();) {
      const std::string& path = it->first;
      const bool ours = path.rfind("protected", 0) != 0;
      it = ours ? tree.erase(it) : std::next(it);
    }
    return tree;
  }
  void TearDown() override {
    testing_support::RemoveUnixSymlinksBelow(WideOf(root_.path()));
    FinaliseTest::TearDown();
  }
  std::string protected_;
};

struct PlantedJournal {
  const char* name;
  std::string (*bytes)(const std::string& install, const std::string& staging, const std::string& other);
  const char* line;  // start of the recovery's refusal line
};

const PlantedJournal kPlantedJournals[] = {
    {"garbage", [](const std::string&, const std::string&, const std::string&) { return std::string("\x01\x02 not a journal\r\n"); },
     "Hand-over journal unreadable, nothing done: "},
    {"torn_header", [](const std::string&, const std::string&, const std::string&) { return std::string("kavimor hand-over jo"); },
     "Hand-over journal unreadable, nothing done: "},
    {"unknown_version",
     [](const std::string& i, const std::string& s, const std::string&) { return JournalText(i, s, "aside old.txt\r\nmoving-aside\r\n", "3"); },
     "Hand-over journal of another installer version, nothing done: "},
    {"record_out_of_order",
     [](const std::string& i, const std::string& s, const std::string&) { return JournalText(i, s, "committed\r\n"); },
     "Hand-over journal unreadable, nothing done: "},
    // Paths of another folder in every phase: the protected folder as the
    // install folder, its siblings as aside and copy folders.
    {"other_install_begun", [](const std::string&, const std::string& s, const std::string& o) { return JournalText(o, s, ""); },
     "Hand-over journal for other folders refused, nothing done: "},
    {"other_install_copying",
     [](const std::string&, const std::string& s, const std::string& o) { return JournalText(o, s, "copy\r\n"); },
     "Hand-over journal for other folders refused, nothing done: "},
    {"other_install_aside",
     [](const std::string&, const std::string& s, const std::string& o) {
       return JournalText(o, s, "aside evil.dll\r\naside service.exe\r\nmoving-aside\r\n");
     },
     "Hand-over journal for other folders refused, nothing done: "},
    {"other_install_in",
     [](const std::string&, const std::string& s, const std::string& o) {
       return JournalText(o, s, "aside service.exe\r\nmoving-aside\r\nin service.exe\r\nin evil.dll\r\nmoving-in\r\n");
     },
     "Hand-over journal for other folders refused, nothing done: "},
    {"other_install_committed",
     [](const std::string&, const std::string& s, const std::string& o) {
       return JournalText(o, s, "copy\r\nmoving-aside\r\nmoving-in\r\ncommitted\r\n");
     },
     "Hand-over journal for other folders refused, nothing done: "},
    {"other_staging_in",
     [](const std::string& i, const std::string&, const std::string& o) {
       return JournalText(i, o, "moving-aside\r\nin service.exe\r\nmoving-in\r\n");
     },
     "Hand-over journal for other folders refused, nothing done: "},
    // The right folders, entry names that climb out of them.
    {"names_climb_out",
     [](const std::string& i, const std::string& s, const std::string&) {
       return JournalText(i, s, "aside ..\\protected\r\nmoving-aside\r\nin ..\\protected\\service.exe\r\nmoving-in\r\n");
     },
     "Hand-over journal for other folders refused, nothing done: "},
};

class PlantedJournalTest : public HostileTest, public ::testing::WithParamInterface<PlantedJournal> {};

TEST_P(PlantedJournalTest, LeavesEveryFolderAsItIsAndStopsTheStart) {
  const AppContext& ctx = GetAppContext();
  const Tree outside = Outside();
  const Tree oldTree = Snapshot(ctx.installDir);
  const Tree staged = Snapshot(ctx.stagingDir);
  PlantJournal(GetParam().bytes(ctx.installDir, ctx.stagingDir, protected_));

  for (int start = 0; start < 2; ++start) {  // as often as the installer is started
    const Recovery recovery = Recover();
    EXPECT_EQ(recovery.outcome, RecoveryOutcome::Unsettled);
    ASSERT_FALSE(recovery.lines.empty());
    EXPECT_EQ(recovery.lines.back().rfind(GetParam().line, 0), 0u) << recovery.lines.back();
    // The folder the user is told about: the one a readable journal names.
    const bool namesOther = std::string(GetParam().name).rfind("other_install", 0) == 0;
    EXPECT_EQ(recovery.installDir, WideOf(namesOther ? protected_ : ctx.installDir));
    // What a start does next: the staging folder stays while the journal does.
    EXPECT_FALSE(DeleteStagingIfSettled(ctx.installDir, ctx.stagingDir));
  }
  EXPECT_EQ(Outside(), outside);
  EXPECT_EQ(Snapshot(ctx.installDir), oldTree);
  EXPECT_EQ(Snapshot(ctx.stagingDir), staged);
  EXPECT_TRUE(JournalExists());
}

INSTANTIATE_TEST_SUITE_P(Journals, PlantedJournalTest, ::testing::ValuesIn(kPlantedJournals),
                         [](const auto& info) { return std::string(info.param.name); });

// Links where the swap expects real folders, made as a local user makes
// them: nothing is followed, whatever the link leads to stays as it was.
struct LinkCase {
  const char* name;
  std::string (*link)();    // the path made a link to the protected folder
  bool installs;            // the run still installs (the link lies deep in the old tree)
  const char* line;         // start of the log line naming the link...
  std::string (*logged)();  // ...and the path it names
};

const LinkCase kLinkCases[] = {
    {"install_folder", [] { return GetAppContext().installDir; }, false, "Not a real folder, not followed: ",
     [] { return GetAppContext().installDir; }},
    {"aside_folder", [] { return GetAppContext().installDir + "old"; }, false, "In the way, left as it is: ",
     [] { return GetAppContext().installDir + "old"; }},
    {"folder_in_old_tree", [] { return GetAppContext().installDir + "\\Server"; }, false, "Link not followed: ",
     [] { return GetAppContext().installDir + "\\Server"; }},
    {"folder_in_new_tree", [] { return GetAppContext().stagingDir + "\\Linked"; }, false, "Link not followed: ",
     [] { return GetAppContext().stagingDir + "\\Linked"; }},
    // Found only while the old tree is deleted: the run completes, the link
    // and what holds it are left over and named.
    {"deep_in_old_tree", [] { return GetAppContext().installDir + "\\Server\\bin"; }, true, "Link not followed: ",
     [] { return GetAppContext().installDir + "old\\Server\\bin"; }},
};

class LinkTest : public HostileTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinkTest, NothingBehindALinkIsMovedOrDeleted) {
  const LinkCase& c = GetParam();
  const AppContext& ctx = GetAppContext();
  const std::string link = c.link();
  testing_support::RemoveTree(link);
  ASSERT_TRUE(testing_support::MakeUnixSymlink(WideOf(protected_), WideOf(link)))
      << link << " " << GetFileAttributesA(link.c_str()) << " " << GetLastError();
  const Tree newTree = NewTree();
  const Tree outside = Outside();
  const Tree oldTree = Snapshot(ctx.installDir);
  GetAppContext().logDir = root_ / "logs";
  OpenInstallLog(GetAppContext().logDir);

  const unsigned result = Run();
  CloseInstallLog();
  EXPECT_EQ(Outside(), outside);
  const auto lines = testing_support::LogTexts(root_ / "logs");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) { return l.rfind(c.line + c.logged(), 0) == 0; }),
            1)
      << c.line << c.logged();
  if (c.installs) {
    EXPECT_EQ(result, 1u);
    EXPECT_EQ(testing_support::IniValue(Installed("update.ini"), "version", "cur"), "9.5.1");
    EXPECT_EQ(ReadFileBytes(Installed("Server\\bin\\service.dll")), "service");
    return;
  }
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(messages_, kHandOverFailed);
  EXPECT_EQ(Snapshot(ctx.installDir), oldTree);
  EXPECT_EQ(NewTree(), newTree);
  EXPECT_FALSE(JournalExists());
}

INSTANTIATE_TEST_SUITE_P(Links, LinkTest, ::testing::ValuesIn(kLinkCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A program (a virus scanner, say) holds, without delete sharing, the first
// new entry the swap moved in and a new entry still to move: the swap fails
// and its rollback can put back only part of the old installation. That is
// its own outcome, not the clean code 11; the next start, still blocked,
// deletes nothing (the staging folder stays though its run would empty it);
// the start after the program lets go restores the old tree whole.
HANDLE HeldMovedIn = nullptr;
HANDLE HeldStillStaged = nullptr;

void HoldTwoNewEntries(HandOverPoint point) {
  if (point != HandOverPoint::OneIn) return;
  const AppContext& ctx = GetAppContext();
  for (const char* name : {"kavimor v9.5.exe", "a.dll", "b.dll", "update.ini"}) {
    const std::string in = ctx.installDir + "\\" + name;
    const std::string staged = ctx.stagingDir + "\\" + name;
    HANDLE& slot = PathExists(staged) ? HeldStillStaged : HeldMovedIn;
    if (slot != nullptr || (!PathExists(staged) && !PathExists(in))) continue;
    slot = CreateFileA(PathExists(staged) ? staged.c_str() : in.c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }
}

TEST_F(FinaliseTest, PartialRollbackIsItsOwnOutcomeAndLaterStartsFinishIt) {
  const AppContext& ctx = GetAppContext();
  // Files only at the top of the new tree, so that the first one moved in is
  // a file that can be held.
  MakeFolders(ctx.stagingDir);
  testing_support::InstallStandInClient(ctx.stagingDir);
  PutFile(Staged("a.dll"), "new a");
  PutFile(Staged("b.dll"), "new b");
  FillOldInstall();
  PutFile(Installed("a.dll"), "old a");
  const Tree oldTree = Snapshot(ctx.installDir);
  const unsigned result = RunWithCheckpoint(HoldTwoNewEntries);
  ASSERT_NE(HeldMovedIn, nullptr);
  ASSERT_NE(HeldStillStaged, nullptr);
  EXPECT_EQ(result, 0u);
  ASSERT_FALSE(messages_.empty());
  EXPECT_EQ(messages_.back(), (std::pair<UINT, LPARAM>{WM_INSTALL_FAILED, kStepHandOverPartial}));
  const auto lines = testing_support::LogTexts(ctx.logDir);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Old installation not fully restored");
  EXPECT_EQ(lines.back(), Gbk(u8"安装失败：旧版本未完全恢复"));
  EXPECT_TRUE(JournalExists());
  EXPECT_TRUE(PathExists(ctx.installDir + "old"));  // what could not go back is kept

  // The next start, the program still holding: nothing settles, nothing goes.
  Recovery second = Recover();
  EXPECT_EQ(second.outcome, RecoveryOutcome::Unsettled);
  EXPECT_EQ(second.lines.back(), "Hand-over journal kept for the next start");
  EXPECT_FALSE(DeleteStagingIfSettled(ctx.installDir, ctx.stagingDir));
  EXPECT_TRUE(PathExists(ctx.installDir + "old"));

  CloseHandle(HeldMovedIn);
  CloseHandle(HeldStillStaged);
  HeldMovedIn = HeldStillStaged = nullptr;
  const Recovery third = Recover();
  EXPECT_EQ(third.outcome, RecoveryOutcome::Settled);
  EXPECT_EQ(third.lines.back(), "Old installation restored");
  EXPECT_EQ(Snapshot(ctx.installDir), oldTree);
  EXPECT_TRUE(TreeHoldsClient(ctx.stagingDir));
  EXPECT_EQ(ReadFileBytes(Staged("a.dll")), "new a");
  ExpectNoSwapLeftovers();
  EXPECT_TRUE(Recover().lines.empty());
}

// The journal keeps names the system's code page cannot spell, and a
// committed swap's old tree is deleted also where its paths pass MAX_PATH.
TEST_F(FinaliseTest, RecoveryHandlesNamesOutsideTheCodePageAndLongPaths) {
  const AppContext& ctx = GetAppContext();
  const std::wstring install = WideOf(ctx.installDir);
  const std::wstring name = L"\u0416\u00E9\u20AC\U0001F600.dll";  // Cyrillic, Latin, euro, emoji
  ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((install + L"old").c_str(), nullptr));
  HANDLE file = CreateFileW((install + L"old\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  MakeFolders(ctx.stagingDir);
  HandOverJournal journal;
  journal.phase = HandOverPhase::MovingAside;
  journal.installDir = install;
  journal.stagingDir = WideOf(ctx.stagingDir);
  journal.aside = {name};
  ASSERT_TRUE(WriteHandOverJournal(ctx.stagingDir, journal));
  EXPECT_EQ(Recover().outcome, RecoveryOutcome::Settled);
  EXPECT_NE(GetFileAttributesW((install + L"\\" + name).c_str()), INVALID_FILE_ATTRIBUTES);
  ExpectNoSwapLeftovers();

  // Committed, with an old tree nested past MAX_PATH.
  std::wstring deep = L"\\\\?\\" + install + L"old";
  ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  for (int level = 0; level < 12; ++level) {
    deep += L"\\" + std::wstring(30, static_cast<wchar_t>(L'a' + level));
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  }
  ASSERT_GT(deep.size(), 300u);
  file = CreateFileW((deep + L"\\deep.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  journal.phase = HandOverPhase::Committed;
  journal.in = {name};
  ASSERT_TRUE(WriteHandOverJournal(ctx.stagingDir, journal));
  const Recovery committed = Recover();
  EXPECT_EQ(committed.outcome, RecoveryOutcome::Settled);
  EXPECT_EQ(committed.lines.back(), "New installation complete");
  ExpectNoSwapLeftovers();
}


// The commit is recorded only once the whole new tree is seen in place: an
// entry that vanishes after it was moved in (a program of the user's takes
// it away) leaves the swap uncommitted, and the old installation comes back
// whole with the clean code 11.
void TakeAwayTheClient(HandOverPoint point) {
  if (point != HandOverPoint::AllIn) return;
  const std::string exe = GetAppContext().installDir + "\\kavimor v9.5.exe";
  MoveFileA(exe.c_str(), (exe + ".taken").c_str());
}

TEST_F(FinaliseTest, NothingIsCommittedBeforeTheNewTreeIsSeenInPlace) {
  const AppContext& ctx = GetAppContext();
  FillStaging(true);
  FillOldInstall();
  const Tree oldTree = Snapshot(ctx.installDir);
  const unsigned result = RunWithCheckpoint(TakeAwayTheClient);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(messages_, kHandOverFailed);
  Tree restored = Snapshot(ctx.installDir);
  EXPECT_EQ(restored.erase("kavimor v9.5.exe.taken"), 1u);  // what the other program took stays its own
  EXPECT_EQ(restored, oldTree);
  const auto lines = testing_support::LogTexts(ctx.logDir);
  const std::string notInPlace = "Not in place after the move: " + Installed("kavimor v9.5.exe");
  EXPECT_NE(std::find(lines.begin(), lines.end(), notInPlace), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Old installation restored"), lines.end());
  EXPECT_EQ(lines.back(), Gbk(u8"安装失败：文件被占用"));
  ExpectNoSwapLeftovers();
}

}  // namespace
