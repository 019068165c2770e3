#pragma once
// The pieces of the program entry: the process environment, the message
// loop with its filter, and the end of a run.
#include <windows.h>

class TModalWnd;
class TKavimorDlg;

constexpr const wchar_t* kInstanceMutexName = L"Global\\Kavimor9.5NetworkInstaller";
constexpr const wchar_t* kMainWindowClass = L"TModalWnd";
constexpr const wchar_t* kMainWindowTitle = L"\u5361\u7EF4";

// Appends the system folder to this process's PATH (inherited by the client
// started at the end): ";" when PATH does not end in one, then
// %SystemRoot%\system32 and ";". Without SystemRoot nothing changes.
void FixPathVariable();

// One installer per machine: the first copy holds a named mutex for its
// whole run. A later copy finds the first one's window, brings it to the
// front (unless `bringForward` is false: an unattended run touches no
// window) and returns true (it must then exit); false for the first copy.
bool BringRunningCopyForward(bool bringForward = true);

// Shows the created and initialised main window, activated so that it takes
// the keyboard focus, and places it.
void ShowMainWindow(TModalWnd& main);

// What the message loop does with one message.
enum class LoopAction {
  CloseMainWindow,  // WM_SYSCOMMAND SC_CLOSE with lParam 0, for any window
  Dispatch,
  Drop,  // for a window outside the main window's family, or for none
};
LoopAction FilterMessage(const MSG& msg, HWND mainWindow);

// Applies FilterMessage to one message taken from the queue.
void HandleLoopMessage(TModalWnd& main, const MSG& msg);

// Runs while main.running is set (or until WM_QUIT).
void RunMessageLoop(TModalWnd& main);

// After the loop, before the window object is destroyed. While the worker
// still runs, the engine record it uses must not be destroyed under it:
// the log is closed (under its lock) and the process ends here with code 0.
// Otherwise returns and the normal shutdown follows.
void EndRunIfWorkerActive(const TKavimorDlg& dlg);
