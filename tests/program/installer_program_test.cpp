// The finished installer program, run as a user runs it: started under Wine
// against the local object store serving the generated package set, its
// buttons pressed through the real cursor, its window read back pixel by
// pixel, and the machine checked afterwards. With --demo <folder> the same
// driver plays the README's demo instead of the tests.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <wtsapi32.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/app_context.h"
#include "program/installer_run.h"
#include "platform/handles.h"
#include "platform/text.h"
#include "support/oss_server.h"
#include "support/package_tree.h"
#include "support/test_support.h"
#include "window/screen_image.h"

namespace {

using e2e::InstallerRun;
using e2e::InstallPlaces;
using testing_support::Image;
using testing_support::PathExists;

std::string InstallerExe() { return testing_support::ProgramFolder() + "\\kavimor_installer.exe"; }
std::string PlantedDll() { return testing_support::DosPath(KAVIMOR_E2E_PLANTED_DLL); }

// The files a planted DLL left in `folder`, one per process that loaded it.
std::vector<std::string> PlantMarkers(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\planted-*.txt").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do names.push_back(data.cFileName);
    while (FindNextFileA(find, &data));
    FindClose(find);
  }
  return names;
}

// Runs a program to its end; its exit code, or -1.
long RunToEnd(const std::string& exe, const std::string& args) {
  HANDLE process = testing_support::StartProgram(exe, args, exe.substr(0, exe.rfind('\\')));
  if (process == nullptr) return -1;
  DWORD code = 0;
  const bool ended = testing_support::WaitForProgram(process, 30000, &code);
  CloseHandle(process);
  return ended ? static_cast<long>(code) : -1;
}

std::string RegText(HKEY root, const char* key, const char* name) {
  char data[2048] = {};
  DWORD size = sizeof data;
  if (RegGetValueA(root, key, name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) return "<missing>";
  return data;
}

std::string IniText(const std::string& file, const char* key) {
  char value[512] = {};
  GetPrivateProfileStringA("kavimor", key, "<missing>", value, sizeof value, file.c_str());
  return value;
}

std::wstring ShortcutTarget(const std::string& lnk) {
  win::ComApartment com;
  win::ComPtr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              link.put_void())))
    return L"<no link object>";
  win::ComPtr<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void()))) return L"<no file>";
  const std::wstring path = WideFromCodePage(lnk, CP_ACP, 1024);
  if (FAILED(file->Load(path.c_str(), STGM_READ))) return L"<not loadable>";
  wchar_t target[MAX_PATH] = {};
  link->GetPath(target, MAX_PATH, nullptr, 0);
  return target;
}

// A path of the system's code page as the stand-in client records it (UTF-8).
std::string Utf8(const std::string& systemText) {
  const std::wstring wide = WideFromCodePage(systemText, CP_ACP, 4096);
  std::string out(wide.size() * 4 + 1, '\0');
  out.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()),
                                                     out.data(), static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines)
    if (l == line) return true;
  return false;
}

std::wstring ProfileNameOfLocaleRun() {
  wchar_t name[64] = {};
  return GetEnvironmentVariableW(L"KAVIMOR_PROFILE_NAME", name, 64) == 0 ? std::wstring() : std::wstring(name);
}

// An installed tree without the log folder.
std::map<std::string, std::string> TreeBelow(const std::string& folder) {
  return testing_support::TreeContents(folder, {"kavimorlog"});
}
constexpr char kUninstallKey[] =
    "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kavimor_201805v9.5";

class InstallerProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PathExists(InstallerExe()));
    ASSERT_TRUE(PathExists(testing_support::DosPath(KAVIMOR_E2E_TREE)));
    e2e::CleanMachine(places_);
    ASSERT_TRUE(server_.running()) << "no object store on port " << KAVIMOR_E2E_PORT;
  }
  void TearDown() override { e2e::CleanMachine(places_); }

  // Starts the installer and returns its ready look.
  Image StartReady(InstallerRun& run) {
    EXPECT_TRUE(run.started());
    run.MoveTo(e2e::kNowhere);
    Image ready;
    EXPECT_TRUE(run.WaitForLook(
        [&](const Image& look) {
          ready = look;
          return e2e::HasCloseBox(look) && look.At(20, 230) != RGB(255, 255, 255);
        },
        10000));
    return ready;
  }

  // For the locale runs (KAVIMOR_PROFILE_NAME set): the user's Local AppData
  // folder lies in a folder of that name inside the profile.
  e2e::LocalAppDataRedirect redirect_{ProfileNameOfLocaleRun()};  // before the places that follow from it
  InstallPlaces places_ = e2e::DefaultInstallPlaces();
  e2e::BucketServer server_{KAVIMOR_E2E_BUCKET, KAVIMOR_E2E_CMAKE_CACHE, KAVIMOR_E2E_PORT};
};

TEST_F(InstallerProgram, InstallsThePackageSetRegistersAndOpensTheClient) {
  // The install folder lies in the profile of the session's user; in the
  // locale runs inside the folder named in the system's script.
  const std::string user = NarrowToCodePage(QuerySessionUserName(WTS_CURRENT_SESSION), CP_ACP, 260);
  ASSERT_FALSE(user.empty());
  EXPECT_NE(places_.installDir.find("\\" + user + "\\"), std::string::npos) << places_.installDir;
  if (!redirect_.folder().empty()) {
    EXPECT_EQ(places_.installDir, NarrowToCodePage(redirect_.folder(), CP_ACP, 4096) + "\\Kavimor201805v9.5");
  }
  InstallerRun run(InstallerExe());
  const Image ready = StartReady(run);
  EXPECT_EQ(ready.At(e2e::kInstallSpot.x, e2e::kInstallSpot.y), RGB(165, 21, 16));

  run.Click(e2e::kInstallSpot);
  run.MoveTo(e2e::kNowhere);
  bool sawInstalling = false;
  Image finished;
  ASSERT_TRUE(run.WaitForLook(
      [&](const Image& look) {
        finished = look;
        return e2e::LooksFinished(look, ready);
      },
      120000, [&](const Image& look) { sawInstalling = sawInstalling || e2e::LooksInstalling(look); }));
  EXPECT_TRUE(sawInstalling);
  EXPECT_FALSE(finished.DiffersIn(ready, RECT{200, 142, 300, 178}));  // the package tag

  run.Click(e2e::kInstallSpot);  // "Open"
  DWORD code = 99;
  ASSERT_TRUE(run.WaitExit(15000, &code));
  EXPECT_EQ(code, 0u);

  // The client was started from the install folder with exactly "end".
  const std::vector<std::string> record = testing_support::WaitForAnyStartRecord(places_.installDir, 10000);
  ASSERT_EQ(record.size(), 4u);
  EXPECT_EQ(record[0], Utf8("\"" + places_.clientExe + "\" end"));
  EXPECT_EQ(record[1], Utf8(places_.installDir));
  EXPECT_EQ(record[2], Utf8(places_.clientExe));
  EXPECT_EQ(record[3], "end");
  // Not with the installer's token: the desktop's shell started it (the
  // installer's elevated token is not handed on), as the log's last line says.
  const std::vector<std::string> launchLog = testing_support::LogTexts(places_.logDir);
  ASSERT_FALSE(launchLog.empty());
  DWORD parent = 0;
  for (const auto& p : testing_support::RunningProcesses()) {
    if (_wcsicmp(p.exe.c_str(), L"kavimor v9.5.exe") == 0) parent = p.parent;
  }
  if (launchLog.back() == "Client started through the desktop shell") {
    EXPECT_NE(parent, run.pid());
  } else {
    EXPECT_EQ(launchLog.back().rfind("Client started directly, desktop shell unavailable: ", 0), 0u)
        << launchLog.back();
  }

  // Every file of the package set, later packages winning; the two
  // settings files also carry what the installer wrote into them.
  const std::string pub = places_.installDir + "\\config\\kavimor.Default.pub";
  const std::string pri = places_.installDir + "\\config\\kavimor.Default.pri";
  // The names inside the packages are code page 936 whatever the system's
  // is; the install folder is the system's.
  const std::wstring root = WideFromCodePage(places_.installDir, CP_ACP, 4096);
  for (const testing_support::ExpectedFile& f : testing_support::ReadExpectedTree(testing_support::DosPath(KAVIMOR_E2E_TREE))) {
    SCOPED_TRACE(f.path);
    const std::string path = places_.installDir + "\\" + f.path;
    const std::wstring wide = root + L"\\" + WideFromCodePage(f.path, kGbkCodePage, 4096);
    ASSERT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);
    if (path == pub || path == pri) continue;
    const std::string bytes = testing_support::ReadWideFileBytes(wide);
    EXPECT_EQ(bytes.size(), f.size);
    EXPECT_EQ(testing_support::Crc32(bytes), f.crc);
  }
  EXPECT_EQ(IniText(pub, "package"), "201805");
  EXPECT_EQ(IniText(pub, "server"), "quote.example");
  LANGID ui = GetUserDefaultUILanguage();
  EXPECT_EQ(IniText(pri, "language"), std::to_string(ui == 3076 ? 1028 : ui));
  EXPECT_EQ(IniText(pri, "awaredpi"), "0");
  EXPECT_EQ(IniText(pri, "layout"), "classic");
  EXPECT_TRUE(PathExists(places_.installDir + "\\update.ini"));
  EXPECT_FALSE(PathExists(places_.stagingDir));

  EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName"), "NOLDAR Trading Systemv9.5");
  EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayVersion"), "9.5.9.1");
  EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayIcon"), places_.clientExe);
  EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "Shortcut"), places_.shortcut);
  EXPECT_EQ(RegText(HKEY_CLASSES_ROOT, "Kavimor201805\\shell\\open\\command", nullptr), places_.clientExe);
  EXPECT_EQ(ShortcutTarget(places_.shortcut), WideFromCodePage(places_.clientExe, CP_ACP, 1024));

  const std::vector<std::string> log = testing_support::LogTexts(places_.logDir);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "Version: IE_9.5.9.1");
  EXPECT_EQ(log[1], Gbk(u8"用户点击安装，安装开始..."));
  // The program is built without a release key: every run says so.
  EXPECT_EQ(log[2], "release verification off");
  EXPECT_TRUE(Contains(log, Gbk(u8"安装运行库")));
  EXPECT_TRUE(Contains(log, "URL Schemes: Finish"));
  // Paths go into the log in their GBK form, whatever the system's code page.
  EXPECT_TRUE(Contains(log, LogTextOfPath(places_.clientExe)));
  EXPECT_TRUE(Contains(log, LogTextOfPath(places_.installDir)));
}

