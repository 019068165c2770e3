// The log's bytes on disk, its sharing, and writes racing a close.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "engine/app_context.h"
#include "platform/install_log.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace {

using testing_support::ScratchDir;

class InstallLogTest : public ::testing::Test {
 protected:
  void SetUp() override { GetAppContext().logDir = dir_ / "install\\kavimorlog"; }
  void TearDown() override { CloseInstallLog(); }

  std::string OnlyFile() {
    const auto files = testing_support::LogFiles(GetAppContext().logDir);
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::string() : files[0];
  }

  ScratchDir dir_{"log"};
};

int MillisOfDay(const std::smatch& m, int first) {
  return ((std::stoi(m[first]) * 60 + std::stoi(m[first + 1])) * 60 + std::stoi(m[first + 2])) * 1000 +
         std::stoi(m[first + 3]);
}

TEST_F(InstallLogTest, LinesAreStampedTabbedAndEndInCrLf) {
  OpenInstallLog(GetAppContext().logDir);  // creates the missing folders along logDir
  ASSERT_TRUE(InstallLogIsOpen());
  WriteLog("Version: IE_9.5.9.1");
  WriteLog(Gbk(u8"用户点击安装，安装开始...").c_str());
  WriteLog("");
  WriteLog(nullptr);
  WriteLog("two\r\nrows");
  CloseInstallLog();

  const std::string path = OnlyFile();
  const std::string name = path.substr(path.rfind('\\') + 1);
  std::smatch nameMatch;
  ASSERT_TRUE(std::regex_match(name, nameMatch, std::regex(R"((\d\d)(\d\d)(\d\d)(\d\d\d)install\.log)")));

  const std::string bytes = testing_support::ReadFileBytes(path);
  const std::string prefix = R"(\[(\d\d):(\d\d):(\d\d) (\d\d\d)\]\t\t)";
  const std::regex whole("^" + prefix + "Version: IE_9\\.5\\.9\\.1\r\n" + prefix +
                         "\xD3\xC3\xBB\xA7\xB5\xE3\xBB\xF7\xB0\xB2\xD7\xB0\xA3\xAC\xB0\xB2\xD7\xB0"
                         "\xBF\xAA\xCA\xBC\\.\\.\\.\r\n" +
                         prefix + "\r\n" + prefix + "two\r\nrows\r\n$");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(bytes, m, whole)) << bytes;
  // The file is named after the moment the run started, just before the
  // first line was written.
  const int opened = MillisOfDay(nameMatch, 1);
  const int firstLine = MillisOfDay(m, 1);
  EXPECT_GE(firstLine, opened);
  EXPECT_LT(firstLine - opened, 5000);
}

TEST_F(InstallLogTest, NothingIsWrittenOutsideOpenAndClose) {
  WriteLog("before");
  EXPECT_FALSE(InstallLogIsOpen());
  OpenInstallLog(GetAppContext().logDir);
  WriteLog("inside");
  CloseInstallLog();
  CloseInstallLog();  // a second close finds nothing to close
  WriteLog("after");
  const std::string bytes = testing_support::ReadFileBytes(OnlyFile());
  EXPECT_EQ(bytes.find("before"), std::string::npos);
  EXPECT_EQ(bytes.find("after"), std::string::npos);
  EXPECT_NE(bytes.find("inside\r\n"), std::string::npos);
}

TEST_F(InstallLogTest, OpenLogIsNotSharedWithOtherPrograms) {
  OpenInstallLog(GetAppContext().logDir);
  const std::string path = OnlyFile();
  HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  CloseInstallLog();
  other = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
}

TEST_F(InstallLogTest, WritesFromTwoThreadsSurviveACloseFromAThird) {
  OpenInstallLog(GetAppContext().logDir);
  std::atomic<int> written{0};
  auto writer = [&written](char tag) {
    const std::string text = std::string(40, tag);
    for (int i = 0; i < 3000; ++i) {
      WriteLog(text.c_str());
      ++written;
    }
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  while (written < 500) std::this_thread::yield();
  CloseInstallLog();  // the window's close, while the worker still writes
  a.join();
  b.join();
  EXPECT_FALSE(InstallLogIsOpen());

  const std::string bytes = testing_support::ReadFileBytes(OnlyFile());
  const std::regex line(R"(\[\d\d:\d\d:\d\d \d\d\d\]\t\t(a{40}|b{40})\r\n)");
  size_t lines = 0;
  for (auto it = std::sregex_iterator(bytes.begin(), bytes.end(), line); it != std::sregex_iterator(); ++it) {
    EXPECT_EQ(it->position(), static_cast<long>(lines * (16 + 40 + 2))) << "torn line";
    ++lines;
  }
  EXPECT_EQ(bytes.size(), lines * (16 + 40 + 2));
  EXPECT_GE(lines, 500u);
  EXPECT_LT(lines, 6000u);  // the close took effect while the writers went on
}

}  // namespace
