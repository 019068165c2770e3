// The display-scaling flag written into the client's settings file. The DPI
// comes from a stand-in scaling library (fake_shcore.dll) whose answer the
// test chooses; one case goes through the system's own SHCore.
#include <gtest/gtest.h>

#include <string>

#include "engine/app_context.h"
#include "platform/dpi_setting.h"
#include "platform/handles.h"
#include "support/test_support.h"

namespace {

using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;

class FakeShcore {
 public:
  explicit FakeShcore(const char* dllName) {
    path_ = testing_support::ProgramFolder() + "\\" + dllName;
    library_.reset(LoadLibraryA(path_.c_str()));
    set_ = reinterpret_cast<void (*)(UINT, UINT, HRESULT)>(
        reinterpret_cast<void*>(GetProcAddress(library_.get(), "FakeShcoreSet")));
    awareness_ = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(library_.get(), "FakeShcoreAwareness")));
    dpiType_ = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(library_.get(), "FakeShcoreDpiType")));
  }
  bool loaded() const { return set_ != nullptr && awareness_ != nullptr && dpiType_ != nullptr; }
  void Report(UINT x, UINT y, HRESULT result = S_OK) { set_(x, y, result); }
  int awareness() const { return awareness_(); }
  int dpiType() const { return dpiType_(); }
  std::wstring widePath() const { return std::wstring(path_.begin(), path_.end()); }

 private:
  std::string path_;
  win::Library library_;  // kept loaded so that its state outlives each write
  void (*set_)(UINT, UINT, HRESULT) = nullptr;
  int (*awareness_)() = nullptr;
  int (*dpiType_)() = nullptr;
};

std::string ReadFlag(const std::string& installDir) {
  char value[32] = {};
  GetPrivateProfileStringA("kavimor", "awaredpi", "<none>", value, sizeof value,
                           (installDir + "\\config\\kavimor.Default.pri").c_str());
  return value;
}

class DpiSetting : public testing::Test {
 protected:
  void SetUp() override { CreateDirectoryA((dir.path() + "\\config").c_str(), nullptr); }
  ScratchDir dir{"dpi_setting"};
};

TEST_F(DpiSetting, FlagIsOneOnlyForWholeMultiplesFrom200Percent) {
  FakeShcore shcore("fake_shcore.dll");
  ASSERT_TRUE(shcore.loaded());
  const struct {
    UINT x, y;
    const char* flag;
  } rows[] = {
      {96, 96, "0"},   {120, 120, "0"}, {144, 144, "0"}, {192, 192, "1"}, {240, 240, "0"},
      {288, 288, "1"}, {384, 384, "1"}, {480, 480, "1"}, {0, 0, "0"},     {48, 48, "0"},
      {191, 191, "0"}, {193, 193, "0"},
      // Only the horizontal DPI counts.
      {192, 96, "1"},  {96, 192, "0"},  {240, 192, "0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.x << " x " << row.y);
    shcore.Report(row.x, row.y);
    EXPECT_TRUE(SaveDpiAwareSettingWith(shcore.widePath().c_str(), dir.path()));
    EXPECT_EQ(ReadFlag(dir.path()), row.flag);
    EXPECT_EQ(shcore.awareness(), 2);  // per-monitor aware before asking
    EXPECT_EQ(shcore.dpiType(), 0);    // effective DPI
  }
}

TEST_F(DpiSetting, FailedQueryCountsAsOneHundredPercent) {
  FakeShcore shcore("fake_shcore.dll");
  ASSERT_TRUE(shcore.loaded());
  shcore.Report(192, 192, E_FAIL);
  EXPECT_TRUE(SaveDpiAwareSettingWith(shcore.widePath().c_str(), dir.path()));
  EXPECT_EQ(ReadFlag(dir.path()), "0");
}

TEST_F(DpiSetting, LibraryWithoutTheQueryWritesZero) {
  FakeShcore shcore("fake_shcore_partial.dll");
  ASSERT_TRUE(shcore.loaded());
  shcore.Report(192, 192);
  EXPECT_TRUE(SaveDpiAwareSettingWith(shcore.widePath().c_str(), dir.path()));
  EXPECT_EQ(ReadFlag(dir.path()), "0");
  EXPECT_EQ(shcore.awareness(), -1);  // the process is left as it was
}

TEST_F(DpiSetting, MissingLibraryWritesNothing) {
  EXPECT_FALSE(SaveDpiAwareSettingWith(L"no_such_scaling_library.dll", dir.path()));
  EXPECT_FALSE(PathExists(dir / "config\\kavimor.Default.pri"));
}

TEST_F(DpiSetting, FileIsTheForwardSlashPathUnderInstallDir) {
  EXPECT_EQ(DpiSettingFile("C:\\A"), "C:\\A/config/kavimor.Default.pri");
  // A path that does not fit the buffer is not cut short into another name.
  EXPECT_EQ(DpiSettingFile(std::string(2030, 'x')), "");
  EXPECT_EQ(DpiSettingFile(std::string(2020, 'x')).size(), 2020u + 27u);

  FakeShcore shcore("fake_shcore.dll");
  ASSERT_TRUE(shcore.loaded());
  shcore.Report(288, 288);
  EXPECT_TRUE(SaveDpiAwareSettingWith(shcore.widePath().c_str(), dir.path()));
  EXPECT_EQ(ReadFileBytes(dir / "config\\kavimor.Default.pri"), "[kavimor]\r\nawaredpi=1\r\n");
}

TEST_F(DpiSetting, OtherKeysStayAndAMissingFolderIsNotCreated) {
  const std::string file = dir / "config\\kavimor.Default.pri";
  testing_support::WriteFileBytes(file, "[kavimor]\r\npackage=201805\r\nawaredpi=1\r\nlanguage=CHS\r\n");
  FakeShcore shcore("fake_shcore.dll");
  ASSERT_TRUE(shcore.loaded());
  shcore.Report(96, 96);
  EXPECT_TRUE(SaveDpiAwareSettingWith(shcore.widePath().c_str(), dir.path()));
  EXPECT_EQ(ReadFileBytes(file), "[kavimor]\r\npackage=201805\r\nawaredpi=0\r\nlanguage=CHS\r\n");

  const std::string elsewhere = dir / "not_installed";
  EXPECT_FALSE(SaveDpiAwareSettingWith(shcore.widePath().c_str(), elsewhere));
  EXPECT_FALSE(PathExists(elsewhere));
}

TEST_F(DpiSetting, SystemScalingLibraryWritesWhatTheMonitorReports) {
  // The system's own SHCore, through the AppContext's install folder.
  win::Library shcore(LoadLibraryW(L"SHCore.dll"));
  ASSERT_TRUE(shcore);
  using Query = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(shcore.get(), "GetDpiForMonitor")));
  ASSERT_NE(query, nullptr);

  GetAppContext().installDir = dir.path();
  EXPECT_TRUE(SaveDpiAwareSetting(GetAppContext().installDir));
  UINT x = 0;
  UINT y = 0;
  ASSERT_EQ(query(MonitorFromWindow(GetDesktopWindow(), MONITOR_DEFAULTTONEAREST), 0, &x, &y), S_OK);
  EXPECT_EQ(ReadFlag(dir.path()), x % 96 == 0 && x >= 192 ? "1" : "0") << "DPI " << x;
}

}  // namespace
