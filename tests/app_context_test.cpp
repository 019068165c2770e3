// The default folder layout and the console user's profile folder.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <thread>
#include <vector>

#include "engine/app_context.h"
#include "support/test_support.h"

namespace {

struct UserCase {
  const char* reported;
  const char* user;
  const char* expected;
};

TEST(ReplaceProfileUser, PutsTheConsoleUserBetweenTheSecondAndThirdBackslash) {
  const UserCase cases[] = {
      // Elevated under another account: the console user's folder.
      {"C:\\Users\\admin\\AppData\\Local", "alice", "C:\\Users\\alice\\AppData\\Local"},
      // A profile folder named other than its account names the account.
      {"C:\\Users\\alice.CORP\\AppData\\Local", "alice", "C:\\Users\\alice\\AppData\\Local"},
      {"C:\\Users\\bob\\AppData\\Local", "bob", "C:\\Users\\bob\\AppData\\Local"},
      // Fewer than three backslashes: unchanged.
      {"C:\\Users\\bob", "alice", "C:\\Users\\bob"},
      {"C:\\Users", "alice", "C:\\Users"},
      {"", "alice", ""},
      // No name found: the folder the system reported, not "C:\Users\\...".
      {"C:\\Users\\admin\\AppData\\Local", "", "C:\\Users\\admin\\AppData\\Local"},
  };
  for (const auto& c : cases) {
    std::string path = c.reported;
    ReplaceProfileUser(path, c.user);
    EXPECT_EQ(path, c.expected) << c.reported << " / " << c.user;
  }
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
  char reported[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, reported), S_OK);
  std::string expected = reported;
  ReplaceProfileUser(expected, ConsoleUserName());
  EXPECT_FALSE(ConsoleUserName().empty());
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
