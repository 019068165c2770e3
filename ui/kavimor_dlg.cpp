#include "ui/kavimor_dlg.h"

#include <shlobj.h>

#include "engine/app_context.h"
#include "engine/exit_codes.h"
#include "engine/handover.h"
#include "engine/pipeline.h"
#include "platform/dpi_setting.h"
#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/shell_launch.h"
#include "platform/text.h"
#include "ui/accessibility.h"
#include "ui/program_entry.h"
#include "ui/texts.h"

namespace {

constexpr UINT kIconResource = 102;

}  // namespace

TKavimorDlg::TKavimorDlg() = default;

TKavimorDlg::~TKavimorDlg() {
  // The object must not outlive its window: the window procedure would find
  // a dangling pointer in the window's extra bytes. Normally Close has
  // destroyed it already.
  if (hwnd != nullptr && IsWindow(hwnd)) {
    running = false;
    DestroyWindow(hwnd);
  }
  if (progressBar != nullptr) {
    DeleteObject(progressBar->barBrush);
    DeleteObject(progressBar->barPen);
    delete progressBar;
    progressBar = nullptr;
  }
  CloseInstallLog();
  // A finished run has already cleaned up; a failed one leaves the staging
  // tree behind, and nothing else will ever use it, unless the hand-over
  // began: then the next start's recovery may still need it. Never while a
  // hand-over journal is unsettled, and never through a link.
  const AppContext& ctx = GetAppContext();
  if (state == Failed && !HandOverBegun()) DeleteStagingIfSettled(ctx.installDir, ctx.stagingDir);
  // A recovery at program start that no run has logged yet.
  LogPendingRecoveryLines();
}

void TKavimorDlg::Initialise() {
  SetWindowTextW(hwnd, kMainWindowTitle);

  progressBar = new TProcess();
  progressBar->value = 0;
  progressBar->barBrush = CreateSolidBrush(RGB(252, 115, 115));
  progressBar->barPen = CreatePen(PS_SOLID, 1, RGB(252, 115, 115));
  progressBar->Create(L"TProcess", hwnd, WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0);

  MainWindowHandle = hwnd;
  GetAppContext().InitDirectoryLayout();

  HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconResource));
  SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

  PrepareStorageAccess();
  CreateStorageClient(*this);

  // Before any question to the user: a hand-over an earlier run left
  // unfinished is put right now, whatever the user does next (a box says
  // so when it cannot be).
  SettleEarlierHandOver(hwnd);
}

void TKavimorDlg::PlaceWindow() {
  POINT cursor{};
  GetCursorPos(&cursor);
  const POINT origin =
      CentredWindowOrigin(cursor, CurrentDisplayModes(), GetSystemMetrics(SM_CYSCREEN));
  MoveWindow(hwnd, origin.x, origin.y, kDlgWidth, kDlgHeight, TRUE);
}

void TKavimorDlg::Invalidate() { InvalidateRect(hwnd, nullptr, FALSE); }

void TKavimorDlg::ApplyLayout() {
  RECT client{};
  GetClientRect(hwnd, &client);
  const DlgLayout l = ComputeLayout(client);
  captionRect = l.captionRect;
  installRect = l.installRect;
  tagRect = l.tagRect;
  customRect = l.customRect;
  browseRect = l.browseRect;
  statusRect = l.statusRect;
  busyRect = l.busyRect;
}

void TKavimorDlg::SetFailureText(LPARAM code) {
  statusText.clear();
  // Not the step's "download failed": the machine's proxy wants a password.
  if (NotedRunFailure() == RunFailure::ProxyAuthentication) {
    statusText = ProxyAuthenticationFailure();
    return;
  }
  if (code >= 0 && code < kStepTextCount) statusText = StepText(static_cast<int>(code));
  statusText += UiText(6);
}

