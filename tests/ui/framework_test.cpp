// The window framework on real windows under Wine: how messages reach the
// object, the default caption window's paint and mouse behaviour, and the
// off-screen buffer. Pixels are read back from the screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/handles.h"
#include "ui/texts.h"
#include "ui/window_probe.h"

namespace {

using ui_testing::LeftClick;
using ui_testing::MoveCursorTo;
using ui_testing::ProbeWindow;
using ui_testing::PumpFor;
using ui_testing::ScreenPixel;
using ui_testing::ShowProbe;

constexpr COLORREF kCaption = RGB(218, 66, 45);
constexpr COLORREF kFrame = RGB(70, 70, 70);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kCrossNormal = RGB(231, 231, 231);
constexpr COLORREF kCrossHover = RGB(150, 150, 150);

class Framework : public testing::Test {
 protected:
  void SetUp() override { CreateDrawingResources(); }
  void TearDown() override {
    if (window.hwnd != nullptr) DestroyWindow(window.hwnd);
    PumpFor(20);
  }
  ProbeWindow window;
};

// Every message the thread's windows are sent, in order, as Windows sends
// them (before any window procedure runs).
std::vector<std::pair<HWND, UINT>>* g_sent = nullptr;
LRESULT CALLBACK RecordSent(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION && g_sent != nullptr) {
    const auto* msg = reinterpret_cast<const CWPSTRUCT*>(lParam);
    g_sent->emplace_back(msg->hwnd, msg->message);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(Framework, ObjectReceivesMessagesFromNcCreateOn) {
  std::vector<std::pair<HWND, UINT>> sent;
  g_sent = &sent;
  HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, RecordSent, nullptr, GetCurrentThreadId());
  ASSERT_NE(hook, nullptr);
  // An overlapped top-level window: Windows asks it for WM_GETMINMAXINFO
  // before WM_NCCREATE, when no object can be attached yet.
  const HWND created = window.Create(L"TModalWnd", nullptr, WS_OVERLAPPEDWINDOW, 0);
  UnhookWindowsHookEx(hook);
  g_sent = nullptr;

  ASSERT_NE(created, nullptr);
  EXPECT_EQ(window.hwnd, created);
  ASSERT_FALSE(window.seen.empty());
  EXPECT_EQ(window.seen.front(), static_cast<UINT>(WM_NCCREATE));

  std::vector<UINT> toWindow;
  for (const auto& [hwnd, message] : sent) {
    if (hwnd == created) toWindow.push_back(message);
  }
  const auto ncCreate = std::find(toWindow.begin(), toWindow.end(), static_cast<UINT>(WM_NCCREATE));
  ASSERT_NE(ncCreate, toWindow.end());
  ASSERT_NE(std::find(toWindow.begin(), ncCreate, static_cast<UINT>(WM_GETMINMAXINFO)), ncCreate)
      << "Windows sent no WM_GETMINMAXINFO before WM_NCCREATE; the case is not exercised";
  // From WM_NCCREATE on the object sees exactly what Windows sent.
  EXPECT_EQ(std::vector<UINT>(ncCreate, toWindow.end()), window.seen);
  // Creation completed: WM_NCCREATE went on to DefWindowProcW.
  EXPECT_NE(std::find(window.seen.begin(), window.seen.end(), static_cast<UINT>(WM_CREATE)),
            window.seen.end());
}

TEST_F(Framework, SecondWindowOfARegisteredClassHasItsOwnObject) {
  ProbeWindow second;
  ASSERT_NE(window.Create(L"TModalWnd", nullptr, WS_POPUP, 0), nullptr);
  ASSERT_NE(second.Create(L"TModalWnd", nullptr, WS_POPUP, 0), nullptr);
  EXPECT_NE(window.hwnd, second.hwnd);
  constexpr UINT kPing = WM_APP + 5;
  SendMessageW(second.hwnd, kPing, 0, 0);
  EXPECT_EQ(std::count(second.seen.begin(), second.seen.end(), kPing), 1);
  EXPECT_EQ(std::count(window.seen.begin(), window.seen.end(), kPing), 0);
  DestroyWindow(second.hwnd);
}

TEST_F(Framework, HandledResultsReturnedAndTheRestGoToDefWindowProc) {
  struct Answering : ProbeWindow {
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
      if (message == WM_APP + 1) return 42;
      if (message == WM_GETTEXTLENGTH) return -1;  // left to DefWindowProcW
      return ProbeWindow::HandleMessage(message, wParam, lParam);
    }
  } answering;
  ASSERT_NE(answering.Create(L"TModalWnd", nullptr, WS_POPUP, 0), nullptr);
  EXPECT_EQ(SendMessageW(answering.hwnd, WM_APP + 1, 0, 0), 42);
  SetWindowTextW(answering.hwnd, L"abc");
  EXPECT_EQ(SendMessageW(answering.hwnd, WM_GETTEXTLENGTH, 0, 0), 3);

