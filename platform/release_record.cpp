#include "platform/release_record.h"

#include <windows.h>
#include <sddl.h>

#include <cinttypes>
#include <cstdio>

#include "platform/handles.h"

namespace {

bool ParseRecord(const std::string& text, ReleaseRecord* record) {
  const size_t blank = text.find(' ');
  if (blank == std::string::npos || blank == 0 || blank > 18 || text.size() != blank + 1 + 64) return false;
  uint64_t serial = 0;
  for (size_t i = 0; i < blank; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    serial = serial * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  for (size_t i = blank + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  if (serial == 0) return false;
  record->serial = serial;
  record->sha256Hex = text.substr(blank + 1);
  return true;
}

}  // namespace

RecordRead ReadReleaseRecord(const std::string& line, ReleaseRecord* record) {
  win::RegKey key;
  const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kReleaseRecordKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                                    key.put());
  if (opened == ERROR_FILE_NOT_FOUND) return RecordRead::Absent;
  if (opened != ERROR_SUCCESS) return RecordRead::Unreadable;
  char data[128] = {};
  DWORD type = 0;
  DWORD size = sizeof data - 1;
  const LONG read = RegQueryValueExA(key.get(), line.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  if (read == ERROR_FILE_NOT_FOUND) return RecordRead::Absent;
  if (read != ERROR_SUCCESS || type != REG_SZ) return RecordRead::Unreadable;
  std::string text(data, size);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return ParseRecord(text, record) ? RecordRead::Found : RecordRead::Unreadable;
}

bool WriteReleaseRecord(const std::string& line, const ReleaseRecord& record) {
  // The key gets its own protected ACL, set on every write so that a key
  // made earlier by anyone is brought to it: SYSTEM and Administrators may
  // change it, everyone else only read it, whatever the parent passes on.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KR;;;BU)",
                                                            SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  win::RegKey key;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kReleaseRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_SET_VALUE | WRITE_DAC | KEY_WOW64_64KEY, &attributes, key.put(), nullptr);
  if (result == ERROR_SUCCESS)
    result = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               descriptor);
  LocalFree(descriptor);
  if (result != ERROR_SUCCESS) return false;
  char data[128] = {};
  const int length = std::snprintf(data, sizeof data, "%" PRIu64 " %s", record.serial, record.sha256Hex.c_str());
  if (length <= 0 || static_cast<size_t>(length) >= sizeof data) return false;
  return RegSetValueExA(key.get(), line.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                        static_cast<DWORD>(length + 1)) == ERROR_SUCCESS;
}

void DeleteReleaseRecord(const std::string& line) {
  win::RegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kReleaseRecordKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, key.put()) ==
      ERROR_SUCCESS)
    RegDeleteValueA(key.get(), line.c_str());
}
