#pragma once
// The worker-to-window protocol. The engine only ever posts these (never
// sends), always with wParam 0: to the main installer window in a clicked
// run, or, in a run without any window (/S, /LAYOUT=, the measuring tools),
// to the UI thread itself as thread messages (EngineMessageQueue below).
#include <windows.h>

#include <functional>

constexpr UINT WM_INSTALL_PROGRESS = WM_USER + 107;  // lParam: overall percentage
constexpr UINT WM_INSTALL_DONE = WM_USER + 108;      // lParam: 0; last message of a run
constexpr UINT WM_INSTALL_FAILED = WM_USER + 111;    // lParam: failure code 1..11, 15 to 19, 0 for the manifest
constexpr UINT WM_INSTALL_STEP = WM_USER + 114;      // lParam: step index 1..14

// Step indices (also the failure codes of the steps that can fail). They
// index the step-name table of the window's texts.
enum InstallStep : int {
  kStepManifest = 0,  // only ever a failure text of the start sequence
  kStepDownloadDepend = 1,
  kStepDownloadBase = 2,
  kStepDownloadConfig = 3,
  kStepDownloadRuntime = 4,
  kStepDownloadQuant = 5,
  kStepInstallDepend = 6,
  kStepInstallBase = 7,
  kStepInstallConfig = 8,
  kStepInstallRuntime = 9,
  kStepInstallQuant = 10,
  kStepHandOver = 11,  // only ever a failure code
  kStepCleanup = 12,
  kStepSaveVersion = 13,
  kStepDeleteOld = 14,
  kStepClientMissing = 15,  // only ever a failure code: the packages lack the client
  // Only ever failure codes of the start sequence: the signed release index
  // is older than the installed release, carries the installed serial with
  // other content, or has expired.
  kStepReleaseOlder = 16,
  kStepReleaseConflict = 17,
  kStepReleaseExpired = 18,
  // Only ever a failure code: the hand-over failed and the old installation
  // could be put back only in part; the next start finishes restoring it.
  kStepHandOverPartial = 19,
};

// Install state of the main window.
enum DlgState : int { Ready = 0, Installing = 1, Failed = 2, Finished = 3 };

// The main installer window. Written once by the window's initialisation,
// before the engine runs; the worker thread started later sees it through
// the thread start.
extern HWND MainWindowHandle;

// Posts `message` with wParam 0: PostMessageW to MainWindowHandle, or, while
// MainWindowHandle is null and an EngineMessageQueue exists, PostThreadMessageW
// to that queue's thread. A full queue may drop WM_INSTALL_PROGRESS and
// WM_INSTALL_STEP; WM_INSTALL_DONE and WM_INSTALL_FAILED, which end the
// receiver's wait, are posted again until the queue takes them (unless the
// receiver is the posting thread itself, which could never make room).
void PostToMainWindow(UINT message, LPARAM lParam);

// PostThreadMessageW, through which PostToMainWindow reaches an
// EngineMessageQueue; replaceable so that a full queue can be seen.
using ThreadPostFunction = BOOL(WINAPI*)(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam);
extern ThreadPostFunction PostEngineThreadMessage;

// The engine's receiver in a run without any window: the thread that makes
// it gets the engine's messages as thread messages (hwnd null), and nothing
// is created that Windows counts as a window, not even a message-only one.
// Make it on the UI thread before the worker starts and keep it until the
// run's last message has come. Thread messages are lost in a modal loop
// (a message box, a dialog), so the receiving thread must run none while
// the engine works: the unattended run shows none. One at a time.
class EngineMessageQueue {
 public:
  // Makes this thread's message queue first (a message posted to a thread
  // without one is lost), then points the engine's posts at it.
  EngineMessageQueue();
  // The engine posts to no thread again.
  ~EngineMessageQueue();
  EngineMessageQueue(const EngineMessageQueue&) = delete;
  EngineMessageQueue& operator=(const EngineMessageQueue&) = delete;

  // Takes messages until WM_INSTALL_DONE or WM_INSTALL_FAILED arrives or
  // `timeoutMs` passes (or WM_QUIT comes). The engine's messages are told
  // by their number and handed to `each` in order; a message for a window
  // goes to that window. True when the run's last message came.
  using Observer = std::function<void(UINT message, LPARAM lParam)>;
  bool WaitForLast(DWORD timeoutMs = INFINITE, const Observer& each = {});

  // The run's last message (0 before it came) and its lParam.
  UINT last() const { return last_; }
  LPARAM lastParam() const { return lastParam_; }

 private:
  UINT last_ = 0;
  LPARAM lastParam_ = 0;
};