  // The default handler takes only its six messages.
  const struct {
    UINT message;
    LRESULT result;
  } rows[] = {{WM_LBUTTONDBLCLK, -1}, {WM_KEYDOWN, -1}, {WM_ERASEBKGND, -1}, {WM_RBUTTONUP, -1},
              {WM_MOUSELEAVE, 0}, {WM_SIZE, 0}};
  for (const auto& row : rows) {
    EXPECT_EQ(answering.TModalWnd::HandleMessage(row.message, 0, 0), row.result) << row.message;
  }
  DestroyWindow(answering.hwnd);
}

TEST_F(Framework, WindowAndObjectForgetEachOther) {
  // The window ends first: the object's handle is cleared.
  ASSERT_NE(window.Create(L"TModalWnd", nullptr, WS_POPUP, 0), nullptr);
  DestroyWindow(window.hwnd);
  EXPECT_EQ(window.hwnd, nullptr);

  // The object ends first: the window's later messages reach no dead object.
  auto early = std::make_unique<ProbeWindow>();
  const HWND orphan = early->Create(L"TModalWnd", nullptr, WS_POPUP, 0);
  ASSERT_NE(orphan, nullptr);
  early.reset();
  EXPECT_EQ(GetWindowLongPtrW(orphan, 0), 0);
  SendMessageW(orphan, WM_SIZE, 0, 0);
  SendMessageW(orphan, WM_MOUSEMOVE, 0, 0);
  EXPECT_TRUE(DestroyWindow(orphan));
}

TEST_F(Framework, DefaultPaintPixels) {
  // Created at zero size: the band follows the size the window is given.
  ShowProbe(window, 100, 100, 300, 200);
  const HWND h = window.hwnd;
  const struct {
    int x, y;
    COLORREF colour;
    const char* what;
  } rows[] = {
      {150, 100, kWhite, "fill"},
      {0, 100, kFrame, "left frame"},
      {299, 100, kFrame, "right frame"},
      {150, 199, kFrame, "bottom frame"},
      {1, 31, kWhite, "inside the frame below the band"},
      {50, 15, kCaption, "caption band"},
      {5, 0, kCaption, "band covers the top frame"},
      {150, 29, kCaption, "last band row"},
      {150, 30, kWhite, "first row below the band"},
      // The cross from (280, 10) to (290, 20) and from (280, 20) to (290, 10).
      {280, 10, kCrossNormal, "first diagonal start"},
      {283, 13, kCrossNormal, "first diagonal"},
      {290, 20, kCrossNormal, "first diagonal end"},
      {280, 20, kCrossNormal, "second diagonal start"},
      {287, 13, kCrossNormal, "second diagonal"},
      {290, 10, kCrossNormal, "second diagonal end"},
      {284, 12, kCaption, "between the diagonals"},
      {291, 21, kCaption, "past the first diagonal"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ScreenPixel(h, row.x, row.y), row.colour) << row.what << " at " << row.x << "," << row.y;
  }
  // Hit rectangle: the cross grown by one pixel.
  EXPECT_EQ(window.closeRect.left, 279);
  EXPECT_EQ(window.closeRect.top, 9);
  EXPECT_EQ(window.closeRect.right, 291);
  EXPECT_EQ(window.closeRect.bottom, 21);
}

