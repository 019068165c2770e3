#include "ui/program_entry.h"

#include <string>
#include <vector>

#include "engine/messages.h"
#include "platform/install_log.h"
#include "platform/instance_mutex.h"
#include "platform/text.h"
#include "ui/framework.h"
#include "ui/kavimor_dlg.h"

void FixPathVariable() {
  constexpr DWORD kPathUnits = 65536;
  constexpr size_t kSystemUnits = 1024;

  std::vector<wchar_t> path(kPathUnits, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"path", path.data(), kPathUnits);
  std::wstring value;
  if (length > 0 && length < kPathUnits) {
    value.assign(path.data(), length);
  } else if (length >= kPathUnits) {
    // A value that does not fit must not be replaced by the system folder
    // alone: the client started later would lose the user's whole PATH.
    return;
  }
  if (!value.empty() && value.back() != L';') value += L';';

  // The system folder as 8-bit text (code page 936), as the runtime library
  // hands it out. Read wide and narrowed here: the 8-bit environment call
  // of some systems (Wine) cuts double-byte text short.
  std::vector<wchar_t> rootBuffer(kPathUnits, L'\0');
  const DWORD rootLength = GetEnvironmentVariableW(L"SystemRoot", rootBuffer.data(), kPathUnits);
  if (rootLength == 0 || rootLength >= kPathUnits) return;
  const std::string root = NarrowToCodePage(std::wstring_view(rootBuffer.data(), rootLength),
                                            kGbkCodePage, kPathUnits * 2);
  if (root.empty()) return;

  const std::wstring system = WideFromCodePage(root + "\\system32;", kGbkCodePage, kSystemUnits);
  if (system.empty()) return;
  value += system;
  SetEnvironmentVariableW(L"Path", value.c_str());
}

bool BringRunningCopyForward(bool bringForward) {
  // Kept open until the process ends; the system releases it then, also
  // after a crash or a terminated run.
  // A name squatted by someone else does not keep the installer from
  // starting (see instance_mutex.h).
  static win::UniqueHandle instance;
  if (instance) return false;
  if (instance::ClaimInstanceName(kInstanceMutexName, instance) != instance::Claim::AnotherRunning) return false;
  if (!bringForward) return true;

  // The first copy may still be starting: its window appears within moments.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (HWND running = FindWindowW(kMainWindowClass, kMainWindowTitle)) {
      if (IsIconic(running)) ShowWindow(running, SW_RESTORE);
      // A window hidden on its way out (Open, the close box) stays hidden.
      SetForegroundWindow(running);
      break;
    }
    Sleep(100);
  }
  return true;
}

void ShowMainWindow(TModalWnd& main) {
  ShowWindow(main.hwnd, SW_SHOW);
  main.PlaceWindow();
  // Started from a browser or Explorer, the new process may show its window
  // behind the one the user came from; the installer is what they asked for.
  SetForegroundWindow(main.hwnd);
  SetFocus(main.hwnd);
}

namespace {

// The main window itself or one of its descendants up to three levels deep.
bool InMainWindowFamily(HWND target, HWND mainWindow) {
  if (target == nullptr || mainWindow == nullptr) return false;
  if (target == mainWindow) return true;
  HWND ancestor = target;
  for (int level = 0; level < 3; ++level) {
    ancestor = GetParent(ancestor);
    if (ancestor == nullptr) return false;
    if (ancestor == mainWindow) return true;
  }
  return false;
}

}  // namespace

LoopAction FilterMessage(const MSG& msg, HWND mainWindow) {
  if (msg.message == WM_SYSCOMMAND && msg.wParam == SC_CLOSE && msg.lParam == 0)
    return LoopAction::CloseMainWindow;
  // The worker's install messages and every paint always go through.
  if (msg.message >= WM_USER || msg.message == WM_PAINT) return LoopAction::Dispatch;
  return InMainWindowFamily(msg.hwnd, mainWindow) ? LoopAction::Dispatch : LoopAction::Drop;
}

void HandleLoopMessage(TModalWnd& main, const MSG& msg) {
  switch (FilterMessage(msg, main.hwnd)) {
    case LoopAction::CloseMainWindow:
      main.Close();
      break;
    case LoopAction::Dispatch:
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      break;
    case LoopAction::Drop:
      break;
  }
}

void RunMessageLoop(TModalWnd& main) {
  MSG msg{};
  while (main.running) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    // 0 is WM_QUIT; -1 an error that would repeat forever.
    if (got == 0 || got == -1) break;
    HandleLoopMessage(main, msg);
  }
}

void EndRunIfWorkerActive(const TKavimorDlg& dlg) {
  if (dlg.state != Installing) return;
  // The worker owns the engine record and the object-store layer while it
  // runs, and nothing can stop it safely. The log is the only thing both
  // threads share; once it is closed under its lock, ending the process
  // is the one end that does not pull anything from under the worker. A
  // later run removes the staging folder it leaves behind before it starts.
  CloseInstallLog();
  TerminateProcess(GetCurrentProcess(), 0);
}
