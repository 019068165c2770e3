#include "program/installer_run.h"

#include "support/package_cache_helpers.h"

#include <shlobj.h>

#include <cstdlib>

#include "engine/app_context.h"
#include "support/oss_server.h"
#include "support/test_support.h"

namespace e2e {

using testing_support::Image;

namespace {

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

bool StartLinuxProgram(const std::string& command) {
  std::wstring wide(command.size() + 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return false;
  // Wine gives no waitable handle for a Linux child.
  if (pi.hThread != nullptr) CloseHandle(pi.hThread);
  if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);
  return true;
}

std::string TempFolder(const std::string& tag) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  return std::string(temp) + tag + "_" + std::to_string(GetCurrentProcessId());
}

struct WindowSearch {
  DWORD pid;
  const wchar_t* className;
  bool wantPlaced;  // only a window already sized to 500 x 310
  HWND found;
};

BOOL CALLBACK FindWindowOf(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  if (pid != search->pid || lstrcmpW(cls, search->className) != 0 || !IsWindowVisible(hwnd))
    return TRUE;
  if (search->wantPlaced) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    if (r.right - r.left != 500 || r.bottom - r.top != 310) return TRUE;
  }
  search->found = hwnd;
  return FALSE;
}

HWND FindProcessWindow(DWORD pid, const wchar_t* className, bool wantPlaced) {
  WindowSearch search{pid, className, wantPlaced, nullptr};
  EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void SendMouse(DWORD flags) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = flags;
  SendInput(1, &input, sizeof input);
}

}  // namespace

BucketServer::BucketServer(const std::string& bucketUnix, const std::string& cmakeCacheUnix, int port) {
  controlDir_ = TempFolder("e2e_bucket_server");
  testing_support::RemoveTree(controlDir_);
  CreateDirectoryA(controlDir_.c_str(), nullptr);
  const std::string control = testing_support::UnixPath(controlDir_);
  const std::string command =
      "/usr/bin/python3 " + Quote(testing_support::RepositoryFile("tools/oss_server.py")) +
      " --root " + Quote(bucketUnix) + " --cmake-cache " + Quote(cmakeCacheUnix) + " --port " +
      std::to_string(port) + " --port-file " + Quote(control + "/port") + " --control-dir " +
      Quote(control) + " --log-file " + Quote(control + "/server.log") + " --idle-exit 300";
  if (!StartLinuxProgram(command)) return;
  for (int i = 0; i < 200 && !running_; ++i) {
    running_ = testing_support::PathExists(controlDir_ + "\\port");
    if (!running_) Sleep(100);
  }
}

BucketServer::~BucketServer() {
  Stop();
  testing_support::RemoveTree(controlDir_);
}

void BucketServer::Stop() {
  testing_support::WriteFileBytes(controlDir_ + "\\stop", "stop");
  if (running_) Sleep(500);  // the server looks for the file every 0.2 s
  running_ = false;
}

void BucketServer::SetFaults(const std::string& json) {
  const std::string partial = controlDir_ + "\\faults.json.part";
  testing_support::WriteFileBytes(partial, json);
  MoveFileExA(partial.c_str(), (controlDir_ + "\\faults.json").c_str(), MOVEFILE_REPLACE_EXISTING);
}

InstallPlaces DefaultInstallPlaces() {
  InstallPlaces p;
  std::string base;
  GetConsoleUserLocalAppData(base);
  p.installDir = base + "\\Kavimor201805v9.5";
  p.stagingDir = p.installDir + "temp";
  p.dependDir = base + "\\KavimorDependBaseV9.5";
  p.logDir = p.installDir + "\\kavimorlog";
  p.clientExe = p.installDir + "\\kavimor v9.5.exe";
  char desktop[MAX_PATH] = {};
  SHGetFolderPathA(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, 0, desktop);
  p.shortcut = std::string(desktop) + "\\NOLDAR Trading Systemv9.5.lnk";
  return p;
}

void CleanMachine(const InstallPlaces& places) {
  testing_support::StopProcessesOf(places.clientExe);
  testing_support::RemoveTree(places.installDir);
  testing_support::RemoveTree(places.stagingDir);
  testing_support::RemoveTree(places.dependDir);
  // The package cache of this install folder, or a later run would take
  // its packages from there instead of the server the test set up.
  testing_support::ForgetPackageCache(places.installDir);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                 "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kavimor_201805v9.5");
  RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                 "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kavimor_201805v9.5");
  RegDeleteTreeA(HKEY_CLASSES_ROOT, "Kavimor201805");
  DeleteFileA(places.shortcut.c_str());
  HKEY parent = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0, nullptr, 0,
                  KEY_READ | KEY_WOW64_32KEY, nullptr, &parent, nullptr);
  if (parent != nullptr) RegCloseKey(parent);
}

namespace {
constexpr wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
void SetLocalAppData(const std::wstring& value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, kShellFolders, L"Local AppData", REG_EXPAND_SZ, value.c_str(),
                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}
}  // namespace

