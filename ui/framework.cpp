#include "ui/framework.h"

#include "platform/handles.h"
#include "ui/texts.h"

namespace {

// The object pointer lives in the first 8 window extra bytes; the user-data
// slot stays free for whoever else wants it.
constexpr int kObjectSlot = 0;

TIxFrm* ObjectOf(HWND hwnd) { return reinterpret_cast<TIxFrm*>(GetWindowLongPtrW(hwnd, kObjectSlot)); }

}  // namespace

TIxFrm::~TIxFrm() {
  if (hwnd != nullptr && IsWindow(hwnd) && ObjectOf(hwnd) == this) {
    SetWindowLongPtrW(hwnd, kObjectSlot, 0);
  }
}

LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  TIxFrm* self = nullptr;
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    self = static_cast<TIxFrm*>(create->lpCreateParams);
    if (self != nullptr) {
      self->hwnd = hwnd;
      SetWindowLongPtrW(hwnd, kObjectSlot, reinterpret_cast<LONG_PTR>(self));
    }
  } else {
    // Messages sent before WM_NCCREATE (WM_GETMINMAXINFO for a top-level
    // window) find no object yet.
    self = ObjectOf(hwnd);
  }

  if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);

  const LRESULT result = self->HandleMessage(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    // The window is gone after this message: forget it on both sides, so the
    // object never acts on a stale handle.
    SetWindowLongPtrW(hwnd, kObjectSlot, 0);
    self->hwnd = nullptr;
  }
  if (result != -1) return result;
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND TIxFrm::Create(const wchar_t* className, HWND parent, DWORD style, DWORD exStyle) {
  const HINSTANCE module = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  wc.lpfnWndProc = StaticWndProc;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = sizeof(LONG_PTR);
  wc.hInstance = module;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = nullptr;  // the program paints every pixel
  wc.lpszClassName = className;
  // A second window of the same class: the registration fails and the first
  // one stays in force, which is what we want.
  RegisterClassExW(&wc);
  return CreateWindowExW(exStyle, className, nullptr, style, 0, 0, 0, 0, parent, nullptr, module, this);
}

TModalWnd::~TModalWnd() {
  if (background != nullptr) DeleteObject(background);
  background = nullptr;
}

void TModalWnd::RequestMouseLeave() const {
  TRACKMOUSEEVENT track{};
  track.cbSize = sizeof track;
  track.dwFlags = TME_LEAVE;
  track.hwndTrack = hwnd;
  track.dwHoverTime = 0;
  TrackMouseEvent(&track);
}

POINT TModalWnd::CursorInClient() const {
  POINT pt{};
  GetCursorPos(&pt);
  ScreenToClient(hwnd, &pt);
  return pt;
}

LRESULT TModalWnd::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE: {
      GetClientRect(hwnd, &captionRect);
      captionRect.bottom = 30;
      return 0;
    }
    case WM_PAINT:
      DefaultPaint();
      return 0;
    case WM_MOUSEMOVE: {
      // Windows cancels a leave request once it has fired; asking on every
      // move keeps the hover state honest after the cursor comes back.
      RequestMouseLeave();
      const POINT pt = CursorInClient();
      closeHover = PtInRect(&closeRect, pt) != FALSE;
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    }
    case WM_LBUTTONDOWN:
      StartDrag(wParam, lParam);
      return 0;
    case WM_LBUTTONUP: {
      const POINT pt = CursorInClient();
      if (PtInRect(&closeRect, pt)) Close();
      return 0;
    }
    case WM_MOUSELEAVE:
      closeHover = false;
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    default:
      return -1;
  }
}

void TModalWnd::PaintContent(TMemDC&) {}

void TModalWnd::Close() {
  running = false;
  DestroyWindow(hwnd);
}

void TModalWnd::StartDrag(WPARAM wParam, LPARAM lParam) {
  // Only the left button alone drags: with Shift or Ctrl held, or with a
  // second button down, the press is left alone.
  if (wParam != MK_LBUTTON) return;
  const POINT pt = CursorInClient();
  if (PtInRect(&closeRect, pt)) return;
  // Windows moves the window as if its caption had been grabbed.
  PostMessageW(hwnd, WM_NCLBUTTONDOWN, HTCAPTION, lParam);
}

void TModalWnd::DefaultPaint() {
  TMemDC dc(hwnd);
  const HDC memDC = dc.memDC;
  win::SelectGuard font(memDC, Font20);
  SetBkMode(memDC, TRANSPARENT);

  RECT client{};
  GetClientRect(hwnd, &client);
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;

  // Underlay: visible wherever no background picture covers the window.
  {
    win::Brush white(CreateSolidBrush(RGB(255, 255, 255)));
    FillRect(memDC, &client, white.get());
    win::Brush frame(CreateSolidBrush(RGB(70, 70, 70)));
    FrameRect(memDC, &client, frame.get());
  }
  win::Brush caption(CreateSolidBrush(RGB(218, 66, 45)));
  FillRect(memDC, &captionRect, caption.get());

  if (background != nullptr) {
    win::MemoryDC pictureDC(CreateCompatibleDC(memDC));
    win::SelectGuard picture(pictureDC.get(), background);
    BitBlt(memDC, 0, 0, width, height, pictureDC.get(), 0, 0, SRCCOPY);
  }

  // Close box: a 10-pixel cross near the top right corner. Under the cursor
  // it turns to the darker grey, as the main window's close box does.
  closeRect = RECT{width - 20, 10, width - 10, 20};
  {
    win::Pen pen(CreatePen(PS_SOLID, 1, closeHover ? RGB(150, 150, 150) : RGB(231, 231, 231)));
    win::SelectGuard selected(memDC, pen.get());
    // LineTo leaves out its end point, hence the one-pixel overshoot.
    MoveToEx(memDC, closeRect.left, closeRect.top, nullptr);
    LineTo(memDC, closeRect.right + 1, closeRect.bottom + 1);
    MoveToEx(memDC, closeRect.left, closeRect.bottom, nullptr);
    LineTo(memDC, closeRect.right + 1, closeRect.top - 1);
  }
  // A slightly larger target than the drawn cross.
  InflateRect(&closeRect, 1, 1);

  SetTextColor(memDC, RGB(231, 231, 231));
  RECT titleRect = captionRect;
  DrawTextW(memDC, title.c_str(), static_cast<int>(title.size()), &titleRect,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);

  PaintContent(dc);
}

TMemDC::TMemDC(HWND window) : hwnd(window) {
  paintDC = BeginPaint(hwnd, &ps);
  SetBkMode(paintDC, TRANSPARENT);
  RECT client{};
  GetClientRect(hwnd, &client);
  memDC = CreateCompatibleDC(paintDC);
  bitmap = CreateCompatibleBitmap(paintDC, client.right - client.left, client.bottom - client.top);
  if (memDC != nullptr && bitmap != nullptr) oldBitmap_ = SelectObject(memDC, bitmap);
}

TMemDC::~TMemDC() {
  // The screen receives the finished picture in one copy, so nothing
  // half-drawn is ever visible however often the window is invalidated.
  RECT client{};
  GetClientRect(hwnd, &client);
  if (memDC != nullptr && bitmap != nullptr) {
    BitBlt(paintDC, 0, 0, client.right - client.left, client.bottom - client.top, memDC, 0, 0, SRCCOPY);
  }
  if (oldBitmap_ != nullptr) SelectObject(memDC, oldBitmap_);
  if (memDC != nullptr) DeleteDC(memDC);
  if (bitmap != nullptr) DeleteObject(bitmap);
  EndPaint(hwnd, &ps);
}
