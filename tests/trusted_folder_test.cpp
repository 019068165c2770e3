// The folders the elevated installer keeps its own state in: made with an
// administrators-only descriptor, and refused when someone else made or
// loosened them first, or put a link in their place.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <string>

#include "platform/trusted_folder.h"
#include "support/test_support.h"

namespace {

struct DescriptorRow {
  const wchar_t* sddl;
  bool trustedOnWindows;
  bool trustedUnderWine;  // descriptors derived from Unix modes
};

// "RU" stands for the running user (the Unix owner under Wine).
std::wstring WithRunningUser(std::wstring sddl) {
  HANDLE raw = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw);
  unsigned char buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
  DWORD size = 0;
  GetTokenInformation(raw, TokenUser, buffer, sizeof buffer, &size);
  CloseHandle(raw);
  LPWSTR text = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
  std::wstring sid = text;
  LocalFree(text);
  for (size_t at; (at = sddl.find(L";RU)")) != std::wstring::npos;) sddl.replace(at + 1, 2, sid);
  if (sddl.rfind(L"O:RU", 0) == 0) sddl.replace(2, 2, sid);
  return sddl;
}

TEST(TrustedFolder, DescriptorRules) {
  const DescriptorRow rows[] = {
      {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true, true},
      {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true, true},
      // A deny entry takes nothing away from the owners' control.
      {L"O:BAD:P(D;;FA;;;BU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true, true},
      // Made by a user first, or owned by one: the owner may rewrite the DACL.
      {L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, false},
      {L"O:RUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;RU)", false, true},
      // Inherited from the parent, where users may create (Wine derives every
      // descriptor from a mode and never marks one protected).
      {L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, true},
      // Others may write, or only read.
      {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", false, false},
      {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)", false, true},
      {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)", false, false},
      // No DACL at all grants everyone everything.
      {L"O:BA", false, false},
  };
  for (const DescriptorRow& row : rows) {
    std::wstring sddl = WithRunningUser(row.sddl);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr))
        << std::string(sddl.begin(), sddl.end());
    std::string why;
    EXPECT_EQ(trusted::IsTrustedDescriptor(descriptor, false, why), row.trustedOnWindows)
        << std::string(sddl.begin(), sddl.end()) << " " << why;
    EXPECT_EQ(trusted::IsTrustedDescriptor(descriptor, true, why), row.trustedUnderWine)
        << std::string(sddl.begin(), sddl.end()) << " " << why;
    LocalFree(descriptor);
  }
}

TEST(TrustedFolder, MadeOnceThenCheckedAndHostileFoldersRefused) {
  // Process ids come back: a folder an interrupted run left (still open to
  // all, say) must not meet a later run.
  std::wstring name =
      L"test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
  std::wstring folder;
  std::string why;
  ASSERT_TRUE(trusted::EnsureTrustedFolder(name, folder, why)) << why;
  EXPECT_TRUE(trusted::EnsureTrustedFolder(name, folder, why)) << why;
  EXPECT_EQ(folder.substr(folder.size() - name.size()), name);

  // A link in place of a trusted folder, to a folder a user controls.
  testing_support::ScratchDir user("trusted_link_target");
  std::wstring linked = folder + L"-link";
  ASSERT_TRUE(testing_support::MakeUnixSymlink(std::wstring(user.path().begin(), user.path().end()),
                                               linked));
  std::wstring linkName = name + L"-link";
  std::wstring got;
  EXPECT_FALSE(trusted::EnsureTrustedFolder(linkName, got, why));
  EXPECT_NE(why.find("not a real folder"), std::string::npos) << why;
  EXPECT_TRUE(testing_support::RemoveUnixSymlink(linked));

  // A folder others may write to (under Wine: a Unix mode open to all).
  if (trusted::FileSecurityDerivedFromUnixMode()) {
    ASSERT_TRUE(testing_support::SetUnixMode(folder, "0777"));
    EXPECT_FALSE(trusted::IsTrustedFolder(folder, why));
    EXPECT_NE(why.find("grants access to others"), std::string::npos) << why;
    ASSERT_TRUE(testing_support::SetUnixMode(folder, "0755"));
    EXPECT_TRUE(trusted::IsTrustedFolder(folder, why)) << why;
  }

  // Names that would leave the trusted root.
  for (const wchar_t* bad : {L"", L"..", L"a\\b", L"a/b", L"C:x"}) {
    EXPECT_FALSE(trusted::EnsureTrustedFolder(bad, got, why));
  }
  RemoveDirectoryW(folder.c_str());
}

TEST(TrustedFolder, StateNameFollowsTheFolderNotItsSpelling) {
  EXPECT_EQ(trusted::InstallStateName(L"C:\\Users\\a\\AppData\\Local\\Kavimor"),
            trusted::InstallStateName(L"c:\\users\\A\\appdata\\local\\kavimor\\"));
  EXPECT_NE(trusted::InstallStateName(L"C:\\Users\\a\\AppData\\Local\\Kavimor"),
            trusted::InstallStateName(L"C:\\Users\\b\\AppData\\Local\\Kavimor"));
  EXPECT_EQ(trusted::InstallStateName(L"C:\\x").size(), 18u);
}

}  // namespace
