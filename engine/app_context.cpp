#include "engine/app_context.h"

#include <windows.h>
#include <shlobj.h>
#include <wtsapi32.h>

#include <cstring>
#include <vector>

#include "platform/handles.h"

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

void ReplaceProfileUser(std::string& path, const std::string& userName) {
  // An empty name would leave "C:\Users\\AppData\Local": keep the folder the
  // system reported instead.
  if (userName.empty()) return;
  const size_t first = path.find('\\');
  if (first == std::string::npos) return;
  const size_t second = path.find('\\', first + 1);
  if (second == std::string::npos) return;
  const size_t third = path.find('\\', second + 1);
  if (third == std::string::npos) return;
  path.replace(second + 1, third - second - 1, userName);
}

namespace {

std::string SessionUserName() {
  char* name = nullptr;
  DWORD bytes = 0;
  std::string result;
  if (WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, WTSGetActiveConsoleSessionId(),
                                  WTSUserName, &name, &bytes)) {
    if (name != nullptr) result = name;
    WTSFreeMemory(name);
  }
  return result;
}

std::string ShellOwnerName() {
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
  char name[260] = {};
  char domain[260] = {};
  DWORD nameLength = sizeof name;
  DWORD domainLength = sizeof domain;
  SID_NAME_USE use;
  if (!LookupAccountSidA(nullptr, user->User.Sid, name, &nameLength, domain, &domainLength, &use))
    return {};
  return name;
}

}  // namespace

std::string ConsoleUserName() {
  std::string name = SessionUserName();
  if (name.empty()) name = ShellOwnerName();
  return name;
}

void GetConsoleUserLocalAppData(std::string& text) {
  win::ComPtr<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.put()))) return;
  const size_t start = text.size();
  LPITEMIDLIST items = nullptr;
  if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_LOCAL_APPDATA, &items))) {
    std::vector<char> path(65536, '\0');
    if (SHGetPathFromIDListA(items, path.data())) text += path.data();
    allocator->Free(items);
  }
  // The folder belongs to the account the installer runs under, which after
  // elevation with other credentials is not the user at the console.
  std::string appended = text.substr(start);
  ReplaceProfileUser(appended, ConsoleUserName());
  text.replace(start, std::string::npos, appended);
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
  GetConsoleUserLocalAppData(profileBase);
  ApplyDirectoryLayout(*this, profileBase, LoadResourceText(107), LoadResourceText(103));
}
