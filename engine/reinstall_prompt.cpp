#include "engine/pipeline.h"

// The reinstall warning's texts, apart from the pipeline: the window shows
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
