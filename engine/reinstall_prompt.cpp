#include "engine/pipeline.h"

#include <cstdio>
#include <cwchar>
#include <vector>

#include "engine/app_context.h"
#include "platform/install_log.h"
#include "platform/text.h"
#include "platform/unattended.h"

// The start sequence's prompts. The reinstall warning's texts live apart
// from the pipeline: the window shows
// the same caption and text (ui/texts.h) without needing the install steps.
ReinstallPrompt ReinstallPromptFor(int languageId) {
  if (languageId == 1033) {
    return {L"Please note that reinstalling may result in the loss of some data or settings, "
            L"please proceed with caution. Do you want to continue?",
            L"Warn"};
  }
  if (languageId == 1028) {
    return {L"\u8ACB\u6CE8\u610F\uFF0C\u91CD\u65B0\u5B89\u88DD\u53EF\u80FD\u5C0E\u81F4\u67D0"
            L"\u4E9B\u6578\u64DA\u6216\u8A2D\u5B9A\u907A\u5931\uFF0C\u8ACB\u8B39\u614E\u64CD"
            L"\u4F5C\u3002\u662F\u5426\u7E7C\u7E8C\uFF1F",
            L"\u8B66\u544A"};
  }
  return {L"\u8BF7\u6CE8\u610F\uFF0C\u91CD\u65B0\u5B89\u88C5\u53EF\u80FD\u5BFC\u81F4\u67D0"
          L"\u4E9B\u6570\u636E\u6216\u8BBE\u7F6E\u4E22\u5931\uFF0C\u8BF7\u8C28\u614E\u64CD"
          L"\u4F5C\u3002\u662F\u5426\u7EE7\u7EED\uFF1F",
          L"\u8B66\u544A"};
}

std::wstring UnrepresentableFolderMessage(int languageId, const std::wstring& folder,
                                         unsigned codePage) {
  const wchar_t* format =
      languageId == 1033
          ? L"The folder\n%ls\ncontains characters that the system's language for non-Unicode "
            L"programs (code page %u) cannot represent. The client cannot be installed there."
      : languageId == 1028
          ? L"\u8CC7\u6599\u593E\n%ls\n\u542B\u6709\u7CFB\u7D71\u975E Unicode \u7A0B\u5F0F"
            L"\u8A9E\u8A00\uFF08\u5B57\u78BC\u9801 %u\uFF09\u7121\u6CD5\u8868\u793A\u7684"
            L"\u5B57\u5143\uFF0C\u7121\u6CD5\u5B89\u88DD\u5230\u9019\u88E1\u3002"
          : L"\u6587\u4EF6\u5939\n%ls\n\u542B\u6709\u7CFB\u7EDF\u975E Unicode \u7A0B\u5E8F"
            L"\u8BED\u8A00\uFF08\u4EE3\u7801\u9875 %u\uFF09\u65E0\u6CD5\u8868\u793A\u7684"
            L"\u5B57\u7B26\uFF0C\u65E0\u6CD5\u5B89\u88C5\u5230\u8FD9\u91CC\u3002";
  std::vector<wchar_t> text(folder.size() + 1024, L'\0');
  std::swprintf(text.data(), text.size(), format, folder.c_str(), codePage);
  return text.data();
}

bool RefuseUnrepresentableProfile(const AppContext& ctx, HWND owner) {
  if (ctx.unrepresentableProfile.empty()) return false;
  const unsigned codePage = SystemCodePage();
  // '?' is never a file name character (nor a trail byte), so a log folder
  // without it is not in the unrepresentable profile.
  if (ctx.logDir.find('?') == std::string::npos) {
    OpenInstallLog(ctx.logDir);
    char line[2048] = {};
    std::snprintf(line, sizeof line, "User folder not representable in code page %u, not installed: %s",
                  codePage, LogTextOfPath(ctx.unrepresentableProfile).c_str());
    WriteLog(line);
    CloseInstallLog();
  }
  if (UnattendedRun()) return true;
  MessageBoxW(owner,
              UnrepresentableFolderMessage(ctx.languageId, ctx.unrepresentableProfile, codePage).c_str(),
              ReinstallPromptFor(ctx.languageId).caption, MB_OK | MB_ICONERROR);
  return true;
}
