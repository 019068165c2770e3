// The uninstall entry read back from the registry: view, value types, exact
// bytes, reuse of an existing entry, and where an over-long value stops it.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/shortcut.h"
#include "platform/text.h"
#include "platform/uninstall_entry.h"
#include "registration_helpers.h"

namespace {

using namespace registration_test;
using testing_support::ScratchDir;

constexpr char kUninstall[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

struct ArchitectureCase {
  bool haveNativeInfo;
  WORD architecture;
  bool wow6432Node;
};

TEST(UninstallEntry, ParentKeyFollowsNativeArchitecture) {
  const ArchitectureCase cases[] = {
      {true, PROCESSOR_ARCHITECTURE_AMD64, true},
      {true, PROCESSOR_ARCHITECTURE_IA64, true},
      {true, PROCESSOR_ARCHITECTURE_INTEL, false},
      {true, 12 /* ARM64 */, false},
      {true, PROCESSOR_ARCHITECTURE_UNKNOWN, false},
      {false, PROCESSOR_ARCHITECTURE_AMD64, false},  // no GetNativeSystemInfo
  };
  for (const auto& c : cases) {
    const std::string parent = UninstallParentKey(c.haveNativeInfo, c.architecture);
    EXPECT_EQ(parent, c.wow6432Node
                          ? "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                          : "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\")
        << "architecture " << c.architecture << " native info " << c.haveNativeInfo;
    EXPECT_EQ(parent.size(), c.wow6432Node ? 64u : 52u);
  }
}

// Every registration of this file goes to a package identifier of its own
// and is removed again afterwards.
class UninstallEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppContext& ctx = GetAppContext();
    ctx.packageId = UniqueId("U");
    ctx.displayName = Gbk(u8"卡维交易系统");
    ctx.installDir = scratch_.path() + Gbk(u8"\\卡维 Kavimor");
    ctx.currentVersion = "9.5.12.3";
    // Windows always has the parent; a fresh Wine prefix may not yet.
    HKEY parent = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstall, 0, nullptr, 0, KEY_READ | KEY_WOW64_32KEY,
                    nullptr, &parent, nullptr);
    if (parent != nullptr) RegCloseKey(parent);
  }
  void TearDown() override {
    for (const std::string& id : created_) RegDeleteTreeA(HKEY_LOCAL_MACHINE, Wow(id).c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, Wow(GetAppContext().packageId).c_str());
  }

  static std::string EntryName(const std::string& id) { return "Kavimor_" + id + "v9.5"; }
  // The entry as a 64-bit program names it in the 32-bit view.
  static std::string Wow(const std::string& id) {
    return "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" +
           EntryName(id);
  }
  // The same entry as a 32-bit program sees it.
  static std::string View32(const std::string& id) { return kUninstall + EntryName(id); }

  StoredValue Narrow(const char* name) {
    return ReadNarrow(HKEY_LOCAL_MACHINE, View32(GetAppContext().packageId), name,
                      KEY_WOW64_32KEY);
  }
  StoredValue WideValue(const wchar_t* name) {
    const std::string key = View32(GetAppContext().packageId);
    return ReadWide(HKEY_LOCAL_MACHINE, std::wstring(key.begin(), key.end()), name,
                    KEY_WOW64_32KEY);
  }

  ScratchDir scratch_{"uninstall"};
  std::vector<std::string> created_;
};

TEST_F(UninstallEntryTest, SixValuesWithTypesAndExactBytesInThe32BitView) {
  const AppContext& ctx = GetAppContext();
  LogCapture log(scratch_ / "log");
  RegisterUninstallEntryOfContext();
  // Nothing goes wrong, so nothing is logged.
  EXPECT_TRUE(log.Finish().empty());

  std::wstring desktop;
  GetCommonDesktopFolder(desktop);
  ASSERT_FALSE(desktop.empty());

  struct Expected {
    const char* name;
    bool wide;
    std::string bytes;
  };
  const Expected values[] = {
      {"DisplayName", true, WideBytes(Wide(u8"卡维交易系统v9.5"))},
      {"UninstallString", false, NarrowBytes(ctx.installDir + "\\uninstall.exe")},
      {"DisplayIcon", false, NarrowBytes(ctx.installDir + "\\kavimor v9.5.exe")},
      {"DisplayVersion", false, NarrowBytes("9.5.12.3")},
      {"Publisher", true, WideBytes(L"Tavrel Information")},
      {"Shortcut", true,
       WideBytes(desktop + Wide(u8"\\卡维交易系统v9.5.lnk"))},
  };
  for (const auto& v : values) {
    const StoredValue stored =
        v.wide ? WideValue(std::wstring(v.name, v.name + strlen(v.name)).c_str()) : Narrow(v.name);
    ASSERT_TRUE(stored.present) << v.name;
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ)) << v.name;
    EXPECT_EQ(stored.bytes, v.bytes) << v.name;
  }
  // The Shortcut value names the file the shortcut step makes.
  const StoredValue shortcut = WideValue(L"Shortcut");
  EXPECT_EQ(shortcut.bytes,
            WideBytes(DesktopShortcutPath(ctx.displayName)));

  // 64-bit programs do not see it: it lives in the 32-bit view only.
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, View32(ctx.packageId), KEY_WOW64_64KEY));
}

