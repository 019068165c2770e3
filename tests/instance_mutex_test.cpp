// The machine-wide single-instance mutex, with the name taken first by
// someone else in every way a user could: another object type, a mutex the
// user owns and opened to all, one that shuts administrators out.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/handles.h"
#include "platform/instance_mutex.h"
#include "support/test_support.h"

namespace {

using instance::Claim;

std::wstring UniqueName(int row) {
  return L"Global\\KavimorInstanceTest_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(row);
}

// The running user's SID as SDDL text: what a standard user's objects are
// owned by.
std::wstring UserSidText() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  win::UniqueHandle token(raw);
  alignas(TOKEN_USER) unsigned char buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return {};
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return {};
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

HANDLE MutexWith(const std::wstring& sddl, const std::wstring& name) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return nullptr;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE mutex = CreateMutexW(&attributes, FALSE, name.c_str());
  LocalFree(descriptor);
  return mutex;
}

TEST(InstanceMutex, ASquatterNeitherStopsTheInstallerNorPassesForOne) {
  const std::wstring user = UserSidText();
  ASSERT_FALSE(user.empty());
  struct Row {
    const char* label;
    std::function<HANDLE(const std::wstring&)> plant;  // null: nothing planted
    Claim expected;
  } const rows[] = {
      {"nothing there", nullptr, Claim::First},
      {"an installer's mutex",
       [](const std::wstring& name) {
         win::UniqueHandle held;
         return instance::ClaimInstanceName(name.c_str(), held) == Claim::First ? held.release() : nullptr;
       },
       Claim::AnotherRunning},
      {"an event of that name",
       [](const std::wstring& name) { return CreateEventW(nullptr, TRUE, FALSE, name.c_str()); }, Claim::Squatted},
      {"a semaphore of that name",
       [](const std::wstring& name) { return CreateSemaphoreW(nullptr, 1, 1, name.c_str()); }, Claim::Squatted},
      {"a mutex the user owns, open to everyone",
       [&](const std::wstring& name) { return MutexWith(L"O:" + user + L"D:(A;;GA;;;WD)", name); },
       Claim::Squatted},
      {"a mutex the user owns that shuts everyone out",
       [&](const std::wstring& name) { return MutexWith(L"O:" + user + L"D:P(D;;GA;;;WD)", name); },
       Claim::Squatted},
  };
  int index = 0;
  for (const Row& row : rows) {
    const std::wstring name = UniqueName(++index);
    win::UniqueHandle planted(row.plant ? row.plant(name) : nullptr);
    if (row.plant) {
      ASSERT_TRUE(planted) << row.label;
    }
    win::UniqueHandle held;
    EXPECT_EQ(instance::ClaimInstanceName(name.c_str(), held), row.expected) << row.label;
    EXPECT_EQ(static_cast<bool>(held), row.expected == Claim::First) << row.label;
  }
}

TEST(InstanceMutex, MadeOwnedByAdministratorsWithOnlySynchronizeForOthers) {
  win::UniqueHandle held;
  ASSERT_EQ(instance::ClaimInstanceName(UniqueName(100).c_str(), held), Claim::First);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(held.get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  ASSERT_NE(dacl, nullptr);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "nothing inherited";
  int everyone = 0, privileged = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    PSID sid = &ace->SidStart;
    if (IsWellKnownSid(sid, WinWorldSid)) {
      ++everyone;
      EXPECT_EQ(ace->Mask, static_cast<DWORD>(SYNCHRONIZE));
    } else {
      EXPECT_TRUE(IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid));
      ++privileged;
    }
  }
  LocalFree(descriptor);
  EXPECT_EQ(everyone, 1);
  EXPECT_EQ(privileged, 2);
}

// A program the wait gave up on does not outlive the wait.
TEST(TestSupport, AWaitThatTimesOutEndsTheProgram) {
  testing_support::ScratchDir dir("wait_ends");
  const std::string client = testing_support::InstallStandInClient(dir.path());
  HANDLE process = testing_support::StartProgram(client, "", dir.path());
  ASSERT_NE(process, nullptr);
  DWORD code = 0;
  EXPECT_FALSE(testing_support::WaitForProgram(process, 300, &code));
  EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "still running";
  CloseHandle(process);
}

}  // namespace
