// The URL scheme read back from HKEY_CLASSES_ROOT, with its log lines, its
// reuse of an earlier installation's keys and its failures part-way.
#include <gtest/gtest.h>

#include "platform/text.h"
#include "platform/url_protocol.h"
#include "registration_helpers.h"

namespace {

using namespace registration_test;
using testing_support::ScratchDir;

class UrlProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppContext& ctx = GetAppContext();
    ctx.packageId = UniqueId("P");
    ctx.installDir = scratch_.path() + Gbk(u8"\\卡维 客户端");
    scheme_ = "Kavimor" + ctx.packageId;
    RegDeleteTreeA(HKEY_CLASSES_ROOT, scheme_.c_str());
  }
  void TearDown() override { RegDeleteTreeA(HKEY_CLASSES_ROOT, scheme_.c_str()); }

  StoredValue Value(const std::string& subkey, const char* name) {
    return ReadNarrow(HKEY_CLASSES_ROOT, subkey.empty() ? scheme_ : scheme_ + "\\" + subkey, name);
  }
  // Pre-creates a key of the scheme, volatile when asked: a volatile key
  // cannot get lasting subkeys, so creating below it fails.
  void PreCreate(const std::string& subkey, bool isVolatile) {
    HKEY key = nullptr;
    const std::string path = subkey.empty() ? scheme_ : scheme_ + "\\" + subkey;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr,
                              isVolatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  std::string ExePath() const { return GetAppContext().installDir + "\\kavimor v9.5.exe"; }

  ScratchDir scratch_{"url"};
  std::string scheme_;
};

TEST_F(UrlProtocolTest, WritesSchemeIconAndBareCommandAndLogsStartFinish) {
  LogCapture log(scratch_ / "log");
  RegisterUrlProtocolOfContext();
  EXPECT_EQ(log.Finish(),
            (std::vector<std::string>{"URL Schemes: Start", "URL Schemes: Finish"}));

  struct Expected {
    const char* subkey;
    const char* name;
    std::string data;
  };
  const Expected values[] = {
      {"", "URL Protocol", ExePath()},  // the path, not an empty string
      {"", "", "KavimorProtocol"},
      {"DefaultIcon", "", ExePath() + ",1"},
      // No quotes and no "%1", even though the file name holds a space.
      {"shell\\open\\command", "", ExePath()},
  };
  for (const auto& v : values) {
    const StoredValue stored = Value(v.subkey, v.name);
    ASSERT_TRUE(stored.present) << v.subkey << " / " << v.name;
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ)) << v.subkey << " / " << v.name;
    EXPECT_EQ(stored.bytes, NarrowBytes(v.data)) << v.subkey << " / " << v.name;
  }
  // The GBK folder name reaches UTF-16 readers intact.
  const std::wstring wideKey(scheme_.begin(), scheme_.end());
  EXPECT_EQ(ReadWide(HKEY_CLASSES_ROOT, wideKey + L"\\shell\\open\\command", L"").bytes,
            WideBytes(WideFromCodePage(ExePath(), kGbkCodePage, 4096)));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, scheme_ + "\\shell"));
  EXPECT_FALSE(Value("shell", "").present);
  EXPECT_FALSE(Value("shell\\open", "").present);
}

TEST_F(UrlProtocolTest, EarlierSchemeIsReusedAndForeignEntriesStay) {
  PreCreate("shell\\print\\command", false);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, scheme_.c_str(), 0, KEY_SET_VALUE, &key),
            ERROR_SUCCESS);
  RegSetValueExA(key, "URL Protocol", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
  RegSetValueExA(key, "EditFlags", 0, REG_SZ, reinterpret_cast<const BYTE*>("2"), 2);
  RegCloseKey(key);

  LogCapture log(scratch_ / "log");
  RegisterUrlProtocolOfContext();
  EXPECT_EQ(log.Finish().back(), "URL Schemes: Finish");
  EXPECT_EQ(Value("", "URL Protocol").bytes, NarrowBytes(ExePath()));
  EXPECT_EQ(Value("", "EditFlags").bytes, NarrowBytes("2"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, scheme_ + "\\shell\\print\\command"));
  EXPECT_EQ(Value("shell\\open\\command", "").bytes, NarrowBytes(ExePath()));
}

TEST_F(UrlProtocolTest, VeryLongExecutablePathIsCutTo1023Bytes) {
  AppContext& ctx = GetAppContext();
  ctx.installDir = "C:\\" + std::string(1100, 'k');
  RegisterUrlProtocolOfContext();
  const std::string cut = ExePath().substr(0, 1023);
  EXPECT_EQ(Value("", "URL Protocol").bytes, NarrowBytes(cut));
  EXPECT_EQ(Value("DefaultIcon", "").bytes, NarrowBytes(cut));
  EXPECT_EQ(Value("shell\\open\\command", "").bytes, NarrowBytes(cut));

  // 1021 bytes of path still leave room for ",1" in the icon text.
  ctx.installDir = "C:\\" + std::string(1021 - 3 - 17, 'k');
  ASSERT_EQ(ExePath().size(), 1021u);
  RegisterUrlProtocolOfContext();
  EXPECT_EQ(Value("DefaultIcon", "").bytes, NarrowBytes(ExePath() + ",1"));
}

// A failure ends the registration with its own line; what came before stays.
TEST_F(UrlProtocolTest, FailurePartWayLogsItsLineAndKeepsEarlierValues) {
  struct Case {
    const char* volatileKey;  // pre-created volatile, its parents lasting
    const char* line;
    const char* lastKeyMade;
  };
  const Case cases[] = {
      {"", "URL Schemes: Create DefaultIcon key Failed", nullptr},
      {"shell", "URL Schemes: Create shellopen key Failed", "shell"},
      {"shell\\open", "URL Schemes: Create shellopencommand key Failed", "shell\\open"},
  };
  for (const auto& c : cases) {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, scheme_.c_str());
    const std::string path = c.volatileKey;
    if (!path.empty()) PreCreate("", false);
    if (path == "shell\\open") PreCreate("shell", false);
    PreCreate(path, true);

    ScratchDir logDir("url_log");
    LogCapture log(logDir.path());
    RegisterUrlProtocolOfContext();
    EXPECT_EQ(log.Finish(), (std::vector<std::string>{"URL Schemes: Start", c.line}))
        << c.line;
    EXPECT_EQ(Value("", "URL Protocol").bytes, NarrowBytes(ExePath())) << c.line;
    EXPECT_EQ(Value("", "").bytes, NarrowBytes("KavimorProtocol")) << c.line;
    EXPECT_EQ(Value("DefaultIcon", "").present, c.lastKeyMade != nullptr) << c.line;
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, scheme_ + "\\shell\\open\\command")) << c.line;
  }
}

}  // namespace
