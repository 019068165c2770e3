#pragma once
// Driving the built installer program from outside, as a user would: the
// local object store on the port the program was built for, the machine's
// install locations, the program's window (found, clicked through the real
// cursor, read back pixel by pixel) and its message boxes.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "window/screen_image.h"

namespace e2e {

// tools/oss_server.py serving a bucket folder on the installer's port.
class BucketServer {
 public:
  // bucketUnix, cmakeCacheUnix: Linux paths (the server is a Linux program).
  BucketServer(const std::string& bucketUnix, const std::string& cmakeCacheUnix, int port);
  ~BucketServer();
  BucketServer(const BucketServer&) = delete;
  BucketServer& operator=(const BucketServer&) = delete;
  bool running() const { return running_; }
  // Ends the server now (the destructor then has nothing left to stop).
  void Stop();
  // faults.json content: {"faults": [...]} (see tools/oss_server.py).
  void SetFaults(const std::string& json);

 private:
  std::string controlDir_;
  bool running_ = false;
};

// Where an installation of the package lands on this machine.
struct InstallPlaces {
  std::string installDir;
  std::string stagingDir;
  std::string dependDir;
  std::string logDir;
  std::string shortcut;
  std::string clientExe;
};
InstallPlaces DefaultInstallPlaces();
// Removes every trace of an earlier installation: folders, registry keys,
// shortcut, running clients. Then makes sure the 32-bit view's uninstall
// key exists, as it always does on Windows (a Wine prefix without 32-bit
// Wine lacks it).
void CleanMachine(const InstallPlaces& places);

// The user's Local AppData folder moved, as the system's shell folder
// setting says, to "<profile>\<name>\AppData\Local" while the object
// lives (the folder made if need be, and removed again if it was made
// here). An empty name moves nothing.
class LocalAppDataRedirect {
 public:
  explicit LocalAppDataRedirect(const std::wstring& name);
  ~LocalAppDataRedirect();
  LocalAppDataRedirect(const LocalAppDataRedirect&) = delete;
  LocalAppDataRedirect& operator=(const LocalAppDataRedirect&) = delete;
  // Empty when nothing was moved.
  const std::wstring& folder() const { return folder_; }

 private:
  std::wstring saved_;
  std::wstring folder_;
  std::wstring made_;  // the folder of that name in the profile, if made here
};

// Client points of the installer window.
constexpr POINT kInstallSpot{205, 222};
constexpr POINT kCloseCentre{488, 12};
constexpr POINT kNowhere{100, 70};

// One run of the installer program.
class InstallerRun {
 public:
  explicit InstallerRun(const std::string& exe);
  ~InstallerRun();  // ends the program if it still runs
  InstallerRun(const InstallerRun&) = delete;
  InstallerRun& operator=(const InstallerRun&) = delete;

  bool started() const { return window_ != nullptr; }
  HWND window() const { return window_; }
  DWORD pid() const { return pid_; }

  testing_support::Image Look() const;
  // Polls the window's pixels until `done` holds; false on timeout or when
  // the program ended. `seen` gets every look on the way.
  bool WaitForLook(const std::function<bool(const testing_support::Image&)>& done, DWORD timeoutMs,
                   const std::function<void(const testing_support::Image&)>& seen = {});
  void MoveTo(POINT client) const;
  void Click(POINT client);
  // Presses `buttonId` in the program's next message box; its text.
  bool AnswerMessageBox(int buttonId, DWORD timeoutMs, std::wstring* text = nullptr);
  // True when the program ended within the time; its exit code. A program
  // still running then is ended (see testing_support::WaitForProgram).
  bool WaitExit(DWORD timeoutMs, DWORD* exitCode);

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  HWND window_ = nullptr;
  ULONGLONG lastClick_ = 0;
};

// The looks of the installer's states, told apart by what only they draw.
bool HasCloseBox(const testing_support::Image& look);
bool LooksInstalling(const testing_support::Image& look);
bool LooksFailed(const testing_support::Image& look);
// Finished: picture and close box of Ready, but no custom toggle.
bool LooksFinished(const testing_support::Image& look, const testing_support::Image& ready);

}  // namespace e2e
