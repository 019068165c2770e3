// The language choice through the system's own UI language. CTest starts
// this program once per locale (KAVIMOR_LOCALE, which Wine turns into the
// UI language at process start) and names the UI language it must see.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/app_context.h"
#include "platform/text.h"
#include "ui/texts.h"

namespace {

LANGID g_expectedUi = 0;

struct Expectation {
  LANGID ui;
  int32_t languageId;
  const char* code;
  const char8_t* runtimeStep;   // StepText(4)
  const char8_t* failSuffix;    // UiText(6)
  const char8_t* pathLabel;
};

const Expectation kExpectations[] = {
    {1033, 1033, "ENU", u8"Download runtime library", u8" Fail", u8"Path:"},
    {1028, 1028, "CHT", u8"下載運行庫", u8"失敗", u8"安裝目錄:"},
    {3076, 1028, "CHT", u8"下載運行庫", u8"失敗", u8"安裝目錄:"},
    {2052, 2052, "CHS", u8"下载运行库", u8"失败", u8"安装目录:"},
    {1041, 1041, "CHS", u8"下载运行库", u8"失败", u8"安装目录:"},
};

TEST(LanguageFromSystem, StartUpFollowsTheUserUiLanguage) {
  const Expectation* expected = nullptr;
  for (const Expectation& e : kExpectations) {
    if (e.ui == g_expectedUi) expected = &e;
  }
  ASSERT_NE(expected, nullptr) << "no expectation for --expect-ui=" << g_expectedUi;
  // Guards the test itself: the locale must really have reached Wine.
  ASSERT_EQ(GetUserDefaultUILanguage(), expected->ui);

  InitLanguageAndResources();
  const AppContext& ctx = GetAppContext();
  EXPECT_EQ(ctx.languageId, expected->languageId);
  EXPECT_EQ(ctx.languageCode, expected->code);
  EXPECT_EQ(ctx.packageId, "201805");
  EXPECT_EQ(ctx.displayName, "NOLDAR Trading System");
  EXPECT_EQ(std::wstring(StepText(4)), Wide(expected->runtimeStep));
  EXPECT_EQ(std::wstring(UiText(6)), Wide(expected->failSuffix));
  EXPECT_EQ(std::wstring(PathLabel()), Wide(expected->pathLabel));
  EXPECT_NE(Font20, nullptr);
  EXPECT_NE(WhiteBrush, nullptr);
  ReleaseDrawingResources();
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--expect-ui=", 12) == 0) {
      g_expectedUi = static_cast<LANGID>(std::atoi(argv[i] + 12));
    }
  }
  return RUN_ALL_TESTS();
}
