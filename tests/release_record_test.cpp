// The installed-release record under HKEY_LOCAL_MACHINE: what reads back,
// which stored forms count as unreadable (and so refuse every release
// rather than forget the serial), and who may change the key.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <string>

#include "platform/handles.h"
#include "platform/release_record.h"

namespace {

// A value of its own per test process: the key is shared with the
// installations' records, the value name is not.
std::string TestLine() { return "release-record-test " + std::to_string(GetCurrentProcessId()); }

void SetRaw(const std::string& line, DWORD type, const std::string& data) {
  win::RegKey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kReleaseRecordKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, key.put()),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key.get(), line.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
}

TEST(ReleaseRecord, ReadsBackWhatWasWrittenAndNothingElse) {
  const std::string line = TestLine();
  const std::string digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  DeleteReleaseRecord(line);
  ReleaseRecord record;
  EXPECT_EQ(ReadReleaseRecord(line, &record), RecordRead::Absent);

  ASSERT_TRUE(WriteReleaseRecord(line, {999999999999999999u, digest}));
  ASSERT_EQ(ReadReleaseRecord(line, &record), RecordRead::Found);
  EXPECT_EQ(record.serial, 999999999999999999u);
  EXPECT_EQ(record.sha256Hex, digest);

  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const struct {
    const char* label;
    DWORD type;
    std::string data;  // REG_SZ with its terminator
  } forms[] = {
      {"empty", REG_SZ, std::string(1, '\0')},
      {"serial only", REG_SZ, std::string("5") + '\0'},
      {"serial 0", REG_SZ, "0 " + digest + '\0'},
      {"signed serial", REG_SZ, "-5 " + digest + '\0'},
      {"19-digit serial", REG_SZ, "1000000000000000000 " + digest + '\0'},
      {"two blanks", REG_SZ, "5  " + digest + '\0'},
      {"upper-case digest", REG_SZ, "5 " + upper + '\0'},
      {"short digest", REG_SZ, "5 " + digest.substr(1) + '\0'},
      {"trailing text", REG_SZ, "5 " + digest + "x" + '\0'},
      {"a number, not text", REG_DWORD, std::string("\x05\0\0\0", 4)},
  };
  for (const auto& form : forms) {
    SCOPED_TRACE(form.label);
    SetRaw(line, form.type, form.data);
    EXPECT_EQ(ReadReleaseRecord(line, &record), RecordRead::Unreadable);
  }
  DeleteReleaseRecord(line);
  EXPECT_EQ(ReadReleaseRecord(line, &record), RecordRead::Absent);
}

TEST(ReleaseRecord, OnlySystemAndAdministratorsMayChangeTheKey) {
  ASSERT_TRUE(WriteReleaseRecord(TestLine(), {1, std::string(64, 'a')}));
  DeleteReleaseRecord(TestLine());
  win::RegKey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kReleaseRecordKey, 0, READ_CONTROL | KEY_WOW64_64KEY, key.put()),
            ERROR_SUCCESS);
  DWORD size = 0;
  RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
  ASSERT_GT(size, 0u);
  std::string descriptor(size, '\0');
  ASSERT_EQ(RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.data(), &size), ERROR_SUCCESS);
  char* text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1,
                                                                   DACL_SECURITY_INFORMATION, &text, nullptr));
  const std::string sddl = text;
  LocalFree(text);
  // Protected (nothing inherited), full control for SYSTEM and
  // Administrators, read for users, and no one else.
  EXPECT_EQ(sddl, "D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KR;;;BU)");
}

}  // namespace
