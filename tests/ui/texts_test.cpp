// Language choice, the localised tables and the shared drawing objects. The
// UI language is injected through ApplyLanguage; language_probe_main.cpp
// checks the same choice through the system's own UI language.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "engine/app_context.h"
#include "engine/pipeline.h"
#include "platform/text.h"
#include "ui/texts.h"

namespace {

struct LanguageRow {
  LANGID reported;
  int32_t languageId;
  const char* code;
  TextLanguage texts;
};

TEST(Language, ReportedUiLanguageSelectsIdCodeTablesAndName) {
  const LanguageRow rows[] = {
      {1033, 1033, "ENU", kEnglish},
      {1028, 1028, "CHT", kTraditionalChinese},
      {3076, 1028, "CHT", kTraditionalChinese},  // Hong Kong reads Taiwan's texts
      {2052, 2052, "CHS", kSimplifiedChinese},
      {1041, 1041, "CHS", kSimplifiedChinese},  // anything else: simplified, id kept
      {2057, 2057, "CHS", kSimplifiedChinese},  // British English is not 1033
  };
  AppContext& ctx = GetAppContext();
  for (const LanguageRow& row : rows) {
    SCOPED_TRACE(row.reported);
    ctx.packageId = "stale";
    ctx.displayName = "stale";
    ApplyLanguage(row.reported);
    EXPECT_EQ(ctx.languageId, row.languageId);
    EXPECT_EQ(ctx.languageCode, row.code);
    EXPECT_EQ(ctx.packageId, "201805");
    EXPECT_EQ(ctx.displayName, "NOLDAR Trading System");
    EXPECT_EQ(StepText(4), StepTexts[row.texts][4]);
    EXPECT_EQ(UiText(6), UiTexts[row.texts][6]);
  }
}

struct Entry {
  int index;
  const char8_t* chs;
  const char8_t* cht;
  const char8_t* enu;
};

// Expected texts are UTF-8 converted at run time, a different path from the
// wide literals of the tables.

TEST(Texts, StepNamesInAllThreeLanguages) {
  const Entry rows[] = {
      {0, u8"下载安装统计信息", u8"下載安裝統計信息", u8"Download install-statistics"},
      {1, u8"下载前端依赖库", u8"下載前端依賴庫", u8"Download front-end dependency library"},
      {2, u8"下载服务依赖库", u8"下載服務依賴庫", u8"Download service dependency library"},
      {3, u8"下载配置文件", u8"下載配置文件", u8"Download configuration file"},
      {4, u8"下载运行库", u8"下載運行庫", u8"Download runtime library"},
      {5, u8"下载Quant运行库", u8"下載Quant運行庫", u8"Download Quant runtime library"},
      {6, u8"安装前端依赖库", u8"安裝前端依賴庫", u8"Install front-end dependency library"},
      {7, u8"安装服务依赖库", u8"安裝服務依賴庫", u8"Install service dependency library"},
      {8, u8"安装配置文件", u8"安裝配置文件", u8"Install configuration file"},
      {9, u8"安装运行库", u8"安裝運行庫", u8"Install runtime library"},
      {10, u8"安装Quant运行库", u8"安裝Quant運行庫", u8"Install Quant Runtime Library"},
      {11, u8"文件夹或文件被另一程序占用,安装", u8"文件夾或文件被另一程序占用,安裝",
       u8"The folder or file is occupied by another program,install"},
      {12, u8"删除安装文件", u8"刪除安裝文件", u8"Delete install files"},
      {13, u8"保存版本信息", u8"保存版本信息", u8"Save version information"},
      {14, u8"删除备份文件", u8"刪除備份文件", u8"Delete backup files"},
  };
  const int32_t ids[3] = {2052, 1028, 1033};
  for (const Entry& row : rows) {
    const char8_t* expected[3] = {row.chs, row.cht, row.enu};
    for (int lang = 0; lang < 3; ++lang) {
      SCOPED_TRACE(testing::Message() << "step " << row.index << " language " << ids[lang]);
      GetAppContext().languageId = ids[lang];
      EXPECT_EQ(std::wstring(StepText(row.index)), Wide(expected[lang]));
    }
  }
  // Entry 11 joins its halves with the ASCII comma and no space.
  GetAppContext().languageId = 2052;
  EXPECT_NE(std::wcschr(StepText(11), L','), nullptr);
  EXPECT_EQ(std::wcschr(StepText(11), 0xFF0C), nullptr);
}

TEST(Texts, UiTextsTheWindowShowsInAllThreeLanguages) {
  const Entry rows[] = {
      {0, u8"安装", u8"安裝", u8"Install"},
      {6, u8"失败", u8"失敗", u8" Fail"},
      {7, u8"打开", u8"打開", u8"Open"},
      {10, u8"安装中\uFF0C请稍后...", u8"安裝中\uFF0C請稍後...", u8"Installing, please wait..."},
  };
  const int32_t ids[3] = {2052, 1028, 1033};
  for (const Entry& row : rows) {
    const char8_t* expected[3] = {row.chs, row.cht, row.enu};
    for (int lang = 0; lang < 3; ++lang) {
      SCOPED_TRACE(testing::Message() << "ui " << row.index << " language " << ids[lang]);
      GetAppContext().languageId = ids[lang];
      EXPECT_EQ(std::wstring(UiText(row.index)), Wide(expected[lang]));
    }
  }
}

TEST(Texts, FailureTextIsStepNameThenSuffix) {
  struct Row {
    int32_t languageId;
    int step;
    const char8_t* expected;
  };
  const Row rows[] = {
      {1033, 11, u8"The folder or file is occupied by another program,install Fail"},
      {1033, 4, u8"Download runtime library Fail"},
      {2052, 4, u8"下载运行库失败"},
      {2052, 0, u8"下载安装统计信息失败"},
      {1028, 9, u8"安裝運行庫失敗"},
      {1028, 11, u8"文件夾或文件被另一程序占用,安裝失敗"},
      // The packages unpacked without the client executable.
      {1033, 15, u8"The packages lack the client program,install Fail"},
      {2052, 15, u8"安装包缺少客户端程序,安装失败"},
      {1028, 15, u8"安裝包缺少客戶端程式,安裝失敗"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.languageId);
    GetAppContext().languageId = row.languageId;
    EXPECT_EQ(std::wstring(StepText(row.step)) + UiText(6), Wide(row.expected));
  }
}

TEST(Texts, WindowLiteralsInAllThreeLanguages) {
  struct Row {
    int32_t languageId;
    const char8_t* path;
    const char8_t* browse;
    const char8_t* custom;
    const char8_t* browseTitle;
    const char8_t* caption;
    const char8_t* warning;
  };
  const Row rows[] = {
      {2052, u8"安装目录:", u8"浏览", u8"自定义安装 >", u8"浏览文件夹", u8"警告",
       u8"请注意，重新安装可能导致某些数据或设置丢失，请谨慎操作。是否继续？"},
      {1028, u8"安裝目錄:", u8"瀏覽", u8"自定義安裝 >", u8"瀏覽資料夾", u8"警告",
       u8"請注意，重新安裝可能導致某些數據或設定遺失，請謹慎操作。是否繼續？"},
      {1033, u8"Path:", u8"Browse", u8"Custom >", u8"Browse Folder", u8"Warn",
       u8"Please note that reinstalling may result in the loss of some data or settings, please "
       u8"proceed with caution. Do you want to continue?"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.languageId);
    GetAppContext().languageId = row.languageId;
    EXPECT_EQ(std::wstring(PathLabel()), Wide(row.path));
    EXPECT_EQ(std::wstring(BrowseLabel()), Wide(row.browse));
    EXPECT_EQ(std::wstring(CustomLabel()), Wide(row.custom));
    EXPECT_EQ(std::wstring(BrowseTitle()), Wide(row.browseTitle));
    EXPECT_EQ(std::wstring(WarnCaption()), Wide(row.caption));
    EXPECT_EQ(std::wstring(ReinstallWarning()), Wide(row.warning));
    // The start sequence asks with the same texts the window knows.
    EXPECT_EQ(WarnCaption(), ReinstallPromptFor(row.languageId).caption);
    EXPECT_EQ(ReinstallWarning(), ReinstallPromptFor(row.languageId).text);
  }
}

TEST(Texts, ResourceTextsFitTheBufferWithoutSplittingCharacters) {
  EXPECT_EQ(ResourceTextGbk(103), "201805");
  EXPECT_EQ(ResourceTextGbk(107), "");  // the program has no string 107

  const std::wstring zhong(200, L'\u4E2D');  // 400 bytes in GBK
  const std::string cut = FitGbk(zhong, 260);
  EXPECT_EQ(cut.size(), 258u);  // 129 whole characters, not 259 bytes
  std::string expected;
  for (int i = 0; i < 129; ++i) expected += "\xd6\xd0";  // GBK of U+4E2D
  EXPECT_EQ(cut, expected);
  const std::string odd = FitGbk(L"a" + zhong, 260);
  EXPECT_EQ(odd.size(), 259u);
  EXPECT_EQ(odd[0], 'a');
  EXPECT_EQ(FitGbk(L"NOLDAR", 260), "NOLDAR");
  EXPECT_EQ(FitGbk(L"NOLDAR", 4), "NOL");
}

TEST(DrawingResources, FontsAndBrushHaveTheSharedParameters) {
  CreateDrawingResources();
  const struct {
    HFONT font;
    LONG height;
  } fonts[] = {{Font18, 18}, {Font20, 20}, {Font22, 22}, {Font27, 27}};
  for (const auto& f : fonts) {
    SCOPED_TRACE(f.height);
    LOGFONTW lf{};
    ASSERT_EQ(GetObjectW(f.font, sizeof lf, &lf), static_cast<int>(sizeof lf));
    EXPECT_EQ(lf.lfHeight, f.height);
    EXPECT_EQ(lf.lfWidth, 0);
    EXPECT_EQ(lf.lfWeight, FW_DONTCARE);
    EXPECT_FALSE(lf.lfItalic || lf.lfUnderline || lf.lfStrikeOut);
    EXPECT_EQ(lf.lfCharSet, DEFAULT_CHARSET);
    EXPECT_EQ(lf.lfOutPrecision, OUT_OUTLINE_PRECIS);
    EXPECT_EQ(lf.lfClipPrecision, CLIP_DEFAULT_PRECIS);
    EXPECT_EQ(lf.lfQuality, CLEARTYPE_QUALITY);
    EXPECT_EQ(lf.lfPitchAndFamily, VARIABLE_PITCH);
    EXPECT_STREQ(lf.lfFaceName, L"Microsoft Yahei");
  }
  LOGBRUSH lb{};
  ASSERT_EQ(GetObjectW(WhiteBrush, sizeof lb, &lb), static_cast<int>(sizeof lb));
  EXPECT_EQ(lb.lbStyle, static_cast<UINT>(BS_SOLID));
  EXPECT_EQ(lb.lbColor, 0xFFFFFFu);
}

TEST(DrawingResources, RecreatingAndReleasingDeletesTheOldObjects) {
  CreateDrawingResources();
  const HGDIOBJ first[] = {WhiteBrush, Font18, Font20, Font22, Font27};
  CreateDrawingResources();
  for (HGDIOBJ old : first) EXPECT_EQ(GetObjectType(old), 0u);
  const HGDIOBJ second[] = {WhiteBrush, Font18, Font20, Font22, Font27};
  for (HGDIOBJ now : second) EXPECT_NE(GetObjectType(now), 0u);
  ReleaseDrawingResources();
  for (HGDIOBJ old : second) EXPECT_EQ(GetObjectType(old), 0u);
  EXPECT_EQ(WhiteBrush, nullptr);
  EXPECT_EQ(Font27, nullptr);
}

}  // namespace