LRESULT TKavimorDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      ApplyLayout();
      return 0;
    case WM_PAINT:
      Paint();
      return 0;
    case WM_MOUSEMOVE: {
      installHover = false;
      browseHover = false;
      RequestMouseLeave();
      const POINT p = CursorInClient();
      installHover = PtInRect(&installRect, p) != FALSE;
      browseHover = PtInRect(&browseRect, p) != FALSE;
      closeHover = PtInRect(&closeRect, p) != FALSE;
      Invalidate();
      return 0;
    }
    case WM_LBUTTONDOWN:
      OnLButtonDown(wParam, lParam);
      return 0;
    case WM_LBUTTONUP: {
      const POINT p = CursorInClient();
      if (PtInRect(&closeRect, p) && state != Installing) CloseFromCloseBox();
      return 0;
    }
    case WM_KEYDOWN:
      return OnKeyDown(wParam) ? 0 : -1;
    case WM_SYSKEYDOWN:
      // Alt+F4 on a window without a system menu: ours to handle, so that it
      // asks like every other way of closing.
      if (wParam != VK_F4) return -1;
      Close();
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != SC_CLOSE) return -1;
      Close();
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    case kPressControlMessage:
      PressControl(static_cast<int>(wParam));
      return 0;
    case WM_GETOBJECT:
      if (static_cast<LONG>(lParam) != OBJID_CLIENT) return -1;
      return AnswerAccessibleObjectRequest(hwnd, wParam);
    case WM_MOUSELEAVE:
      installHover = false;
      browseHover = false;
      Invalidate();
      return 0;
    case WM_INSTALL_PROGRESS:
      // Progress queued by a manifest fetch that then failed arrives after
      // the window has shown the failure; it must not bring back the
      // installing look (and hide the close box) with no worker running.
      if (state != Ready && state != Installing) return 0;
      if (progressBar != nullptr) {
        progressBar->value = static_cast<int32_t>(lParam);
        InvalidateRect(progressBar->hwnd, nullptr, FALSE);
      }
      state = Installing;
      Invalidate();
      return 0;
    case WM_INSTALL_DONE:
      state = Finished;
      if (progressBar != nullptr) ShowWindow(progressBar->hwnd, SW_HIDE);
      Invalidate();
      UpdateWindow(hwnd);
      return 0;
    case WM_INSTALL_FAILED:
      CloseInstallLog();
      state = Failed;
      failureCode = static_cast<int>(lParam);
      SetFailureText(lParam);
      Invalidate();
      return 0;
    case WM_INSTALL_STEP:
      if (lParam >= 0 && lParam < kStepTextCount) statusText = StepText(static_cast<int>(lParam));
      Invalidate();
      return 0;
    case WM_DESTROY:
      // Destroyed by another route than Close (a close command sent straight
      // to the window, for example): the message loop must still end. The
      // quit message wakes a loop that waits in GetMessageW.
      if (running) {
        running = false;
        PostQuitMessage(0);
      }
      return -1;
    default:
      return -1;
  }
}

void TKavimorDlg::PressMainButton() {
  if (state == Ready) {
    StartInstall();
  } else if (state == Finished) {
    ShowWindow(hwnd, SW_HIDE);
    SaveDpiAwareSetting(GetAppContext().installDir);
    // As the desktop's user, not with the installer's administrator token.
    shell_launch::LaunchClientAsDesktopUser(GetAppContext().installDir);
    Close();
  }
}

void TKavimorDlg::CloseFromCloseBox() {
  ShowWindow(hwnd, SW_HIDE);
  if (state == Finished) SaveDpiAwareSetting(GetAppContext().installDir);
  Close();
}

bool TKavimorDlg::ControlShown(int control) const {
  switch (control) {
    case kMainButton:
      return state == Ready || state == Finished;
    case kCustomToggle:
      return state == Ready;
    case kBrowseButton:
      return state == Ready && !panelCollapsed;
    default:
      return false;
  }
}

RECT TKavimorDlg::ControlRect(int control) const {
  switch (control) {
    case kMainButton:
      return installRect;
    case kCustomToggle:
      return customRect;
    case kBrowseButton:
      return browseRect;
    default:
      return RECT{};
  }
}

const wchar_t* TKavimorDlg::ControlName(int control) const {
  switch (control) {
    case kMainButton:
      return UiText(state == Finished ? 7 : 0);
    case kCustomToggle:
      return CustomAccessibleName();
    case kBrowseButton:
      return BrowseLabel();
    default:
      return WindowAccessibleName();
  }
}

int TKavimorDlg::FocusedControl() const {
  if (ControlShown(focusControl)) return focusControl;
  // The focused control went away (the panel closed, the state moved on):
  // the focus falls back to the main button.
  return ControlShown(kMainButton) ? kMainButton : kNoControl;
}

void TKavimorDlg::MoveFocus(bool forward) {
  // Top to bottom as the controls stand in the window.
  constexpr int order[kDrawnControlCount] = {kBrowseButton, kMainButton, kCustomToggle};
  const int current = FocusedControl();
  if (current == kNoControl) return;
  int at = 0;
  while (order[at] != current) ++at;
  for (int step = 1; step <= kDrawnControlCount; ++step) {
    const int next = order[(at + (forward ? step : kDrawnControlCount - step)) % kDrawnControlCount];
    if (ControlShown(next)) {
      focusControl = next;
      break;
    }
  }
  NotifyWinEvent(EVENT_OBJECT_FOCUS, hwnd, OBJID_CLIENT, focusControl);
}

void TKavimorDlg::PressControl(int control) {
  if (!ControlShown(control)) return;
  switch (control) {
    case kMainButton:
      PressMainButton();
      break;
    case kCustomToggle:
      panelCollapsed = !panelCollapsed;
      Invalidate();
      break;
    case kBrowseButton:
      BrowseForFolder();
      break;
    default:
      break;
  }
}

