#include "engine/app_context.h"

#include <shlobj.h>
#include <wtsapi32.h>

#include <cstring>
#include <vector>

#include "platform/handles.h"
#include "platform/text.h"

AppContext& GetAppContext() {
  // Function-local static: constructed once, thread-safely, on first use;
  // destroyed at process exit.
  static AppContext context;
  return context;
}

std::string LoadResourceText(unsigned id) {
  char buffer[260] = {};
  LoadStringA(GetModuleHandleW(nullptr), id, buffer, sizeof buffer);
  return buffer;
}

void ReplaceProfileUser(std::wstring& path, const std::wstring& userName) {
  // An empty name would leave "C:\Users\\AppData\Local": keep the folder the
  // system reported instead.
  if (userName.empty()) return;
  const size_t first = path.find(L'\\');
  if (first == std::wstring::npos) return;
  const size_t second = path.find(L'\\', first + 1);
  if (second == std::wstring::npos) return;
  const size_t third = path.find(L'\\', second + 1);
  if (third == std::wstring::npos) return;
  path.replace(second + 1, third - second - 1, userName);
}

std::wstring QuerySessionUserName(DWORD sessionId) {
  wchar_t* name = nullptr;
  DWORD bytes = 0;
  std::wstring result;
  if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSUserName, &name, &bytes)) {
    if (name != nullptr) result = name;
    WTSFreeMemory(name);
  }
  return result;
}

namespace {

std::wstring ShellOwnerName() {
  DWORD pid = 0;
  const HWND shell = GetShellWindow();
  if (shell == nullptr || GetWindowThreadProcessId(shell, &pid) == 0) return {};
  win::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
  if (!process) return {};
  win::UniqueHandle token;
  if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return {};
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<unsigned char> buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  wchar_t name[260] = {};
  wchar_t domain[260] = {};
  DWORD nameLength = 260;
  DWORD domainLength = 260;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, user->User.Sid, name, &nameLength, domain, &domainLength, &use))
    return {};
  return name;
}

// The folder as the system names it; empty when it cannot be found.
std::wstring ReportedLocalAppData() {
  win::ComPtr<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.put()))) return {};
  LPITEMIDLIST items = nullptr;
  std::wstring reported;
  if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_LOCAL_APPDATA, &items))) {
    std::vector<wchar_t> path(32768, L'\0');
    if (SHGetPathFromIDListEx(items, path.data(), static_cast<DWORD>(path.size()), GPFIDL_DEFAULT))
      reported = path.data();
    allocator->Free(items);
  }
  return reported;
}

}  // namespace

std::wstring ConsoleUserName(SessionUserQuery querySession) {
  std::wstring name = querySession(WTS_CURRENT_SESSION);
  if (name.empty()) name = ShellOwnerName();
  return name;
}

std::optional<std::string> ProfileBaseIn(std::wstring reported, const std::wstring& userName,
                                         unsigned codePage) {
  // The folder belongs to the account the installer runs under, which after
  // elevation with other credentials is not the session's user.
  ReplaceProfileUser(reported, userName);
  return ExactlyInCodePage(reported, codePage);
}

bool GetConsoleUserLocalAppData(std::string& text, std::wstring* unrepresentable,
                                SessionUserQuery querySession) {
  // UTF-16 from the system on, so that the user's component is found by
  // characters; the 8-bit form is made once, at the end.
  std::wstring reported = ReportedLocalAppData();
  if (reported.empty()) return true;
  const std::wstring userName = ConsoleUserName(querySession);
  if (const auto base = ProfileBaseIn(reported, userName, SystemCodePage())) {
    text += *base;
    return true;
  }
  ReplaceProfileUser(reported, userName);
  text += NarrowToCodePage(reported, SystemCodePage(), 32768);
  if (unrepresentable != nullptr) *unrepresentable = reported;
  return false;
}

void ApplyDirectoryLayout(AppContext& ctx, const std::string& profileBase,
                          const std::string& resource107, const std::string& resource103) {
  ctx.installDir = profileBase;
  ctx.dependBaseDir = ctx.installDir + "\\" + "KavimorDependBaseV9.5";
  ctx.productFolderName = resource107.empty() ? std::string("Kavimor") : resource107;
  ctx.productFolderName += resource103;
  ctx.productFolderName += "v9.5";
  ctx.installDir += "\\" + ctx.productFolderName;
  ctx.logDir = ctx.installDir + "\\" + "kavimorlog";
  ctx.stagingDir = ctx.installDir + "temp";
}

void AppContext::InitDirectoryLayout() {
  std::string profileBase;
  unrepresentableProfile.clear();
  GetConsoleUserLocalAppData(profileBase, &unrepresentableProfile);
  ApplyDirectoryLayout(*this, profileBase, LoadResourceText(107), LoadResourceText(103));
}
