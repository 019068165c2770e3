// The finalisation on a worker thread against the real file system,
// registry and shell: which route the hand-over takes, what the install
// folder holds afterwards, the messages the window receives and the log.
#include <gtest/gtest.h>

#include <thread>

#include "engine/app_context.h"
#include "engine/client.h"
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

TEST_F(FinaliseTest, CopyRouteWhenTheRunsOwnLogHoldsTheOldFolder) {
  FillStaging(true);
  FillOldInstall();
  const std::string identity = FileIdentity(Staged("Server\\bin\\service.dll"));
  OpenInstallLog(GetAppContext().logDir);  // inside the old install folder, without sharing
  const auto logFiles = testing_support::LogFiles(GetAppContext().logDir);
  ASSERT_EQ(logFiles.size(), 1u);

  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(messages_, SuccessMessages());
  ExpectInstalledTree(true);
  EXPECT_NE(FileIdentity(Installed("Server\\bin\\service.dll")), identity);
  // The log stayed where it was and received every line up to its close.
  EXPECT_EQ(testing_support::LogFiles(GetAppContext().logDir), logFiles);
  EXPECT_EQ(testing_support::LogTexts(GetAppContext().logDir), ExpectedLog());
  ExpectRegistered();
}

TEST_F(FinaliseTest, CopyRouteWhenStagingLiesOnAnotherVolume) {
  // Drive Z: maps the Unix root; /dev/shm is a file system of its own, so
  // the staging folder there cannot be renamed into the install folder.
  if (!PathExists("Z:\\dev\\shm")) GTEST_SKIP() << "no Z:\\dev\\shm in this Wine prefix";
  otherVolume_ = "Z:\\dev\\shm\\kvt_final_" + UniqueId("");
  MakeFolders(otherVolume_);
  Layout(root_.path(), otherVolume_);
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
  EXPECT_EQ(lines[4].rfind("Copy command ended with exit code ", 0), 0u) << lines[4];
  EXPECT_NE(lines[4], "Copy command ended with exit code 0");
  EXPECT_EQ(lines[5], Gbk(u8"安装失败：文件被占用"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKey()));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "Kavimor" + ctx.packageId));
  EXPECT_FALSE(PathExists(ShortcutPathOf(GetAppContext().displayName)));
}

// A file of the old tree still in use: XCOPY passes over it (/C) and copies
// the rest; the run completes with that one file left as it was.
TEST_F(FinaliseTest, CopyPassesOverAFileStillInUse) {
  FillStaging(true);
  FillOldInstall();
  // Held without sharing: neither deleted with the old folder nor overwritten.
  HANDLE held = CreateFileA(Installed("Server\\bin\\service.dll").c_str(), GENERIC_READ, 0,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  GetAppContext().logDir = root_ / "logs";
  OpenInstallLog(GetAppContext().logDir);

  const unsigned result = Run();
  CloseHandle(held);
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(messages_, SuccessMessages());
  EXPECT_EQ(ReadFileBytes(Installed("Server\\bin\\service.dll")), "old service");
  EXPECT_TRUE(PathExists(Installed("kavimor v9.5.exe")));
  EXPECT_EQ(testing_support::IniValue(Installed("update.ini"), "version", "cur"), "9.5.1");
  EXPECT_FALSE(PathExists(GetAppContext().stagingDir));
  ExpectRegistered();
}

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

}  // namespace
