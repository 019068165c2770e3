#pragma once
// The worker-to-window protocol. The engine only ever posts these to the
// main installer window (never sends), always with wParam 0.
#include <windows.h>

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

// PostMessageW to MainWindowHandle with wParam 0.
void PostToMainWindow(UINT message, LPARAM lParam);
