#include "platform/trusted_folder.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "platform/handles.h"

namespace trusted {
namespace {

using win::LocalMemory;

std::string Code(const char* what, DWORD error) {
  char text[96];
  std::snprintf(text, sizeof text, "%s (error %lu)", what, static_cast<unsigned long>(error));
  return text;
}

bool IsAdministratorsOrSystem(PSID sid) {
  return sid != nullptr && IsValidSid(sid) &&
         (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid));
}

// The running process's user SID, read from its token.
class RunningUser {
 public:
  RunningUser() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return;
    win::UniqueHandle token(raw);
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), ::TokenUser, buffer_, sizeof buffer_, &size)) return;
    sid_ = reinterpret_cast<TOKEN_USER*>(buffer_)->User.Sid;
  }
  PSID sid() const { return sid_; }

 private:
  alignas(TOKEN_USER) unsigned char buffer_[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
  PSID sid_ = nullptr;
};

// Strips "\\?\" and one trailing backslash so two spellings of a folder compare.
std::wstring Plain(std::wstring path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool ProgramDataFolder(std::wstring& path, std::string& why) {
  PWSTR raw = nullptr;
  HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DONT_VERIFY, nullptr, &raw);
  if (FAILED(hr) || raw == nullptr) {
    CoTaskMemFree(raw);
    why = Code("the program-data folder is unknown", static_cast<DWORD>(hr));
    return false;
  }
  path = Plain(raw);
  CoTaskMemFree(raw);
  return true;
}

// Makes `path` with the trusted owner and DACL, or checks the one that is
// there. A folder just made is checked too: the owner comes from the token,
// and a system that ignored the descriptor must not be trusted blindly.
bool MakeOrCheck(const std::wstring& path, std::string& why) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kTrustedSddl, SDDL_REVISION_1, &raw,
                                                            nullptr)) {
    why = Code("the trusted security descriptor cannot be built", GetLastError());
    return false;
  }
  LocalMemory descriptor(raw);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, raw, FALSE};
  if (!CreateDirectoryW(path.c_str(), &attributes)) {
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
      why = Code("the trusted folder cannot be created", error);
      return false;
    }
  }
  return IsTrustedFolder(path, why);
}

}  // namespace

bool IsTrustedFolder(const std::wstring& path, std::string& why) {
  // Wine reports a folder that is a Unix symbolic link only through the
  // attributes read by path; Windows reports a junction or symbolic link
  // through the handle below as well, which also closes the race with a
  // folder swapped after this look.
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    why = Code("the trusted folder is missing", GetLastError());
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    why = "the trusted folder is not a real folder";
    return false;
  }
  win::UniqueHandle folder(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
  if (!folder) {
    why = Code("the trusted folder cannot be opened", GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(folder.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    why = "the trusted folder is not a real folder";
    return false;
  }
  // A junction higher up leads the name somewhere else.
  wchar_t final[MAX_PATH * 2];
  DWORD length = GetFinalPathNameByHandleW(folder.get(), final, MAX_PATH * 2, FILE_NAME_NORMALIZED);
  if (length > 0 && length < MAX_PATH * 2 && !SamePath(Plain(final), Plain(path))) {
    why = "the trusted folder's path leads elsewhere";
    return false;
  }

  PSECURITY_DESCRIPTOR raw = nullptr;
  DWORD error = GetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, nullptr, nullptr, &raw);
  if (error != ERROR_SUCCESS) {
    why = Code("the trusted folder's security cannot be read", error);
    return false;
  }
  LocalMemory descriptor(raw);
  return IsTrustedDescriptor(raw, FileSecurityDerivedFromUnixMode(), why);
}

bool FileSecurityDerivedFromUnixMode() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool IsTrustedDescriptor(void* raw, bool derivedFromUnixMode, std::string& why) {
  // Any right that changes the folder, its entries or its security.
  constexpr ACCESS_MASK kChanging = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                    FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                    WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
  RunningUser self;
  PSID runningUser = derivedFromUnixMode ? self.sid() : nullptr;
  auto trustedSid = [&](PSID sid) {
    return IsAdministratorsOrSystem(sid) || (runningUser != nullptr && EqualSid(sid, runningUser));
  };

  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(raw, &owner, &defaulted) || owner == nullptr || !trustedSid(owner)) {
    why = "the trusted folder's owner is not Administrators or SYSTEM";
    return false;
  }
  BOOL present = FALSE;
  PACL dacl = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted) || !present || dacl == nullptr ||
      !GetSecurityDescriptorControl(raw, &control, &revision) ||
      (!derivedFromUnixMode && (control & SE_DACL_PROTECTED) == 0)) {
    why = "the trusted folder's DACL is missing or inherited";
    return false;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) {
      why = Code("the trusted folder's DACL cannot be read", GetLastError());
      return false;
    }
    auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    bool allowed = false;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      auto* allow = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      PSID sid = &allow->SidStart;
      allowed = trustedSid(sid) || (derivedFromUnixMode && (allow->Mask & kChanging) == 0);
    }
    if (!allowed) {
      why = "the trusted folder's DACL grants access to others";
      return false;
    }
  }
  return true;
}

bool EnsureTrustedRoot(std::wstring& path, std::string& why) {
  std::wstring programData;
  if (!ProgramDataFolder(programData, why)) return false;
  std::wstring root = programData + L"\\Kavimor";
  if (!MakeOrCheck(root, why)) return false;
  path = root;
  return true;
}

bool EnsureTrustedFolder(const std::wstring& name, std::wstring& path, std::string& why) {
  if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos || name == L"." ||
      name == L"..") {
    why = "the trusted folder's name is not a plain name";
    return false;
  }
  std::wstring root;
  if (!EnsureTrustedRoot(root, why)) return false;
  std::wstring folder = root + L"\\" + name;
  if (!MakeOrCheck(folder, why)) return false;
  path = folder;
  return true;
}

std::wstring InstallStateName(const std::wstring& installDir) {
  wchar_t full[32768];
  DWORD length = GetFullPathNameW(installDir.c_str(), 32768, full, nullptr);
  std::wstring text = (length > 0 && length < 32768) ? std::wstring(full, length) : installDir;
  text = Plain(text);
  if (!text.empty()) {
    // Ordinal upper case, as the file system compares names.
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  }
  // FNV-1a over the UTF-16 units: a name, not a secret; the folder's own
  // DACL is what protects it.
  std::uint64_t hash = 14695981039346656037ull;
  for (wchar_t unit : text) {
    for (int shift = 0; shift < 16; shift += 8) {
      hash ^= static_cast<std::uint64_t>((static_cast<unsigned>(unit) >> shift) & 0xFF);
      hash *= 1099511628211ull;
    }
  }
  wchar_t name[24];
  std::swprintf(name, 24, L"i-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace trusted
