#include "platform/handles.h"
#include "ui/framework.h"
#include "ui/texts.h"

LRESULT TProcess::HandleMessage(UINT message, WPARAM, LPARAM) {
  if (message != WM_PAINT) return -1;
  Paint();
  return 0;
}

void TProcess::Paint() {
  TMemDC dc(hwnd);
  const HDC memDC = dc.memDC;
  RECT bar{};
  GetClientRect(hwnd, &bar);

  FillRect(memDC, &bar, WhiteBrush);

  // Track: a light grey rounded outline around the white bar.
  {
    win::Pen trackPen(CreatePen(PS_SOLID, 1, RGB(226, 226, 226)));
    win::SelectGuard brush(memDC, WhiteBrush);
    win::SelectGuard pen(memDC, trackPen.get());
    RoundRect(memDC, bar.left, bar.top, bar.right, bar.bottom, 12, 12);
  }

  // Fill for 1..100 only; the unsigned compare also rejects negative values.
  if (static_cast<uint32_t>(value) - 1u < 100u) {
    RECT inner = bar;
    InflateRect(&inner, -3, -3);
    const int end = static_cast<int>((inner.right - inner.left) * value / 100.0 + inner.left);
    win::SelectGuard pen(memDC, barPen);
    win::SelectGuard brush(memDC, barBrush);
    RoundRect(memDC, inner.left, inner.top, end, inner.bottom, 5, 5);
    if (end < inner.right) {
      // Square off the leading end: only a complete bar is rounded on the
      // right as well.
      RECT lead{end - 4, inner.top, end, inner.bottom};
      FillRect(memDC, &lead, barBrush);
    }
  }
}
