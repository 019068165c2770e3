#include "ui/texts.h"

#include "engine/app_context.h"
#include "engine/pipeline.h"
#include "platform/text.h"

// The tables are UTF-16 in static data, one array per language, so that a
// step number or failure code posted by the worker indexes them directly.
// This file is UTF-8; the compiler turns the wide literals into UTF-16.

const wchar_t StepTexts[3][kStepTextCount][kTextEntryUnits] = {
    {  // simplified Chinese
        L"下载安装统计信息",  // 0
        L"下载前端依赖库",  // 1
        L"下载服务依赖库",  // 2
        L"下载配置文件",  // 3
        L"下载运行库",  // 4
        L"下载Quant运行库",  // 5
        L"安装前端依赖库",  // 6
        L"安装服务依赖库",  // 7
        L"安装配置文件",  // 8
        L"安装运行库",  // 9
        L"安装Quant运行库",  // 10
        L"文件夹或文件被另一程序占用,安装",  // 11
        L"删除安装文件",  // 12
        L"保存版本信息",  // 13
        L"删除备份文件",  // 14
        L"安装包缺少客户端程序,安装",  // 15
        L"发布版本早于已安装的版本,安装",  // 16
        L"发布内容与已安装的同号版本不符,安装",  // 17
        L"发布版本已过期,安装",  // 18
        L"旧版本未能完全恢复,下次启动时继续恢复,安装",  // 19
    },
    {  // traditional Chinese
        L"下載安裝統計信息",  // 0
        L"下載前端依賴庫",  // 1
        L"下載服務依賴庫",  // 2
        L"下載配置文件",  // 3
        L"下載運行庫",  // 4
        L"下載Quant運行庫",  // 5
        L"安裝前端依賴庫",  // 6
        L"安裝服務依賴庫",  // 7
        L"安裝配置文件",  // 8
        L"安裝運行庫",  // 9
        L"安裝Quant運行庫",  // 10
        L"文件夾或文件被另一程序占用,安裝",  // 11
        L"刪除安裝文件",  // 12
        L"保存版本信息",  // 13
        L"刪除備份文件",  // 14
        L"安裝包缺少客戶端程式,安裝",  // 15
        L"發布版本早於已安裝的版本,安裝",  // 16
        L"發布內容與已安裝的同號版本不符,安裝",  // 17
        L"發布版本已過期,安裝",  // 18
        L"舊版本未能完全恢復,下次啟動時繼續恢復,安裝",  // 19
    },
    {  // English
        L"Download install-statistics",  // 0
        L"Download front-end dependency library",  // 1
        L"Download service dependency library",  // 2
        L"Download configuration file",  // 3
        L"Download runtime library",  // 4
        L"Download Quant runtime library",  // 5
        L"Install front-end dependency library",  // 6
        L"Install service dependency library",  // 7
        L"Install configuration file",  // 8
        L"Install runtime library",  // 9
        L"Install Quant Runtime Library",  // 10
        L"The folder or file is occupied by another program,install",  // 11
        L"Delete install files",  // 12
        L"Save version information",  // 13
        L"Delete backup files",  // 14
        L"The packages lack the client program,install",  // 15
        L"The release is older than the installed one,install",  // 16
        L"The release differs from the installed one of the same serial,install",  // 17
        L"The release has expired,install",  // 18
        L"Old version partly restored, the next start completes it. Install",  // 19
    },
};

const wchar_t UiTexts[3][kUiTextCount][kTextEntryUnits] = {
    {  // simplified Chinese
        L"安装",  // 0
        L"服务器连接断开",  // 1
        L"已经是最新版本",  // 2
        L"安装成功",  // 3
        L"卡维",  // 4
        L"安装成功",  // 5
        L"失败",  // 6
        L"打开",  // 7
        L"错误码:",  // 8
        L"正在更新文件...",  // 9
        L"安装中，请稍后...",  // 10
    },
    {  // traditional Chinese
        L"安裝",  // 0
        L"服務器連接斷開",  // 1
        L"已經是最新版本",  // 2
        L"安裝成功",  // 3
        L"卡維",  // 4
        L"安裝成功",  // 5
        L"失敗",  // 6
        L"打開",  // 7
        L"錯誤碼:",  // 8
        L"正在更新文件...",  // 9
        L"安裝中，請稍後...",  // 10
    },
    {  // English
        L"Install",  // 0
        L"Server Link Fail",  // 1
        L"The Local is latest version",  // 2
        L"Install Success",  // 3
        L"Kavimor",  // 4
        L"Install Success",  // 5
        L" Fail",  // 6
        L"Open",  // 7
        L"Error Code:",  // 8
        L"Updating file...",  // 9
        L"Installing, please wait...",  // 10
    },
};

HBRUSH WhiteBrush = nullptr;
HFONT Font18 = nullptr;
HFONT Font20 = nullptr;
HFONT Font22 = nullptr;
HFONT Font27 = nullptr;

namespace {

// Uses the current language, read at every call: the worker and the window
// look texts up long after start-up, and tests switch languages.
TextLanguage CurrentLanguage() { return TextLanguageOf(GetAppContext().languageId); }

template <typename T>
const T& Pick(const T (&set)[3]) {
  return set[CurrentLanguage()];
}

HFONT CreateSharedFont(int height) {
  // Positive height: a cell height in pixels. The same face at every size so
  // that the window's lines share one look; Windows substitutes a face when
  // "Microsoft Yahei" is missing.
  return CreateFontW(height, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_OUTLINE_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH,
                     L"Microsoft Yahei");
}

template <typename H>
void DeleteShared(H& handle) {
  if (handle != nullptr) DeleteObject(handle);
  handle = nullptr;
}

}  // namespace

