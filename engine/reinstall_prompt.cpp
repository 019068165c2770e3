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

namespace {

std::wstring WithFolder(const wchar_t* format, const std::wstring& folder) {
  std::vector<wchar_t> text(folder.size() + 1024, L'\0');
  std::swprintf(text.data(), text.size(), format, folder.c_str());
  return text.data();
}

}  // namespace

std::wstring UnsettledHandOverMessage(int languageId, const std::wstring& folder) {
  return WithFolder(
      languageId == 1033
          ? L"An earlier installation into\n%ls\nwas interrupted and could not yet be completed or undone. "
            L"Nothing was deleted. Close every program that uses this folder, then start the installer "
            L"again with this folder chosen; the install log names what is in the way."
      : languageId == 1028
          ? L"\u4E0A\u6B21\u5B89\u88DD\u5230\n%ls\n\u6642\u88AB\u4E2D\u65B7\uFF0C"
            L"\u5C1A\u672A\u80FD\u5B8C\u6210\u6216\u5FA9\u539F\u3002\u672A\u522A\u9664"
            L"\u4EFB\u4F55\u6A94\u6848\u3002\u8ACB\u95DC\u9589\u4F7F\u7528\u6B64\u8CC7"
            L"\u6599\u593E\u7684\u6240\u6709\u7A0B\u5F0F\u5F8C\u91CD\u65B0\u57F7\u884C\u5B89\u88DD\u7A0B\u5F0F\u4E26\u9078\u64C7\u6B64\u8CC7\u6599\u593E\uFF1B\u5B89\u88DD\u8A18\u9304\u4E2D\u5217\u51FA"
            L"\u4E86\u963B\u7919\u7684\u5167\u5BB9\u3002"
          : L"\u4E0A\u6B21\u5B89\u88C5\u5230\n%ls\n\u65F6\u88AB\u4E2D\u65AD\uFF0C"
            L"\u5C1A\u672A\u80FD\u5B8C\u6210\u6216\u64A4\u9500\u3002\u672A\u5220\u9664"
            L"\u4EFB\u4F55\u6587\u4EF6\u3002\u8BF7\u5173\u95ED\u4F7F\u7528\u6B64\u6587"
            L"\u4EF6\u5939\u7684\u6240\u6709\u7A0B\u5E8F\u540E\u91CD\u65B0\u8FD0\u884C\u5B89\u88C5\u7A0B\u5E8F\u5E76\u9009\u62E9\u6B64\u6587\u4EF6\u5939\uFF1B\u5B89\u88C5\u65E5\u5FD7\u4E2D\u5217\u51FA"
            L"\u4E86\u963B\u788D\u7684\u5185\u5BB9\u3002",
      folder);
}

std::wstring LinkedInstallFolderMessage(int languageId, const std::wstring& folder) {
  return WithFolder(
      languageId == 1033
          ? L"The install folder\n%ls\nis a link to another place (a junction, mount point or symbolic "
            L"link), or its log folder is. The installer does not install through links: choose a real folder."
      : languageId == 1028
          ? L"\u5B89\u88DD\u8CC7\u6599\u593E\n%ls\n\uFF08\u6216\u5176\u8A18\u9304\u8CC7"
            L"\u6599\u593E\uFF09\u662F\u6307\u5411\u5176\u4ED6\u4F4D\u7F6E\u7684\u9023"
            L"\u7D50\u3002\u5B89\u88DD\u7A0B\u5F0F\u4E0D\u6703\u900F\u904E\u9023\u7D50"
            L"\u5B89\u88DD\uFF0C\u8ACB\u9078\u64C7\u4E00\u500B\u771F\u5BE6\u7684\u8CC7"
            L"\u6599\u593E\u3002"
          : L"\u5B89\u88C5\u6587\u4EF6\u5939\n%ls\n\uFF08\u6216\u5176\u65E5\u5FD7\u6587"
            L"\u4EF6\u5939\uFF09\u662F\u6307\u5411\u5176\u4ED6\u4F4D\u7F6E\u7684\u94FE"
            L"\u63A5\u3002\u5B89\u88C5\u7A0B\u5E8F\u4E0D\u4F1A\u901A\u8FC7\u94FE\u63A5"
            L"\u5B89\u88C5\uFF0C\u8BF7\u9009\u62E9\u4E00\u4E2A\u771F\u5B9E\u7684\u6587"
            L"\u4EF6\u5939\u3002",
      folder);
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
