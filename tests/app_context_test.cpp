// The default folder layout and the console user's profile folder.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <wtsapi32.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/app_context.h"
#include "engine/pipeline.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace {

struct UserCase {
  const wchar_t* reported;
  const wchar_t* user;
  const wchar_t* expected;
};

TEST(ReplaceProfileUser, PutsTheSessionUserBetweenTheSecondAndThirdBackslash) {
  const UserCase cases[] = {
      // Elevated under another account: the session user's folder.
      {L"C:\\Users\\admin\\AppData\\Local", L"alice", L"C:\\Users\\alice\\AppData\\Local"},
      // A profile folder named other than its account names the account.
      {L"C:\\Users\\alice.CORP\\AppData\\Local", L"alice", L"C:\\Users\\alice\\AppData\\Local"},
      {L"C:\\Users\\bob\\AppData\\Local", L"bob", L"C:\\Users\\bob\\AppData\\Local"},
      // Names whose GBK, Big5 or Shift-JIS form ends in the backslash byte
      // are one component.
      {L"C:\\Users\\\u4E57abc\\AppData\\Local", L"\u4E57abc", L"C:\\Users\\\u4E57abc\\AppData\\Local"},
      {L"C:\\Users\\admin\\AppData\\Local", L"\u8A31", L"C:\\Users\\\u8A31\\AppData\\Local"},
      // Fewer than three backslashes: unchanged.
      {L"C:\\Users\\bob", L"alice", L"C:\\Users\\bob"},
      {L"C:\\Users", L"alice", L"C:\\Users"},
      {L"", L"alice", L""},
      // No name found: the folder the system reported, not "C:\Users\\...".
      {L"C:\\Users\\admin\\AppData\\Local", L"", L"C:\\Users\\admin\\AppData\\Local"},
  };
  for (const auto& c : cases) {
    std::wstring path = c.reported;
    ReplaceProfileUser(path, c.user);
    EXPECT_EQ(path, c.expected) << testing::PrintToString(std::wstring(c.reported));
  }
}

// The profile base in the system's code page: the user's name whole (the
// old byte-wise scan cut 乗abc at its 0x5C byte), or nothing at all when the
// code page lacks one of its characters.
TEST(ProfileBase, IsTheSessionUsersFolderInTheSystemsCodePageOrNothing) {
  struct Case {
    unsigned codePage;
    const wchar_t* user;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {936, L"\u4E57abc", "C:\\Users\\\x81\x5C" "abc\\AppData\\Local"},
      {936, L"\u9648", "C:\\Users\\\xB3\xC2\\AppData\\Local"},
      {950, L"\u8A31", "C:\\Users\\\xB3\x5C\\AppData\\Local"},
      {950, L"\u529F", "C:\\Users\\\xA5\x5C\\AppData\\Local"},
      {932, L"\u30BD", "C:\\Users\\\x83\x5C\\AppData\\Local"},
      {932, L"alice", "C:\\Users\\alice\\AppData\\Local"},
      // 陈 (simplified) is neither Big5 nor Shift-JIS; Hangul is not GBK.
      {950, L"\u9648", std::nullopt},
      {932, L"\u9648", std::nullopt},
      {936, L"\uAE40", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    EXPECT_EQ(ProfileBaseIn(L"C:\\Users\\admin\\AppData\\Local", c.user, c.codePage), c.expected);
  }
}

// The name comes from the session the installer runs in, whatever session
// sits at the console; without one, from the owner of the desktop shell.
std::vector<DWORD> queriedSessions;
std::wstring SessionOfRemoteUser(DWORD session) {
  queriedSessions.push_back(session);
  return L"\u8A31remote";
}
std::wstring NoSessionUser(DWORD session) {
  queriedSessions.push_back(session);
  return L"";
}

TEST(ConsoleUserName, AsksForTheInstallersOwnSessionThenTheShellOwner) {
  queriedSessions.clear();
  EXPECT_EQ(ConsoleUserName(SessionOfRemoteUser), L"\u8A31remote");
  EXPECT_EQ(queriedSessions, std::vector<DWORD>{WTS_CURRENT_SESSION});

  // Without a session user the shell's owner answers (Wine's test desktop
  // may have no shell window; the query still went to the own session).
  queriedSessions.clear();
  const std::wstring owner = ConsoleUserName(NoSessionUser);
  EXPECT_EQ(queriedSessions, std::vector<DWORD>{WTS_CURRENT_SESSION});
  EXPECT_NE(owner, L"\u8A31remote");

  // The layout follows the queried name.
  std::string base;
  std::wstring unrepresentable;
  ASSERT_TRUE(GetConsoleUserLocalAppData(base, &unrepresentable, SessionOfRemoteUser));
  EXPECT_TRUE(unrepresentable.empty());
  EXPECT_NE(base.find("\\" + NarrowToCodePage(L"\u8A31remote", CP_ACP, 64) + "\\"), std::string::npos)
      << base;
}

TEST(ConsoleUserName, ANameTheSystemsCodePageLacksIsReportedNotRenamed) {
  // Hangul is in none of the Chinese or Japanese code pages.
  std::string base = "kept";
  std::wstring unrepresentable;
  EXPECT_FALSE(GetConsoleUserLocalAppData(base, &unrepresentable,
                                          [](DWORD) { return std::wstring(L"\uAE40"); }));
  EXPECT_NE(unrepresentable.find(L"\\\uAE40\\"), std::wstring::npos);
  EXPECT_EQ(base.rfind("kept", 0), 0u);
  EXPECT_NE(base.find('?'), std::string::npos);

  // The start refuses it: a message box, and a log line where the user
  // picked a folder that can hold the log.
  testing_support::ScratchDir picked("refuse");
  AppContext ctx;
  ctx.languageId = 1033;
  ctx.unrepresentableProfile = unrepresentable;
  ctx.logDir = picked / "kavimorlog";
  testing_support::DialogAnswerer ok(IDOK);
  EXPECT_TRUE(RefuseUnrepresentableProfile(ctx, nullptr));
  ASSERT_TRUE(ok.Join());
  EXPECT_EQ(ok.text(), UnrepresentableFolderMessage(1033, unrepresentable, SystemCodePage()));
  EXPECT_NE(ok.text().find(unrepresentable), std::wstring::npos);
  const auto lines = testing_support::LogTexts(ctx.logDir);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("User folder not representable in code page " +
                               std::to_string(SystemCodePage()) + ", not installed: ",
                           0),
            0u);

  ctx.unrepresentableProfile.clear();
  EXPECT_FALSE(RefuseUnrepresentableProfile(ctx, nullptr));
}

