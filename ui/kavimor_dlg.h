#pragma once
// The installer's only top-level window: a borderless, always-on-top popup
// of 500 x 310 that paints every pixel itself. It owns the install engine's
// record (IClient) and follows the worker through four states.
#include <windows.h>

#include <string>

#include "engine/client.h"
#include "engine/messages.h"
#include "ui/framework.h"
#include "ui/kavimor_layout.h"

class TKavimorDlg : public TModalWnd, public IClient {
 public:
  TKavimorDlg();
  ~TKavimorDlg() override;

  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;  // slot 0
  void Initialise() override;                                                  // slot 1
  void PlaceWindow() override;                                                 // slot 2
  void PaintContent(TMemDC& dc) override;                                      // slot 3
  void Close() override;                                                       // slot 4

  void OnLButtonDown(WPARAM wParam, LPARAM lParam);
  void BrowseForFolder();
  void StartInstall();

  // The buttons the window draws, as the keyboard and screen readers see
  // them; the numbers are the children of the window's accessible object.
  enum DrawnControl : int { kNoControl = 0, kMainButton = 1, kCustomToggle = 2, kBrowseButton = 3 };
  static constexpr int kDrawnControlCount = 3;
  bool ControlShown(int control) const;
  RECT ControlRect(int control) const;
  const wchar_t* ControlName(int control) const;
  // The control that has the keyboard focus in this state, or kNoControl.
  int FocusedControl() const;
  // What a press on the control does; posted by screen readers' default
  // action (kPressControlMessage, wParam the control).
  void PressControl(int control);
  static constexpr UINT kPressControlMessage = WM_APP + 1;

  TProcess* progressBar = nullptr;  // owned
  std::wstring statusText;
  RECT statusRect{};
  RECT installRect{};
  RECT tagRect{};
  RECT busyRect{};
  RECT customRect{};
  RECT browseRect{};
  DlgState state = Ready;
  // How a failed run ends the process: the failure code it showed (0 the
  // manifest), or -1 and an exit code of its own for a start that failed
  // before any step.
  int failureCode = -1;
  int ownExitCode = 0;
  bool installHover = false;
  bool browseHover = false;
  bool panelCollapsed = true;
  // Keyboard: the control Tab last moved to, and whether its cue is drawn
  // (only once the keyboard has been used, as Windows does).
  int focusControl = kMainButton;
  bool focusCueShown = false;

 private:
  void PressMainButton();
  void CloseFromCloseBox();
  bool OnKeyDown(WPARAM key);
  void MoveFocus(bool forward);
  // Asks before the user ends a running installation; true when confirmed,
  // after the log has recorded it.
  bool ConfirmEndOfInstallation();
  void PaintFocusCue(HDC dc);
  bool askingToEnd_ = false;

  void Paint();  // kavimor_paint.cpp
  void PaintBusy(HDC dc);
  void PaintIdle(HDC dc);
  void Invalidate();
  void ApplyLayout();
  // Failure text of a step index; indices outside the step table (a stray
  // message from another program) give the suffix alone.
  void SetFailureText(LPARAM code);
};