TEST_F(InstallerProgram, FailedDownloadShowsTheFailureAndRemovesStagingOnClose) {
  server_.SetFaults(R"({"faults": [{"kind": "status", "key": "9.5KavimorIE/base.zip", "value": 500}]})");
  InstallerRun run(InstallerExe());
  StartReady(run);
  run.Click(e2e::kInstallSpot);
  run.MoveTo(e2e::kNowhere);
  Image failed;
  ASSERT_TRUE(run.WaitForLook(
      [&](const Image& look) {
        failed = look;
        return e2e::LooksFailed(look);
      },
      120000));
  // The failure text stands at the right end of the step line.
  EXPECT_GT(failed.Count(RECT{400, 234, 466, 254}, RGB(0, 0, 0)), 10);
  EXPECT_EQ(failed.Count(RECT{32, 234, 200, 254}, RGB(0, 0, 0)), 0);
  EXPECT_TRUE(PathExists(places_.stagingDir));

  const std::vector<std::string> log = testing_support::LogTexts(places_.logDir);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), Gbk(u8"下载服务依赖库失败"));

  run.Click(e2e::kCloseCentre);
  DWORD code = 99;
  ASSERT_TRUE(run.WaitExit(15000, &code));
  EXPECT_EQ(code, 2u);  // the failed step's code: service dependency download
  EXPECT_FALSE(PathExists(places_.stagingDir));
  EXPECT_FALSE(PathExists(places_.clientExe));
  EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName"), "<missing>");
}