bool TKavimorDlg::OnKeyDown(WPARAM key) {
  switch (key) {
    case VK_RETURN:
      PressMainButton();
      return true;
    case VK_SPACE:
      PressControl(FocusedControl());
      return true;
    case VK_ESCAPE:
      // What the close box does; while installing, where there is no close
      // box, the same question as Alt+F4.
      if (state == Installing) {
        Close();
      } else {
        CloseFromCloseBox();
      }
      return true;
    case VK_TAB:
      MoveFocus((GetKeyState(VK_SHIFT) & 0x8000) == 0);
      focusCueShown = true;
      Invalidate();
      return true;
    default:
      return false;
  }
}

bool TKavimorDlg::ConfirmEndOfInstallation() {
  // A second close request while the question is open answers nothing.
  if (askingToEnd_) return false;
  askingToEnd_ = true;
  const int answer =
      MessageBoxW(hwnd, EndInstallQuestion(), WarnCaption(), MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2);
  askingToEnd_ = false;
  if (answer != IDOK) return false;
  // The process ends right after this: the log says why it stops here.
  WriteLog(Gbk(u8"用户结束安装").c_str());
  return true;
}

void TKavimorDlg::OnLButtonDown(WPARAM wParam, LPARAM lParam) {
  const POINT p = CursorInClient();
  if (PtInRect(&installRect, p)) {
    PressMainButton();
    return;
  }
  for (const int control : {kBrowseButton, kCustomToggle}) {
    const RECT rect = ControlRect(control);
    if (ControlShown(control) && PtInRect(&rect, p)) {
      PressControl(control);
      return;
    }
  }
  StartDrag(wParam, lParam);
}

void TKavimorDlg::BrowseForFolder() {
  // The new dialog style needs COM on this thread.
  win::ComApartment apartment;
  win::ComPtr<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.put()))) return;

  wchar_t folder[32768] = {};
  BROWSEINFOW info{};
  info.hwndOwner = hwnd;
  info.pidlRoot = nullptr;
  info.pszDisplayName = folder;
  info.lpszTitle = BrowseTitle();
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  info.lpfn = nullptr;
  info.lParam = 0;

  // UTF-16 end to end: the 8-bit picker would garble the title outside
  // code page 936 and hand back the path in the system's code page anyway.
  if (PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&info)) {
    // The display-name buffer holds only the leaf name; the full path
    // replaces it.
    if (!SHGetPathFromIDListEx(item, folder, 32768, GPFIDL_DEFAULT)) folder[0] = L'\0';
    allocator->Free(item);
  } else {
    folder[0] = L'\0';
  }
  // The folders are kept as 8-bit text of the system's code page: a folder
  // it cannot represent is refused, not renamed with '?'.
  const unsigned codePage = SystemCodePage();
  if (!ApplyPickedFolder(folder, codePage)) {
    const AppContext& ctx = GetAppContext();
    MessageBoxW(hwnd, UnrepresentableFolderMessage(ctx.languageId, folder, codePage).c_str(),
                ReinstallPromptFor(ctx.languageId).caption, MB_OK | MB_ICONERROR);
    return;
  }
  if (folder[0] != L'\0') Invalidate();
}

void TKavimorDlg::Close() {
  // Every way of closing while the worker runs (Alt+F4, a system close,
  // Escape) asks first; the question can also be answered after the run
  // ended meanwhile, and then closing is simply what the user asked for.
  if (state == Installing && !ConfirmEndOfInstallation()) return;
  // The window is normally hidden already; the pause lets the user see the
  // last state go before anything else happens.
  Sleep(500);
  running = false;
  DestroyWindow(hwnd);
  // Reached from a message another thread sent (WM_CLOSE), GetMessageW
  // handles it without returning: a posted message lets the loop see that
  // it has ended.
  PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);
}

void TKavimorDlg::StartInstall() {
  const StartOutcome outcome = StartInstallSequence(*this, hwnd);
  switch (outcome) {
    case StartOutcome::Declined:
      break;
    case StartOutcome::ManifestFailed:
      state = Failed;
      failureCode = kStepManifest;
      SetFailureText(kStepManifest);
      Invalidate();
      break;
    case StartOutcome::WorkerNotStarted:
    case StartOutcome::RecoveryNeedsAttention:
      state = Failed;
      ownExitCode = ExitCodeForStartOutcome(outcome);
      statusText = UiText(0);  // "Install" + the failure suffix
      statusText += UiText(6);
      Invalidate();
      break;
    case StartOutcome::Started:
      state = Installing;
      if (progressBar != nullptr && progressBar->hwnd != nullptr) {
        SetWindowPos(progressBar->hwnd, nullptr, kProgressBarPlace.left, kProgressBarPlace.top,
                     kProgressBarPlace.right - kProgressBarPlace.left,
                     kProgressBarPlace.bottom - kProgressBarPlace.top,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
      }
      break;
  }
}
