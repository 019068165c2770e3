#include "platform/uninstall_entry.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/process_ops.h"
#include "platform/shortcut.h"
#include "platform/text.h"

namespace {

constexpr char kWowParent[] = "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr char kPlainParent[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// 8-bit values are formatted into 1024 bytes, UTF-16 values converted into
// 1024 units, terminators included.
constexpr size_t kValueBuffer = 1024;

void LogFailure(const char* what, LONG code) {
  char line[260] = {};
  std::snprintf(line, sizeof line, "Uninstall entry: %s, code %ld", what, code);
  WriteLog(line);
}

void LogTooLong(const char* valueName) {
  char line[260] = {};
  std::snprintf(line, sizeof line,
                "Uninstall entry: %s longer than 1023 bytes, not written; entry left incomplete",
                valueName);
  WriteLog(line);
}

// Writes one value through the 8-bit call; the data comes from formatting
// into the fixed buffer and must fit it whole.
bool SetNarrow(HKEY key, const char* name, const char* format, const char* a, const char* b) {
  char data[kValueBuffer] = {};
  const int length = std::snprintf(data, sizeof data, format, a, b);
  if (length < 0 || static_cast<size_t>(length) >= sizeof data) {
    LogTooLong(name);
    return false;
  }
  const LONG result = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                                     static_cast<DWORD>(length + 1));
  if (result != ERROR_SUCCESS) {
    LogFailure((std::string(name) + " Setvalue Failed").c_str(), result);
    return false;
  }
  return true;
}

// Writes one value through the UTF-16 call; no text is one that did not fit.
bool SetWide(HKEY key, const wchar_t* name, const char* nameForLog,
             const std::optional<std::wstring>& text) {
  if (!text || text->size() + 1 > kValueBuffer) {
    LogTooLong(nameForLog);
    return false;
  }
  const std::wstring& data = *text;
  const LONG result =
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  if (result != ERROR_SUCCESS) {
    LogFailure((std::string(nameForLog) + " Setvalue Failed").c_str(), result);
    return false;
  }
  return true;
}

// The program's own texts (code page 936) for the UTF-16 calls; none when
// the text does not fit the value buffer.
std::optional<std::wstring> WideOfGbk(const std::string& text) {
  std::wstring wide = WideFromCodePage(text, kGbkCodePage, kValueBuffer);
  if (wide.empty() && !text.empty()) return std::nullopt;
  return wide;
}

// The Publisher and Shortcut texts go through a 1024-byte buffer first and
// keep at most its first 1023 bytes.
std::string CutTo1023(const std::string& text) {
  return text.size() < kValueBuffer ? text : text.substr(0, kValueBuffer - 1);
}

// The Shortcut path cut like the 8-bit text it used to be: the GBK form of
// its first 1023 bytes, never half a character.
std::wstring CutTo1023(const std::wstring& text) {
  if (LogTextOfPath(text).size() < kValueBuffer) return text;
  std::wstring out;
  for (const wchar_t c : text) {
    if (LogTextOfPath(out + c).size() >= kValueBuffer) break;
    out += c;
  }
  return out;
}

}  // namespace

const char* UninstallParentKey(bool haveNativeInfo, WORD nativeArchitecture) {
  if (haveNativeInfo && (nativeArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                         nativeArchitecture == PROCESSOR_ARCHITECTURE_IA64))
    return kWowParent;
  return kPlainParent;
}

const char* UninstallParentKeyForThisSystem() {
  using NativeInfoProc = void(WINAPI*)(LPSYSTEM_INFO);
  HMODULE kernel = GetModuleHandleW(L"kernel32");
  auto nativeInfo = kernel == nullptr ? nullptr
                                      : reinterpret_cast<NativeInfoProc>(
                                            GetProcAddress(kernel, "GetNativeSystemInfo"));
  if (nativeInfo == nullptr) return UninstallParentKey(false, 0);
  SYSTEM_INFO info{};
  nativeInfo(&info);
  return UninstallParentKey(true, info.wProcessorArchitecture);
}

void RegisterUninstallEntry(const std::string& packageId, const std::string& displayName,
                            const std::string& installDir, const std::string& currentVersion) {
  const std::string displayText = displayName + "v9.5";

  win::RegKey parent;
  const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, UninstallParentKeyForThisSystem(), 0,
                                    KEY_SET_VALUE, parent.put());
  if (opened != ERROR_SUCCESS) {
    LogFailure("open uninstall parent key failed", opened);
    return;
  }
  const std::string entryName = "Kavimor_" + packageId + "v9.5";
  win::RegKey entry;
  const LONG created = RegCreateKeyA(parent.get(), entryName.c_str(), entry.put());
  if (created != ERROR_SUCCESS) {
    LogFailure(("create key " + entryName + " failed").c_str(), created);
    return;
  }

  // In this order; the first value that cannot be written ends the entry.
  // The install folder goes through the 8-bit call, which reads it in the
  // system's code page, the one it came in.
  if (!SetWide(entry.get(), L"DisplayName", "DisplayName", WideOfGbk(displayText))) return;
  if (!SetNarrow(entry.get(), "UninstallString", "%s\\uninstall.exe", installDir.c_str(), ""))
    return;
  if (!SetNarrow(entry.get(), "DisplayIcon", "%s\\%s", installDir.c_str(), kClientExeName))
    return;
  if (!SetNarrow(entry.get(), "DisplayVersion", "%s%s", currentVersion.c_str(), "")) return;
  if (!SetWide(entry.get(), L"Publisher", "Publisher", WideOfGbk(CutTo1023("Tavrel Information"))))
    return;
  SetWide(entry.get(), L"Shortcut", "Shortcut", CutTo1023(DesktopShortcutPath(displayName)));
  // The entry key closes before its parent: destruction runs in reverse.
}
