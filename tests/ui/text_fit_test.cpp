// Every text the window draws, in every language, measured with the fonts
// the window draws it with, against the rectangle it is drawn in.
#include <gtest/gtest.h>

#include <string>

#include "engine/app_context.h"
#include "platform/handles.h"
#include "ui/kavimor_layout.h"
#include "ui/texts.h"

namespace {

const DlgLayout kLayout = ComputeLayout(RECT{0, 0, kDlgWidth, kDlgHeight});
const char* const kLanguageNames[3] = {"simplified Chinese", "traditional Chinese", "English"};

class TextFit : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { CreateDrawingResources(); }

  SIZE Extent(HFONT font, const std::wstring& text) {
    win::SelectGuard use(dc_.get(), font);
    SIZE size{};
    GetTextExtentPoint32W(dc_.get(), text.c_str(), static_cast<int>(text.size()), &size);
    return size;
  }
  win::MemoryDC dc_{CreateCompatibleDC(nullptr)};
};

TEST(FailureTextRect, StaysOnTheStepLineWhenItFitsAndOtherwiseEndsAboveTheBar) {
  const struct {
    LONG height;
    RECT expected;
  } cases[] = {
      {20, {32, 234, 466, 254}},  // one line: where it always stood
      {25, {32, 234, 466, 259}},
      {26, {32, 233, 466, 259}},  // raised, one free row above the bar
      {40, {32, 219, 466, 259}},
      {42, {32, 217, 466, 259}},
      {60, {32, 217, 466, 277}},  // no room: the first line stays in the white area
  };
  for (const auto& c : cases) {
    const RECT r = FailureTextRect(kLayout.statusRect, c.height);
    EXPECT_TRUE(EqualRect(&r, &c.expected)) << c.height << ": " << r.left << "," << r.top << "," << r.right
                                            << "," << r.bottom;
  }
}

TEST_F(TextFit, EveryFailureTextWrapsInsideTheWhiteAreaAboveTheBar) {
  const LONG width = kLayout.statusRect.right - kLayout.statusRect.left;
  int wrapped = 0;
  for (int language = 0; language < 3; ++language) {
    for (int code = 0; code < kStepTextCount; ++code) {  // every failure text, the refusals too
      const std::wstring text = std::wstring(StepTexts[language][code]) + UiTexts[language][6];
      SCOPED_TRACE(std::string(kLanguageNames[language]) + ", code " + std::to_string(code));
      win::SelectGuard use(dc_.get(), Font20);
      RECT measured = kLayout.statusRect;
      DrawTextW(dc_.get(), text.c_str(), -1, &measured, kFailureTextFlags | DT_CALCRECT);
      // Wider than the line would mean a word broken in the middle or a
      // line running past the window's edge.
      EXPECT_LE(measured.right - measured.left, width);
      const RECT r = FailureTextRect(kLayout.statusRect, measured.bottom - measured.top);
      EXPECT_GT(r.top, kWhiteAreaTop);
      EXPECT_LT(r.bottom, kProgressBarTop);
      if (Extent(Font20, text).cx > width) ++wrapped;
    }
  }
  // The English hand-over failure is wider than the line: the wrapping is
  // what keeps it whole.
  EXPECT_GE(wrapped, 1);
}

TEST_F(TextFit, EveryCaptionAndLabelFitsItsRectangleInEveryLanguage) {
  // DrawTextW cuts off whatever is wider than the rectangle.
  const int32_t languageIds[3] = {2052, 1028, 1033};
  for (int language = 0; language < 3; ++language) {
    SCOPED_TRACE(kLanguageNames[language]);
    GetAppContext().languageId = languageIds[language];
    const struct {
      const char* name;
      HFONT font;
      std::wstring text;
      LONG room;
    } rows[] = {
        {"Install", Font22, UiTexts[language][0], kLayout.installRect.right - kLayout.installRect.left},
        {"Open", Font22, UiTexts[language][7], kLayout.installRect.right - kLayout.installRect.left},
        {"Browse", Font18, BrowseLabel(), kLayout.browseRect.right - kLayout.browseRect.left},
        {"Custom", Font18, CustomLabel(), kLayout.customRect.right - kLayout.customRect.left},
        {"waiting line", Font27, UiTexts[language][10], kLayout.busyRect.right - kLayout.busyRect.left},
        {"package tag", Font27, L"201805", kLayout.tagRect.right - kLayout.tagRect.left},
    };
    for (const auto& row : rows) {
      const SIZE size = Extent(row.font, row.text);
      EXPECT_GT(size.cx, 0) << row.name;
      EXPECT_LE(size.cx, row.room) << row.name;
    }
  }
}

}  // namespace
