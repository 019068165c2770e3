// The progress bar as the main window places it (434 x 15 at 34, 260),
// read back from the screen.
#include <gtest/gtest.h>

#include "platform/handles.h"
#include "ui/framework.h"
#include "ui/texts.h"
#include "ui/window_probe.h"

namespace {

using ui_testing::ProbeWindow;
using ui_testing::ScreenPixel;

constexpr COLORREF kFill = RGB(252, 115, 115);
constexpr COLORREF kTrack = RGB(226, 226, 226);
constexpr COLORREF kWhite = RGB(255, 255, 255);

class ProgressBar : public testing::Test {
 protected:
  void SetUp() override {
    CreateDrawingResources();
    ui_testing::ShowProbe(owner, 60, 60, 500, 310, WS_CLIPCHILDREN);
    bar.barPen = CreatePen(PS_SOLID, 1, kFill);
    bar.barBrush = CreateSolidBrush(kFill);
    ASSERT_NE(bar.Create(L"TProcess", owner.hwnd, 0x52000000, 0), nullptr);
    MoveWindow(bar.hwnd, 34, 260, 434, 15, TRUE);
    ui_testing::PumpFor(30);
  }
  void TearDown() override {
    DestroyWindow(owner.hwnd);  // the bar goes with its parent
    DeleteObject(bar.barPen);
    DeleteObject(bar.barBrush);
  }
  void Show(int value) {
    bar.value = value;
    InvalidateRect(bar.hwnd, nullptr, FALSE);
    UpdateWindow(bar.hwnd);
  }
  // First and last column of the fill colour on a row; -1, -1 when none.
  std::pair<int, int> FillSpan(int y) {
    int first = -1;
    int last = -1;
    for (int x = 0; x < 434; ++x) {
      if (ScreenPixel(bar.hwnd, x, y) == kFill) {
        if (first < 0) first = x;
        last = x;
      }
    }
    return {first, last};
  }

  ProbeWindow owner;
  TProcess bar;
};

TEST_F(ProgressBar, OutOfRangeValuesShowTheEmptyTrack) {
  for (int value : {0, -5, 101, -2147483647 - 1, 1000}) {
    SCOPED_TRACE(value);
    Show(value);
    for (int y : {3, 7, 11}) EXPECT_EQ(FillSpan(y), std::make_pair(-1, -1)) << "row " << y;
    EXPECT_EQ(ScreenPixel(bar.hwnd, 217, 7), kWhite);
    EXPECT_EQ(ScreenPixel(bar.hwnd, 0, 7), kTrack);
  }
}

TEST_F(ProgressBar, FillEndsWhereTheValueSays) {
  const struct {
    int value;
    int lastColumn;  // E = trunc(428 * value / 100.0 + 3), exclusive
  } rows[] = {{1, 6}, {2, 10}, {50, 216}, {99, 425}, {100, 430}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    Show(row.value);
    EXPECT_EQ(FillSpan(7), std::make_pair(3, row.lastColumn));
    EXPECT_NE(ScreenPixel(bar.hwnd, row.lastColumn + 1, 7), kFill);
  }
}

TEST_F(ProgressBar, LeadingEndIsSquareUnlessFull) {
  // Rounded start in every case: the top-left corner pixel of the fill is
  // not filled.
  for (int value : {50, 100}) {
    Show(value);
    EXPECT_NE(ScreenPixel(bar.hwnd, 3, 3), kFill) << value;
    EXPECT_NE(ScreenPixel(bar.hwnd, 3, 11), kFill) << value;
  }
  Show(50);  // E = 217: squared off up to and including column 216
  EXPECT_EQ(ScreenPixel(bar.hwnd, 216, 3), kFill);
  EXPECT_EQ(ScreenPixel(bar.hwnd, 216, 11), kFill);
  EXPECT_EQ(FillSpan(3).second, 216);
  Show(100);  // complete: rounded on the right as well
  EXPECT_NE(ScreenPixel(bar.hwnd, 430, 3), kFill);
  EXPECT_NE(ScreenPixel(bar.hwnd, 430, 11), kFill);
  EXPECT_EQ(ScreenPixel(bar.hwnd, 430, 7), kFill);
}

TEST_F(ProgressBar, TrackIsARoundedGreyOutlineOnWhite) {
  Show(30);
  const struct {
    int x, y;
    COLORREF colour;
    const char* what;
  } rows[] = {
      {0, 7, kTrack, "left edge"},     {433, 7, kTrack, "right edge"},
      {217, 0, kTrack, "top edge"},    {217, 14, kTrack, "bottom edge"},
      {0, 0, kWhite, "rounded corner"}, {433, 14, kWhite, "rounded corner"},
      {300, 1, kWhite, "inside above the fill line"}, {300, 7, kWhite, "beyond the fill"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ScreenPixel(bar.hwnd, row.x, row.y), row.colour) << row.what;
  }
}

TEST_F(ProgressBar, HandlesOnlyPaint) {
  EXPECT_EQ(bar.HandleMessage(WM_SIZE, 0, 0), -1);
  EXPECT_EQ(bar.HandleMessage(WM_LBUTTONDOWN, MK_LBUTTON, 0), -1);
  EXPECT_EQ(bar.HandleMessage(WM_ERASEBKGND, 0, 0), -1);
  InvalidateRect(bar.hwnd, nullptr, FALSE);
  EXPECT_EQ(bar.HandleMessage(WM_PAINT, 0, 0), 0);
  RECT update{};
  EXPECT_FALSE(GetUpdateRect(bar.hwnd, &update, FALSE));  // the paint validated it
  // Class, style and place as the main window uses them.
  wchar_t className[32] = {};
  GetClassNameW(bar.hwnd, className, 32);
  EXPECT_STREQ(className, L"TProcess");
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(bar.hwnd, GWL_STYLE)), 0x52000000u);
  EXPECT_EQ(GetParent(bar.hwnd), owner.hwnd);
}

}  // namespace
