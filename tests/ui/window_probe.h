#pragma once
// A framework window for tests: records the messages its object receives
// and lets a test look into its paint. Helpers place the cursor, click and
// read pixels back from the screen.
#include <windows.h>

#include <functional>
#include <vector>

#include "ui/framework.h"

namespace ui_testing {

class ProbeWindow : public TModalWnd {
 public:
  void Initialise() override {}
  void PlaceWindow() override {}
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  void PaintContent(TMemDC& dc) override;

  std::vector<UINT> seen;
  // When set, WM_LBUTTONDOWN is recorded but not handed to the default
  // handler (no drag loop while a test clicks).
  bool swallowButtonDown = false;
  std::function<void(TMemDC&)> onPaint;
  int paints = 0;
};

// Creates `window` as a visible top-most popup at (x, y) with the given
// client size and paints it once.
void ShowProbe(ProbeWindow& window, int x, int y, int width, int height,
               DWORD extraStyle = 0, const wchar_t* className = L"TModalWnd");

// Dispatches every queued message of this thread.
void Pump();
// Pumps for `ms` milliseconds.
void PumpFor(DWORD ms);

// Colour of a client pixel of `hwnd` as the screen shows it.
COLORREF ScreenPixel(HWND hwnd, int x, int y);

// Places the cursor on a client point of `hwnd` through real input.
void MoveCursorTo(HWND hwnd, int x, int y);
void LeftClick();

}  // namespace ui_testing