TEST_F(Framework, TitleIsDrawnInTheBandAndBackgroundCoversTheClientArea) {
  window.title = L"MMMMMMMM";
  ShowProbe(window, 100, 100, 300, 200);
  int lightInBand = 0;
  for (int x = 100; x < 200; ++x) {
    for (int y = 5; y < 25; ++y) lightInBand += ScreenPixel(window.hwnd, x, y) != kCaption;
  }
  EXPECT_GT(lightInBand, 20);

  // A green picture over everything; the close box still on top of it.
  const HDC screen = GetDC(nullptr);
  HBITMAP green = CreateCompatibleBitmap(screen, 300, 200);
  {
    win::MemoryDC dc(CreateCompatibleDC(screen));
    win::SelectGuard sel(dc.get(), green);
    win::Brush brush(CreateSolidBrush(RGB(0, 128, 0)));
    RECT all{0, 0, 300, 200};
    FillRect(dc.get(), &all, brush.get());
  }
  ReleaseDC(nullptr, screen);
  window.background = green;  // the window object deletes it
  window.title.clear();
  InvalidateRect(window.hwnd, nullptr, FALSE);
  UpdateWindow(window.hwnd);
  EXPECT_EQ(ScreenPixel(window.hwnd, 150, 100), RGB(0, 128, 0));
  EXPECT_EQ(ScreenPixel(window.hwnd, 50, 15), RGB(0, 128, 0));
  EXPECT_EQ(ScreenPixel(window.hwnd, 0, 100), RGB(0, 128, 0));
  EXPECT_EQ(ScreenPixel(window.hwnd, 283, 13), kCrossNormal);
}

TEST_F(Framework, CloseBoxFollowsTheCursorAndClosesOnRelease) {
  window.swallowButtonDown = false;
  ShowProbe(window, 100, 100, 300, 200);
  window.running = true;

  MoveCursorTo(window.hwnd, 285, 15);
  UpdateWindow(window.hwnd);
  EXPECT_TRUE(window.closeHover);
  EXPECT_EQ(ScreenPixel(window.hwnd, 283, 13), kCrossHover);
  EXPECT_EQ(ScreenPixel(window.hwnd, 287, 13), kCrossHover);

  MoveCursorTo(window.hwnd, 150, 100);
  UpdateWindow(window.hwnd);
  EXPECT_FALSE(window.closeHover);
  EXPECT_EQ(ScreenPixel(window.hwnd, 283, 13), kCrossNormal);

  // Leaving the window clears the hover through WM_MOUSELEAVE.
  MoveCursorTo(window.hwnd, 285, 15);
  ASSERT_TRUE(window.closeHover);
  const size_t before = window.seen.size();
  MoveCursorTo(window.hwnd, 600, 500);
  for (int i = 0; i < 20 && window.closeHover; ++i) PumpFor(50);
  EXPECT_NE(std::find(window.seen.begin() + static_cast<std::ptrdiff_t>(before), window.seen.end(),
                      static_cast<UINT>(WM_MOUSELEAVE)),
            window.seen.end());
  EXPECT_FALSE(window.closeHover);

  // A press and release on the cross: no drag, and the window closes.
  MoveCursorTo(window.hwnd, 285, 15);
  const HWND h = window.hwnd;
  LeftClick();
  PumpFor(150);
  EXPECT_FALSE(window.running);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(window.hwnd, nullptr);
}

TEST_F(Framework, ReleaseOutsideTheCloseBoxKeepsTheWindow) {
  window.swallowButtonDown = true;  // no drag loop; only the release matters
  ShowProbe(window, 100, 100, 300, 200);
  window.running = true;
  MoveCursorTo(window.hwnd, 150, 100);
  LeftClick();
  PumpFor(100);
  EXPECT_TRUE(window.running);
  EXPECT_TRUE(IsWindow(window.hwnd));
}

