#include "ui/window_probe.h"

#include "platform/handles.h"

namespace ui_testing {

LRESULT ProbeWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  seen.push_back(message);
  if (swallowButtonDown && message == WM_LBUTTONDOWN) return 0;
  return TModalWnd::HandleMessage(message, wParam, lParam);
}

void ProbeWindow::PaintContent(TMemDC& dc) {
  ++paints;
  if (onPaint) onPaint(dc);
}

void ShowProbe(ProbeWindow& window, int x, int y, int width, int height, DWORD extraStyle,
               const wchar_t* className) {
  window.Create(className, nullptr, WS_POPUP | extraStyle, WS_EX_TOPMOST);
  SetWindowPos(window.hwnd, HWND_TOPMOST, x, y, width, height, SWP_SHOWWINDOW);
  UpdateWindow(window.hwnd);
  PumpFor(50);
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void PumpFor(DWORD ms) {
  const DWORD start = GetTickCount();
  do {
    Pump();
    Sleep(5);
  } while (GetTickCount() - start < ms);
}

COLORREF ScreenPixel(HWND hwnd, int x, int y) {
  win::WindowDC dc(hwnd);
  return GetPixel(dc.get(), x, y);
}

void MoveCursorTo(HWND hwnd, int x, int y) {
  POINT pt{x, y};
  ClientToScreen(hwnd, &pt);
  SetCursorPos(pt.x, pt.y);
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = MOUSEEVENTF_MOVE;  // relative 0,0: a move at the cursor
  SendInput(1, &input, sizeof input);
  PumpFor(50);
}

void LeftClick() {
  INPUT inputs[2]{};
  inputs[0].type = INPUT_MOUSE;
  inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  inputs[1].type = INPUT_MOUSE;
  inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, inputs, sizeof(INPUT));
}

}  // namespace ui_testing