TEST_F(InstallerProgram, ReinstallWarningCancelKeepsReadyAndOkInstalls) {
  CreateDirectoryA(places_.installDir.c_str(), nullptr);
  testing_support::WriteFileBytes(places_.installDir + "\\old.txt", "old");

  InstallerRun run(InstallerExe());
  const Image ready = StartReady(run);
  std::wstring text;
  run.Click(e2e::kInstallSpot);
  ASSERT_TRUE(run.AnswerMessageBox(IDCANCEL, 10000, &text));
  EXPECT_EQ(text, Wide(u8"请注意，重新安装可能导致某些数据或设置丢失，请谨慎操作。是否继续？"));
  run.MoveTo(e2e::kNowhere);
  Sleep(500);
  const Image afterCancel = run.Look();
  EXPECT_FALSE(afterCancel.DiffersIn(ready, RECT{0, 0, 500, 310}));
  EXPECT_TRUE(PathExists(places_.installDir + "\\old.txt"));
  EXPECT_FALSE(PathExists(places_.logDir));  // nothing was started

  run.Click(e2e::kInstallSpot);
  ASSERT_TRUE(run.AnswerMessageBox(IDOK, 10000));
  run.MoveTo(e2e::kNowhere);
  ASSERT_TRUE(run.WaitForLook([&](const Image& look) { return e2e::LooksFinished(look, ready); }, 120000));
  EXPECT_TRUE(PathExists(places_.clientExe));

  // Closing a finished window with its close box records the scaling flag
  // but starts nothing.
  run.Click(e2e::kCloseCentre);
  DWORD code = 99;
  ASSERT_TRUE(run.WaitExit(15000, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(IniText(places_.installDir + "\\config\\kavimor.Default.pri", "awaredpi"), "0");
  EXPECT_TRUE(testing_support::WaitForAnyStartRecord(places_.installDir, 500).empty());
}

TEST_F(InstallerProgram, SystemCloseWhileInstallingEndsTheRunAndLeavesTheLogClosed) {
  // The base package stalls after its first kilobyte: the worker is busy.
  server_.SetFaults(
      R"({"faults": [{"kind": "stall", "key": "9.5KavimorIE/base.zip", "value": 1024, "seconds": 60}]})");
  InstallerRun run(InstallerExe());
  StartReady(run);
  run.Click(e2e::kInstallSpot);
  run.MoveTo(e2e::kNowhere);
  ASSERT_TRUE(run.WaitForLook(e2e::LooksInstalling, 60000));
  Sleep(500);

  // The user is asked first, and the confirmed end is the log's last word.
  PostMessageW(run.window(), WM_SYSCOMMAND, SC_CLOSE, 0);
  std::wstring question;
  ASSERT_TRUE(run.AnswerMessageBox(IDOK, 10000, &question));
  EXPECT_EQ(question, Wide(u8"安装尚未完成。现在结束，已下载的内容将不会安装。确定要结束安装吗？"));
  DWORD code = 99;
  ASSERT_TRUE(run.WaitExit(10000, &code));
  EXPECT_EQ(code, 0u);

  // The log was closed, not cut: it opens without sharing and its last line
  // is whole.
  const std::vector<std::string> files = testing_support::LogFiles(places_.logDir);
  ASSERT_EQ(files.size(), 1u);
  {
    win::UniqueHandle exclusive(
        CreateFileA(files[0].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(exclusive);
  }
  const std::string bytes = testing_support::ReadFileBytes(files[0]);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
  EXPECT_EQ(testing_support::LogTexts(places_.logDir).back(), Gbk(u8"用户结束安装"));
  EXPECT_FALSE(PathExists(places_.clientExe));
}

// An earlier run killed while it moved the new tree in: whether the next
// run can reach the object store or not, the user ends up with a whole
// installation: the old one restored byte for byte, or exactly the new
// package tree with nothing of the old or the interrupted one left.
TEST_F(InstallerProgram, RunAfterAKilledHandOverLeavesAWholeInstallation) {
  struct Case {
    const char* name;
    const char* faults;
    bool installs;
  } const cases[] = {
      {"store unreachable", R"({"faults": [{"kind": "status", "key": "9.5KavimorIE/summary.ini", "value": 500}]})",
       false},
      {"store reachable", R"({"faults": []})", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::CleanMachine(places_);
    testing_support::InstallStandInClient(places_.installDir);
    CreateDirectoryA((places_.installDir + "\\config").c_str(), nullptr);
    testing_support::WriteFileBytes(places_.installDir + "\\config\\old.ini", "[old]\r\n");
    testing_support::WriteFileBytes(places_.installDir + "\\dropped.dll", "old only");
    const auto oldTree = TreeBelow(places_.installDir);
    testing_support::InstallStandInClient(places_.stagingDir);
    testing_support::WriteFileBytes(places_.stagingDir + "\\interrupted.dll", "new of the killed run");

    testing_support::ScratchDir scratch("victim");
    const std::string marker = scratch / "stopped";
    HANDLE victim = testing_support::StartProgram(
        testing_support::ProgramFolder() + "\\handover_victim.exe",
        "5 \"" + places_.installDir + "\" \"" + places_.stagingDir + "\" 201805 Victim \"" + marker + "\"",
        scratch.path());
    ASSERT_NE(victim, nullptr);
    for (int i = 0; i < 600 && !PathExists(marker); ++i) Sleep(100);
    TerminateProcess(victim, 9);  // at the first new entry in place
    WaitForSingleObject(victim, 10000);
    CloseHandle(victim);
    ASSERT_TRUE(PathExists(marker));
    testing_support::RemoveTree(places_.logDir);  // the killed run's log

    server_.SetFaults(c.faults);
    InstallerRun run(InstallerExe());
    const Image ready = StartReady(run);
    run.Click(e2e::kInstallSpot);
    ASSERT_TRUE(run.AnswerMessageBox(IDOK, 10000));
    run.MoveTo(e2e::kNowhere);
    ASSERT_TRUE(run.WaitForLook(
        [&](const Image& look) { return c.installs ? e2e::LooksFinished(look, ready) : e2e::LooksFailed(look); },
        120000));
    run.Click(e2e::kCloseCentre);
    DWORD code = 99;
    ASSERT_TRUE(run.WaitExit(15000, &code));

    const auto tree = TreeBelow(places_.installDir);
    if (c.installs) {
      std::set<std::string> files;
      for (const auto& [path, bytes] : tree)
        if (bytes != "<folder>" && path != "update.ini") files.insert(path);
      std::set<std::string> expected;
      for (const auto& f : testing_support::ReadExpectedTree(testing_support::DosPath(KAVIMOR_E2E_TREE)))
        expected.insert(f.path);
      expected.insert({"config\\kavimor.Default.pub", "config\\kavimor.Default.pri"});  // the settings
      EXPECT_EQ(files, expected);
    } else {
      EXPECT_EQ(tree, oldTree);
    }
    EXPECT_FALSE(PathExists(places_.installDir + "old"));
    const std::vector<std::string> log = testing_support::LogTexts(places_.logDir);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[2], "Interrupted hand-over found while moving the new installation in: " + places_.installDir);
    EXPECT_EQ(log[3], "Old installation restored");
  }
}

// A folder of the old installation that another program holds open cannot
// be moved aside: the run fails with the hand-over's code, the old
// installation stays whole, and the staging tree is kept at exit.
TEST_F(InstallerProgram, HandOverThatFailsKeepsTheOldInstallationAndTheStagingTree) {
  testing_support::InstallStandInClient(places_.installDir);
  const std::string held = places_.installDir + "\\Server";
  CreateDirectoryA(held.c_str(), nullptr);
  testing_support::WriteFileBytes(held + "\\service.dll", "old service");
  const auto oldTree = TreeBelow(places_.installDir);
  win::UniqueHandle folder(CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(folder);

  InstallerRun run(InstallerExe());
  StartReady(run);
  run.Click(e2e::kInstallSpot);
  ASSERT_TRUE(run.AnswerMessageBox(IDOK, 10000));
  run.MoveTo(e2e::kNowhere);
  ASSERT_TRUE(run.WaitForLook(e2e::LooksFailed, 120000));
  run.Click(e2e::kCloseCentre);
  DWORD code = 99;
  ASSERT_TRUE(run.WaitExit(15000, &code));
  folder.reset();

  EXPECT_EQ(TreeBelow(places_.installDir), oldTree);
  EXPECT_TRUE(PathExists(places_.stagingDir + "\\kavimor v9.5.exe"));
  const std::vector<std::string> log = testing_support::LogTexts(places_.logDir);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), Gbk(u8"安装失败：文件被占用"));
  EXPECT_EQ(RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName"), "<missing>");
}

TEST_F(InstallerProgram, WhileTheManifestStallsTheWindowAnswersPaintsAndMovesWithin100ms) {
  // The manifest's body stops after a few bytes for four seconds.
  server_.SetFaults(
      R"({"faults": [{"kind": "stall", "key": "9.5KavimorIE/summary.ini", "value": 8, "seconds": 4}]})");
  InstallerRun run(InstallerExe());
  StartReady(run);
  run.Click(e2e::kInstallSpot);
  const ULONGLONG clicked = GetTickCount64();
  RECT start{};
  GetWindowRect(run.window(), &start);
  int checks = 0;
  int offset = 0;
  while (GetTickCount64() < clicked + 3500) {
    SCOPED_TRACE(std::to_string(GetTickCount64() - clicked) + " ms after the press");
    // A paint: handled by the window's own thread, which must not be stuck.
    InvalidateRect(run.window(), nullptr, FALSE);
    ULONGLONG t = GetTickCount64();
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutW(run.window(), WM_PAINT, 0, 0, SMTO_ABORTIFHUNG, 100, &result), 0);
    EXPECT_LT(GetTickCount64() - t, 100u);
    // A move: the window's thread places it.
    offset = offset == 0 ? 7 : 0;
    t = GetTickCount64();
    SetWindowPos(run.window(), nullptr, start.left + offset, start.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_LT(GetTickCount64() - t, 100u);
    RECT now{};
    GetWindowRect(run.window(), &now);
    EXPECT_EQ(now.left, start.left + offset);
    ++checks;
    Sleep(50);
  }
  EXPECT_GT(checks, 10);
  // Afterwards the installation goes on as ever.
  SetWindowPos(run.window(), nullptr, start.left, start.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  run.MoveTo(e2e::kNowhere);
  EXPECT_TRUE(run.WaitForLook(e2e::LooksInstalling, 60000));
}

TEST_F(InstallerProgram, ASecondStartBringsTheFirstWindowForwardAndEnds) {
  InstallerRun first(InstallerExe());
  StartReady(first);
  // Something else is in front when the second copy starts.
  HWND other = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 200, 100,
                               nullptr, nullptr, nullptr, nullptr);
  SetForegroundWindow(other);
  ASSERT_EQ(GetForegroundWindow(), other);

  EXPECT_EQ(RunToEnd(InstallerExe(), ""), 21);  // another copy runs: its own exit code
  // The change of foreground reaches this process through the display
  // server, a moment after the second copy has ended.
  HWND front = GetForegroundWindow();
  for (int i = 0; i < 100 && front != first.window(); ++i, front = GetForegroundWindow()) Sleep(50);
  EXPECT_EQ(front, first.window());
  EXPECT_TRUE(IsWindowVisible(first.window()));
  DestroyWindow(other);
  // The second copy did nothing: no log, no staging folder.
  EXPECT_FALSE(PathExists(places_.logDir));
  EXPECT_FALSE(PathExists(places_.stagingDir));
}

// A DLL planted beside a program is what a plain LoadLibrary by name finds
// first; after the start-up limit the system's copy is loaded instead. (The
// probe imports nothing but the core system DLLs: under Wine a planted DLL
// that a statically imported system DLL imports in turn is loaded before
// any code of the program runs, where Windows protects such names as known
// DLLs.)
TEST(DllPlanting, TheStartUpLimitLoadsSHCoreFromTheSystemFolderOnly) {
  testing_support::ScratchDir downloads("planting");
  const std::string probe = downloads / "dll_search_probe.exe";
  ASSERT_TRUE(CopyFileA((testing_support::ProgramFolder() + "\\dll_search_probe.exe").c_str(),
                        probe.c_str(), FALSE));
  ASSERT_TRUE(CopyFileA(PlantedDll().c_str(), (downloads / "SHCore.dll").c_str(), FALSE));

  EXPECT_EQ(RunToEnd(probe, "unguarded"), 0);
  EXPECT_EQ(PlantMarkers(downloads.path()).size(), 1u);  // the control: it is found

  for (const std::string& marker : PlantMarkers(downloads.path())) DeleteFileA((downloads / marker).c_str());
  EXPECT_EQ(RunToEnd(probe, "guarded"), 0);  // SHCore.dll loaded, from System32
  EXPECT_TRUE(PlantMarkers(downloads.path()).empty());
}

// --- the README's demo ---------------------------------------------------

int RunDemo(const std::string& shots) {
  CreateDirectoryA(shots.c_str(), nullptr);
  const InstallPlaces places = e2e::DefaultInstallPlaces();
  e2e::CleanMachine(places);
  std::printf("demo: starting %s\n", InstallerExe().c_str());
  InstallerRun run(InstallerExe());
  if (!run.started()) {
    std::printf("demo: the installer window did not appear\n");
    return 1;
  }
  run.MoveTo(e2e::kNowhere);
  Sleep(500);
  const Image ready = run.Look();
  testing_support::WritePng(ready, shots + "\\ready-closed.png");
  run.Click(POINT{447, 300});  // custom toggle: the folder panel
  run.MoveTo(e2e::kNowhere);
  Sleep(300);
  testing_support::WritePng(run.Look(), shots + "\\ready-open.png");
  run.Click(POINT{447, 300});
  run.MoveTo(e2e::kNowhere);
  Sleep(300);

  std::printf("demo: pressing Install\n");
  run.Click(e2e::kInstallSpot);
  run.MoveTo(e2e::kNowhere);
  Image lastInstalling;
  const bool finished = run.WaitForLook([&](const Image& look) { return e2e::LooksFinished(look, ready); },
                                        180000, [&](const Image& look) {
                                          if (e2e::LooksInstalling(look)) lastInstalling = look;
                                        });
  if (lastInstalling.width > 0) testing_support::WritePng(lastInstalling, shots + "\\installing.png");
  if (!finished) {
    testing_support::WritePng(run.Look(), shots + "\\failed.png");
    std::printf("demo: the installation did not finish; see %s\n", places.logDir.c_str());
    return 1;
  }
  testing_support::WritePng(run.Look(), shots + "\\finished.png");
  std::printf("demo: finished, pressing Open\n");
  run.Click(e2e::kInstallSpot);
  DWORD code = 99;
  run.WaitExit(15000, &code);

  const std::vector<std::string> record = testing_support::WaitForAnyStartRecord(places.installDir, 10000);
  std::printf("\ninstalled into:   %s\n", places.installDir.c_str());
  const std::vector<std::string> logs = testing_support::LogFiles(places.logDir);
  std::printf("install log:      %s\n", logs.empty() ? "(none)" : logs.back().c_str());
  std::printf("uninstall entry:  HKLM\\%s\n  DisplayName=%s DisplayVersion=%s\n", kUninstallKey,
              RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName").c_str(),
              RegText(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayVersion").c_str());
  std::printf("URL protocol:     HKCR\\Kavimor201805 -> %s\n",
              RegText(HKEY_CLASSES_ROOT, "Kavimor201805\\shell\\open\\command", nullptr).c_str());
  std::printf("desktop shortcut: %s (%s)\n", places.shortcut.c_str(),
              PathExists(places.shortcut) ? "present" : "missing");
  std::printf("client started:   %s\n", record.empty() ? "(no record)" : record[0].c_str());
  std::printf("installer exit code: %lu\nscreenshots:      %s\n", code, shots.c_str());
  testing_support::StopProcessesOf(places.clientExe);
  return finished && !record.empty() && code == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--demo") return RunDemo(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