TextLanguage TextLanguageOf(int32_t languageId) {
  if (languageId == 1033) return kEnglish;
  if (languageId == 1028) return kTraditionalChinese;
  return kSimplifiedChinese;
}

const wchar_t* StepText(int index) { return StepTexts[CurrentLanguage()][index]; }
const wchar_t* UiText(int index) { return UiTexts[CurrentLanguage()][index]; }

const wchar_t* PathLabel() {
  static const wchar_t* const texts[3] = {L"安装目录:", L"安裝目錄:", L"Path:"};
  return Pick(texts);
}

const wchar_t* BrowseLabel() {
  static const wchar_t* const texts[3] = {L"浏览", L"瀏覽", L"Browse"};
  return Pick(texts);
}

const wchar_t* CustomLabel() {
  static const wchar_t* const texts[3] = {L"自定义安装 >", L"自定義安裝 >", L"Custom >"};
  return Pick(texts);
}

const wchar_t* BrowseTitle() {
  // UTF-16 for the picker's UTF-16 interface: an 8-bit title would be read
  // in the system's code page and garbled outside mainland China.
  static const wchar_t* const texts[3] = {L"浏览文件夹", L"瀏覽資料夾", L"Browse Folder"};
  return Pick(texts);
}

// The reinstall warning is asked by the start sequence; its texts live there
// and the window reads the same ones.
const wchar_t* WarnCaption() { return ReinstallPromptFor(GetAppContext().languageId).caption; }
const wchar_t* ReinstallWarning() { return ReinstallPromptFor(GetAppContext().languageId).text; }

const wchar_t* EndInstallQuestion() {
  static const wchar_t* const texts[3] = {
      L"安装尚未完成。现在结束，已下载的内容将不会安装。确定要结束安装吗？",
      L"安裝尚未完成。現在結束，已下載的內容將不會安裝。確定要結束安裝嗎？",
      L"The installation has not finished. If you end it now, nothing more will be installed. "
      L"Do you want to end the installation?"};
  return Pick(texts);
}

const wchar_t* ProxyAuthenticationFailure() {
  static const wchar_t* const texts[3] = {L"代理服务器要求身份验证，安装失败",
                                          L"代理伺服器要求身分驗證，安裝失敗",
                                          L"The proxy server requires authentication. Install Fail"};
  return Pick(texts);
}

const wchar_t* WindowAccessibleName() {
  static const wchar_t* const texts[3] = {L"卡维安装程序", L"卡維安裝程式", L"Kavimor Setup"};
  return Pick(texts);
}

const wchar_t* CustomAccessibleName() {
  static const wchar_t* const texts[3] = {L"自定义安装", L"自定義安裝", L"Custom"};
  return Pick(texts);
}

void CreateDrawingResources() {
  ReleaseDrawingResources();
  WhiteBrush = CreateSolidBrush(RGB(255, 255, 255));
  Font18 = CreateSharedFont(18);
  Font20 = CreateSharedFont(20);
  Font22 = CreateSharedFont(22);
  Font27 = CreateSharedFont(27);
}

void ReleaseDrawingResources() {
  DeleteShared(WhiteBrush);
  DeleteShared(Font18);
  DeleteShared(Font20);
  DeleteShared(Font22);
  DeleteShared(Font27);
}

std::string FitGbk(std::wstring_view text, size_t capacity) {
  if (capacity == 0) return {};
  // Whole characters only: a cut inside a double-byte character (or between
  // the halves of a surrogate pair) would leave a broken last character.
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t units = 1;
    if (IS_HIGH_SURROGATE(text[i]) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1])) units = 2;
    const std::string piece = NarrowToCodePage(text.substr(i, units), kGbkCodePage, 8);
    if (out.size() + piece.size() + 1 > capacity) break;
    out += piece;
    i += units;
  }
  return out;
}

std::string ResourceTextGbk(unsigned id) {
  // Read as UTF-16 and convert to GBK ourselves: the 8-bit LoadStringA would
  // convert with the system's ANSI code page, which is 936 only on mainland
  // systems (950 in Taiwan and Hong Kong, 1252 on an English one).
  wchar_t buffer[260] = {};
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, buffer, 260);
  if (length <= 0) return {};
  return FitGbk(std::wstring_view(buffer, static_cast<size_t>(length)), 260);
}

void ApplyLanguage(LANGID uiLanguage) {
  AppContext& ctx = GetAppContext();
  ctx.packageId = ResourceTextGbk(103);

  // Hong Kong reads traditional Chinese like Taiwan.
  ctx.languageId = uiLanguage == 3076 ? 1028 : uiLanguage;

  unsigned nameId = 104;
  switch (TextLanguageOf(ctx.languageId)) {
    case kTraditionalChinese:
      nameId = 105;
      ctx.languageCode = "CHT";
      break;
    case kEnglish:
      nameId = 106;
      ctx.languageCode = "ENU";
      break;
    case kSimplifiedChinese:
      nameId = 104;
      ctx.languageCode = "CHS";
      break;
  }
  ctx.displayName = ResourceTextGbk(nameId);
}

void InitLanguageAndResources() {
  CreateDrawingResources();
  ApplyLanguage(GetUserDefaultUILanguage());
}
