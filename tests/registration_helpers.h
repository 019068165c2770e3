#pragma once
// Reading back what the registrations left in the registry and the log.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/app_context.h"
#include "platform/install_log.h"
#include "platform/shortcut.h"
#include "platform/text.h"
#include "platform/uninstall_entry.h"
#include "platform/url_protocol.h"
#include "support/test_support.h"

namespace registration_test {

// A value as stored: its type and its bytes, terminator included.
struct StoredValue {
  bool present = false;
  DWORD type = REG_NONE;
  std::string bytes;
};

// Reads through the 8-bit call (data in the ANSI code page).
inline StoredValue ReadNarrow(HKEY root, const std::string& key, const char* name,
                              REGSAM view = 0) {
  StoredValue value;
  HKEY handle = nullptr;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_QUERY_VALUE | view, &handle) != ERROR_SUCCESS)
    return value;
  DWORD size = 0;
  if (RegQueryValueExA(handle, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
    value.bytes.resize(size);
    RegQueryValueExA(handle, name, nullptr, &value.type,
                     reinterpret_cast<BYTE*>(value.bytes.data()), &size);
    value.bytes.resize(size);
    value.present = true;
  }
  RegCloseKey(handle);
  return value;
}

// Reads through the UTF-16 call.
inline StoredValue ReadWide(HKEY root, const std::wstring& key, const wchar_t* name,
                            REGSAM view = 0) {
  StoredValue value;
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | view, &handle) != ERROR_SUCCESS)
    return value;
  DWORD size = 0;
  if (RegQueryValueExW(handle, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
    value.bytes.resize(size);
    RegQueryValueExW(handle, name, nullptr, &value.type,
                     reinterpret_cast<BYTE*>(value.bytes.data()), &size);
    value.bytes.resize(size);
    value.present = true;
  }
  RegCloseKey(handle);
  return value;
}

inline bool KeyExists(HKEY root, const std::string& key, REGSAM view = 0) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS)
    return false;
  RegCloseKey(handle);
  return true;
}

// The bytes a REG_SZ holds for 8-bit text: the text and one NUL.
inline std::string NarrowBytes(const std::string& text) { return text + std::string(1, '\0'); }

// The bytes a REG_SZ holds for UTF-16 text: the units and a two-byte NUL.
inline std::string WideBytes(const std::wstring& text) {
  std::string bytes(reinterpret_cast<const char*>(text.c_str()),
                    (text.size() + 1) * sizeof(wchar_t));
  return bytes;
}

// A name no other test process uses at the same time.
inline std::string UniqueId(const char* tag) {
  char id[64];
  std::snprintf(id, sizeof id, "%s%lu", tag, GetCurrentProcessId());
  return id;
}

// The registrations with the context's values, as the finalisation passes
// them.
inline void RegisterUninstallEntryOfContext() {
  const AppContext& ctx = GetAppContext();
  RegisterUninstallEntry(ctx.packageId, ctx.displayName, ctx.installDir, ctx.currentVersion);
}
inline void RegisterUrlProtocolOfContext() {
  RegisterUrlProtocol(GetAppContext().packageId, GetAppContext().installDir);
}
inline bool CreateDesktopShortcutOfContext() {
  const AppContext& ctx = GetAppContext();
  return CreateDesktopShortcut(ctx.installDir, ctx.displayName, ctx.packageId);
}
// The shortcut of a display name as 8-bit text of the system's code page,
// for the 8-bit file calls of the tests.
inline std::string ShortcutPathOf(const std::string& displayName) {
  return NarrowToCodePage(DesktopShortcutPath(displayName), CP_ACP, 32768);
}

// An install log of its own in `logDir`, read back as texts on Finish.
class LogCapture {
 public:
  explicit LogCapture(const std::string& logDir) : logDir_(logDir) {
    GetAppContext().logDir = logDir;
    OpenInstallLog(GetAppContext().logDir);
  }
  ~LogCapture() { CloseInstallLog(); }
  std::vector<std::string> Finish() {
    CloseInstallLog();
    return testing_support::LogTexts(logDir_);
  }

 private:
  std::string logDir_;
};

// Removes what a whole installation of package 201805 registers: the
// desktop shortcut, the URL scheme and the uninstall entry.
inline void RemoveInstallRegistrations() {
  DeleteFileW(DesktopShortcutPath(GetAppContext().displayName).c_str());
  RegDeleteTreeA(HKEY_CLASSES_ROOT, "Kavimor201805");
  RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                 "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                 "Kavimor_201805v9.5");
}

}  // namespace registration_test
