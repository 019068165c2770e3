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

  TProcess* progressBar = nullptr;  // owned
  std::wstring statusText;
  RECT statusRect{};
  RECT installRect{};
  RECT tagRect{};
  RECT busyRect{};
  RECT customRect{};
  RECT browseRect{};
  DlgState state = Ready;
  bool installHover = false;
  bool browseHover = false;
  bool panelCollapsed = true;

 private:
  void Paint();  // kavimor_paint.cpp
  void PaintBusy(HDC dc);
  void PaintIdle(HDC dc);
  void Invalidate();
  void ApplyLayout();
  // Failure text of a step index; indices outside the step table (a stray
  // message from another program) give the suffix alone.
  void SetFailureText(LPARAM code);
};