TEST_F(UninstallEntryTest, ReinstallOverwritesSixValuesAndLeavesOthers) {
  const AppContext& ctx = GetAppContext();
  HKEY entry = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, Wow(ctx.packageId).c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, &entry, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(entry, "DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>("9.4.0"), 6);
  RegSetValueExA(entry, "InstallLocation", 0, REG_SZ, reinterpret_cast<const BYTE*>("D:\\old"), 7);
  const DWORD estimated = 4242;
  RegSetValueExA(entry, "EstimatedSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&estimated),
                 sizeof estimated);
  RegCloseKey(entry);

  RegisterUninstallEntryOfContext();

  EXPECT_EQ(Narrow("DisplayVersion").bytes, NarrowBytes("9.5.12.3"));
  EXPECT_EQ(Narrow("InstallLocation").bytes, NarrowBytes("D:\\old"));
  const StoredValue size = Narrow("EstimatedSize");
  EXPECT_EQ(size.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(size.bytes, std::string(reinterpret_cast<const char*>(&estimated), 4));
}

TEST_F(UninstallEntryTest, EachPackageIdentifierGetsItsOwnEntry) {
  AppContext& ctx = GetAppContext();
  const std::string first = ctx.packageId;
  RegisterUninstallEntryOfContext();
  ctx.packageId = UniqueId("V");
  ctx.currentVersion = "7.7";
  created_.push_back(first);
  RegisterUninstallEntryOfContext();

  EXPECT_EQ(ReadNarrow(HKEY_LOCAL_MACHINE, View32(first), "DisplayVersion", KEY_WOW64_32KEY).bytes,
            NarrowBytes("9.5.12.3"));
  EXPECT_EQ(Narrow("DisplayVersion").bytes, NarrowBytes("7.7"));
}

// An over-long value is not written cut; the entry keeps the values before
// it and the log says which value stopped it.
TEST_F(UninstallEntryTest, OverLongValueStopsTheEntryThere) {
  struct Case {
    size_t installDirLength;  // UninstallString adds 14 bytes, DisplayIcon 17
    size_t versionLength;
    const char* firstMissing;  // nullptr: all six written
  };
  const Case cases[] = {
      {1006, 8, nullptr},           // DisplayIcon exactly 1023 bytes
      {1007, 8, "DisplayIcon"},     // DisplayIcon 1024 bytes
      {1010, 8, "UninstallString"}, // UninstallString 1024 bytes
      {40, 1024, "DisplayVersion"},
      {40, 1023, nullptr},           // 1023 bytes and the NUL fill the buffer
  };
  const char* order[] = {"DisplayName", "UninstallString", "DisplayIcon",
                         "DisplayVersion", "Publisher", "Shortcut"};
  AppContext& ctx = GetAppContext();
  int n = 0;
  for (const auto& c : cases) {
    ctx.packageId = UniqueId("L") + "_" + std::to_string(n++);
    created_.push_back(ctx.packageId);
    ctx.installDir = "C:\\" + std::string(c.installDirLength - 3, 'd');
    ctx.currentVersion = std::string(c.versionLength, '5');
    ScratchDir logDir("uninstall_log");
    LogCapture log(logDir.path());
    RegisterUninstallEntryOfContext();
    const auto lines = log.Finish();

    bool missing = false;
    for (const char* name : order) {
      if (c.firstMissing != nullptr && std::string(name) == c.firstMissing) missing = true;
      const std::string key = View32(ctx.packageId);
      const bool present =
          ReadWide(HKEY_LOCAL_MACHINE, std::wstring(key.begin(), key.end()),
                   std::wstring(name, name + strlen(name)).c_str(), KEY_WOW64_32KEY)
              .present;
      EXPECT_EQ(present, !missing) << name << " case " << n;
    }
    if (c.firstMissing == nullptr) {
      EXPECT_TRUE(lines.empty()) << "case " << n;
      EXPECT_EQ(Narrow("DisplayIcon").bytes.size(), c.installDirLength + 17 + 1);
    } else {
      ASSERT_EQ(lines.size(), 1u) << "case " << n;
      EXPECT_EQ(lines[0], std::string("Uninstall entry: ") + c.firstMissing +
                              " longer than 1023 bytes, not written; entry left incomplete");
    }
  }
}

}  // namespace