LocalAppDataRedirect::LocalAppDataRedirect(const std::wstring& name) {
  wchar_t profile[MAX_PATH] = {};
  if (name.empty() || GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH) == 0) return;
  wchar_t saved[2048] = {};
  DWORD bytes = sizeof saved;
  if (RegGetValueW(HKEY_CURRENT_USER, kShellFolders, L"Local AppData", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                   nullptr, saved, &bytes) != ERROR_SUCCESS)
    return;
  saved_ = saved;
  const std::wstring top = std::wstring(profile) + L"\\" + name;
  if (GetFileAttributesW(top.c_str()) == INVALID_FILE_ATTRIBUTES) made_ = top;
  folder_ = top + L"\\AppData\\Local";
  SHCreateDirectoryExW(nullptr, folder_.c_str(), nullptr);
  SetLocalAppData(folder_);
}

LocalAppDataRedirect::~LocalAppDataRedirect() {
  if (!saved_.empty()) SetLocalAppData(saved_);
  if (made_.empty()) return;
  // The shell's own deletion: the name may be one the 8-bit calls cannot spell.
  std::wstring from = made_ + L'\0';  // double-terminated
  SHFILEOPSTRUCTW op{};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_NO_UI;
  SHFileOperationW(&op);
}

InstallerRun::InstallerRun(const std::string& exe) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string command = Quote(exe);
  const std::string folder = exe.substr(0, exe.rfind('\\'));
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                      &si, &pi))
    return;
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  pid_ = pi.dwProcessId;
  for (int i = 0; i < 300 && window_ == nullptr; ++i) {
    window_ = FindProcessWindow(pid_, L"TModalWnd", true);
    if (window_ == nullptr) Sleep(100);
  }
  Sleep(300);  // first paint
}

InstallerRun::~InstallerRun() {
  if (process_ != nullptr) {
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_, 1);
      WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
  }
}

Image InstallerRun::Look() const { return testing_support::CaptureClient(window_); }

bool InstallerRun::WaitForLook(const std::function<bool(const Image&)>& done, DWORD timeoutMs,
                               const std::function<void(const Image&)>& seen) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  do {
    if (!IsWindow(window_)) return false;
    const Image look = Look();
    if (look.width == 500) {
      if (seen) seen(look);
      if (done(look)) return true;
    }
    Sleep(15);
  } while (GetTickCount64() < end);
  return false;
}

void InstallerRun::MoveTo(POINT client) const {
  ClientToScreen(window_, &client);
  SetCursorPos(client.x, client.y);
  Sleep(60);
}

void InstallerRun::Click(POINT client) {
  // A second press within the double-click time would be a double click.
  const ULONGLONG apart = lastClick_ + GetDoubleClickTime() * 2;
  if (GetTickCount64() < apart) Sleep(static_cast<DWORD>(apart - GetTickCount64()));
  MoveTo(client);
  SendMouse(MOUSEEVENTF_LEFTDOWN);
  Sleep(40);
  SendMouse(MOUSEEVENTF_LEFTUP);
  lastClick_ = GetTickCount64();
  Sleep(100);
}

bool InstallerRun::AnswerMessageBox(int buttonId, DWORD timeoutMs, std::wstring* text) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  do {
    if (HWND box = FindProcessWindow(pid_, L"#32770", false)) {
      if (text != nullptr) {
        wchar_t buffer[2048] = {};
        if (HWND label = GetDlgItem(box, 0xFFFF)) GetWindowTextW(label, buffer, 2048);
        *text = buffer;
      }
      SendMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), 0);
      return true;
    }
    Sleep(50);
  } while (GetTickCount64() < end);
  return false;
}

bool InstallerRun::WaitExit(DWORD timeoutMs, DWORD* exitCode) {
  return testing_support::WaitForProgram(process_, timeoutMs, exitCode);
}

namespace {
// Inside the white lower area of the installing picture; red artwork in the
// ready picture.
constexpr POINT kWhiteAreaSpot{20, 230};
constexpr RECT kToggleArea{400, 290, 495, 310};
}  // namespace

bool HasCloseBox(const Image& look) {
  const COLORREF c = look.At(kCloseCentre.x, kCloseCentre.y);
  return c == RGB(231, 231, 231) || c == RGB(150, 150, 150);
}

bool LooksInstalling(const Image& look) {
  return !HasCloseBox(look) && look.At(kWhiteAreaSpot.x, kWhiteAreaSpot.y) == RGB(255, 255, 255);
}

bool LooksFailed(const Image& look) {
  return HasCloseBox(look) && look.At(kWhiteAreaSpot.x, kWhiteAreaSpot.y) == RGB(255, 255, 255);
}

bool LooksFinished(const Image& look, const Image& ready) {
  return HasCloseBox(look) && look.At(kWhiteAreaSpot.x, kWhiteAreaSpot.y) != RGB(255, 255, 255) &&
         look.DiffersIn(ready, kToggleArea);
}

}  // namespace e2e
