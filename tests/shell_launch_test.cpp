// "Open" starts the client as the desktop's user: through the desktop's
// shell, whose process becomes the client's parent, or, where the shell
// offers no such route, directly only when this process is not elevated
// over a split token. The route is appended to the run's closed log.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/shell_launch.h"
#include "support/test_support.h"

namespace {

using testing_support::ScratchDir;

TEST(ShellLaunch, OpenStartsTheClientAsTheDesktopUserAndLogsTheRoute) {
  ScratchDir dir("shell_launch");
  const std::string folder = dir / "Install Here";
  const std::string exe = testing_support::InstallStandInClient(folder);
  OpenInstallLog(dir / "log");
  WriteLog("run");
  CloseInstallLog();  // as at the end of a finished run

  shell_launch::Route route = shell_launch::Route::Refused;
  const bool started = shell_launch::LaunchClientAsDesktopUser(folder, &route);
  const std::vector<std::string> record = testing_support::WaitForAnyStartRecord(folder, 10000);
  const std::vector<testing_support::ProcessEntry> processes = testing_support::RunningProcesses();
  testing_support::StopProcessesOf(exe);

  const std::vector<std::string> log = testing_support::LogTexts(dir / "log");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "run");
  if (route == shell_launch::Route::Refused) {
    // Only for an elevated process over a split token, and nothing starts.
    EXPECT_TRUE(shell_launch::ElevatedOverSplitToken());
    EXPECT_FALSE(started);
    EXPECT_TRUE(record.empty());
    EXPECT_EQ(log[1].rfind("Client not started: desktop shell unavailable (", 0), 0u) << log[1];
    return;
  }
  ASSERT_TRUE(started);
  ASSERT_EQ(record.size(), 4u);
  EXPECT_EQ(record[1], folder);
  EXPECT_EQ(record[2], exe);
  EXPECT_EQ(record[3], "end");

  // Whose child the client is: the desktop's shell, or (direct) this one.
  DWORD parent = 0;
  for (const auto& p : processes) {
    if (_wcsicmp(p.exe.c_str(), L"kavimor v9.5.exe") == 0) parent = p.parent;
  }
  ASSERT_NE(parent, 0u);
  // The client's own token: not the full half of a split token.
  TOKEN_ELEVATION_TYPE clientToken = TokenElevationTypeDefault;
  for (const auto& p : processes) {
    if (p.parent != parent || _wcsicmp(p.exe.c_str(), L"kavimor v9.5.exe") != 0) continue;
    win::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, p.pid));
    HANDLE raw = nullptr;
    ASSERT_TRUE(process && OpenProcessToken(process.get(), TOKEN_QUERY, &raw));
    win::UniqueHandle token(raw);
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenElevationType, &clientToken, sizeof clientToken, &size));
  }
  std::printf("client token elevation type: %d\n", static_cast<int>(clientToken));
  std::wstring parentExe;
  for (const auto& p : processes) {
    if (p.pid == parent) parentExe = p.exe;
  }
  if (route == shell_launch::Route::DesktopShell) {
    EXPECT_EQ(log[1], "Client started through the desktop shell");
    EXPECT_NE(parent, GetCurrentProcessId());
    EXPECT_EQ(_wcsicmp(parentExe.c_str(), L"explorer.exe"), 0);
  } else {
    EXPECT_FALSE(shell_launch::ElevatedOverSplitToken());
    EXPECT_EQ(log[1].rfind("Client started directly, desktop shell unavailable: ", 0), 0u) << log[1];
    EXPECT_EQ(parent, GetCurrentProcessId());
  }
  std::printf("route: %s; elevated over a split token: %s\n", log[1].c_str(),
              shell_launch::ElevatedOverSplitToken() ? "yes" : "no");
}

TEST(ShellLaunch, AMissingClientIsNotStartedByAnyRoute) {
  ScratchDir dir("shell_launch_missing");
  EXPECT_FALSE(shell_launch::LaunchClientAsDesktopUser(dir.path()));
  CreateDirectoryA((dir / "kavimor v9.5.exe").c_str(), nullptr);
  EXPECT_FALSE(shell_launch::LaunchClientAsDesktopUser(dir.path())) << "a folder of that name";
}

}  // namespace