TEST(DirectoryLayout, DerivesEveryFolderFromTheProfileBase) {
  AppContext ctx;
  ApplyDirectoryLayout(ctx, "C:\\Users\\alice\\AppData\\Local", "", "201805");
  EXPECT_EQ(ctx.productFolderName, "Kavimor201805v9.5");
  EXPECT_EQ(ctx.installDir, "C:\\Users\\alice\\AppData\\Local\\Kavimor201805v9.5");
  EXPECT_EQ(ctx.logDir, ctx.installDir + "\\kavimorlog");
  EXPECT_EQ(ctx.stagingDir, ctx.installDir + "temp");
  EXPECT_EQ(ctx.dependBaseDir, "C:\\Users\\alice\\AppData\\Local\\KavimorDependBaseV9.5");
}

TEST(DirectoryLayout, Resource107ReplacesTheLeadingWord) {
  AppContext ctx;
  ApplyDirectoryLayout(ctx, "D:\\P", "Noldar", "201805");
  EXPECT_EQ(ctx.productFolderName, "Noldar201805v9.5");
  EXPECT_EQ(ctx.installDir, "D:\\P\\Noldar201805v9.5");
}

TEST(DirectoryLayout, UnknownProfileStartsAtTheDriveRoot) {
  AppContext ctx;
  ApplyDirectoryLayout(ctx, "", "", "201805");
  EXPECT_EQ(ctx.installDir, "\\Kavimor201805v9.5");
  EXPECT_EQ(ctx.stagingDir, "\\Kavimor201805v9.5temp");
  EXPECT_EQ(ctx.dependBaseDir, "\\KavimorDependBaseV9.5");
}

TEST(DirectoryLayout, RealLayoutLiesInTheConsoleUsersLocalAppData) {
  AppContext& ctx = GetAppContext();
  ctx.InitDirectoryLayout();
  // The test program carries no string table: no package id, no 107.
  EXPECT_EQ(ctx.productFolderName, "Kavimorv9.5");
  wchar_t reported[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, reported), S_OK);
  std::wstring wide = reported;
  ReplaceProfileUser(wide, ConsoleUserName());
  EXPECT_FALSE(ConsoleUserName().empty());
  EXPECT_TRUE(ctx.unrepresentableProfile.empty());
  const std::string expected = NarrowToCodePage(wide, CP_ACP, 4096);
  EXPECT_EQ(ctx.installDir, expected + "\\Kavimorv9.5");
  EXPECT_TRUE(testing_support::PathExists(expected)) << expected;
  EXPECT_EQ(ctx.stagingDir, ctx.installDir + "temp");
}

TEST(AppContextAccess, EveryThreadGetsTheSameObject) {
  std::vector<AppContext*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &GetAppContext(); });
  for (auto& t : threads) t.join();
  for (AppContext* p : seen) EXPECT_EQ(p, &GetAppContext());
}

}  // namespace