TEST_F(Framework, StartDragPostsOnlyForTheLeftButtonAloneOutsideTheCloseBox) {
  ShowProbe(window, 100, 100, 300, 200);
  ASSERT_EQ(window.closeRect.left, 279);  // the paint has placed the close box
  const struct {
    WPARAM keys;
    int x, y;
    bool drags;
    const char* what;
  } rows[] = {
      {MK_LBUTTON, 100, 15, true, "caption band"},
      {MK_LBUTTON, 150, 120, true, "client area"},
      {MK_LBUTTON | MK_SHIFT, 100, 15, false, "with Shift"},
      {MK_LBUTTON | MK_CONTROL, 100, 15, false, "with Ctrl"},
      {MK_LBUTTON | MK_RBUTTON, 100, 15, false, "with the right button"},
      {0, 100, 15, false, "no button"},
      {MK_LBUTTON, 285, 15, false, "on the cross"},
      {MK_LBUTTON, 279, 9, false, "hit rectangle's top left"},
      {MK_LBUTTON, 291, 21, true, "just outside the hit rectangle"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    MoveCursorTo(window.hwnd, row.x, row.y);
    ui_testing::Pump();
    // lParam is passed through untouched, whatever it says.
    const LPARAM lParam = MAKELPARAM(7, 9);
    window.StartDrag(row.keys, lParam);
    MSG msg{};
    const bool posted = PeekMessageW(&msg, window.hwnd, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE);
    EXPECT_EQ(posted, row.drags);
    if (posted) {
      EXPECT_EQ(msg.wParam, static_cast<WPARAM>(HTCAPTION));
      EXPECT_EQ(msg.lParam, lParam);
    }
  }
}

TEST_F(Framework, QuickSecondPressArrivesAsDoubleClick) {
  window.swallowButtonDown = true;
  ShowProbe(window, 100, 100, 300, 200);
  MoveCursorTo(window.hwnd, 150, 120);
  window.seen.clear();
  LeftClick();
  LeftClick();
  PumpFor(100);
  std::vector<UINT> buttons;
  for (UINT m : window.seen) {
    if (m == WM_LBUTTONDOWN || m == WM_LBUTTONDBLCLK || m == WM_LBUTTONUP) buttons.push_back(m);
  }
  const std::vector<UINT> expected = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP};
  EXPECT_EQ(buttons, expected);
}

TEST_F(Framework, PaintReachesTheScreenInOneCopy) {
  ShowProbe(window, 100, 100, 300, 200);
  ASSERT_EQ(ScreenPixel(window.hwnd, 150, 100), kWhite);
  COLORREF screenDuringPaint = CLR_INVALID;
  COLORREF bufferDuringPaint = CLR_INVALID;
  window.onPaint = [&](TMemDC& dc) {
    win::Brush blue(CreateSolidBrush(RGB(0, 0, 255)));
    RECT box{100, 60, 200, 140};
    FillRect(dc.memDC, &box, blue.get());
    bufferDuringPaint = GetPixel(dc.memDC, 150, 100);
    screenDuringPaint = ScreenPixel(window.hwnd, 150, 100);
  };
  InvalidateRect(window.hwnd, nullptr, FALSE);
  UpdateWindow(window.hwnd);
  // While the paint runs, everything is in the buffer and nothing on the
  // screen; afterwards the screen shows the buffer.
  EXPECT_EQ(bufferDuringPaint, RGB(0, 0, 255));
  EXPECT_EQ(screenDuringPaint, kWhite);
  EXPECT_EQ(ScreenPixel(window.hwnd, 150, 100), RGB(0, 0, 255));
  EXPECT_EQ(ScreenPixel(window.hwnd, 50, 15), kCaption);
}

TEST_F(Framework, MemDcBuffersTheClientSizeAndReleasesItsObjects) {
  ShowProbe(window, 100, 100, 300, 200);
  HDC memDC = nullptr;
  HBITMAP bitmap = nullptr;
  BITMAP info{};
  window.onPaint = [&](TMemDC& dc) {
    memDC = dc.memDC;
    bitmap = dc.bitmap;
    GetObjectW(dc.bitmap, sizeof info, &info);
    EXPECT_EQ(GetCurrentObject(dc.memDC, OBJ_BITMAP), dc.bitmap);
    EXPECT_EQ(dc.hwnd, window.hwnd);
  };
  InvalidateRect(window.hwnd, nullptr, FALSE);
  UpdateWindow(window.hwnd);
  ASSERT_NE(bitmap, nullptr);
  EXPECT_EQ(info.bmWidth, 300);
  EXPECT_EQ(info.bmHeight, 200);
  EXPECT_EQ(GetObjectType(bitmap), 0u);
  EXPECT_EQ(GetObjectType(memDC), 0u);
  // The paint was ended: nothing is left to validate.
  RECT update{};
  EXPECT_FALSE(GetUpdateRect(window.hwnd, &update, FALSE));
}

}  // namespace
