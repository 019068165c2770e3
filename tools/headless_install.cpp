// One whole installation without the installer window, for measurements:
// a message-only window on this thread stands in for the main window and
// the real engine runs against the object store named on the command line.
//
//   headless_install.exe <endpoint http://host:port> <profile base folder> [--no-cache]
//
// The run is unattended, as an administrator's /S run is: a reinstall goes
// ahead without its warning, so that no measured time is spent making a
// message box and pressing it. --no-cache switches the package cache and resumed downloads off, the
// comparison run of bench/update.sh.
//
// Prints "result", "seconds", "finished_at" (local time of the last install
// message), "peak_working_set_mb" and "peak_private_mb" lines; exit status 0 after WM_INSTALL_DONE, 1 after WM_INSTALL_FAILED or
// a time-out.
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/messages.h"
#include "engine/pipeline.h"
#include "platform/unattended.h"

namespace {

// Last install message seen: WM_INSTALL_DONE or WM_INSTALL_FAILED, and its
// lParam, and the local time it came (the install log's clock).
UINT finalMessage = 0;
LPARAM finalParam = 0;
SYSTEMTIME finalTime{};

LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INSTALL_DONE || message == WM_INSTALL_FAILED) {
    finalMessage = message;
    finalParam = lParam;
    GetLocalTime(&finalTime);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: headless_install <endpoint> <profile base folder> [--no-cache]\n");
    return 2;
  }
  AppContext& ctx = GetAppContext();
  ctx.packageId = "201805";
  ctx.displayName = "NOLDAR Trading System";
  ctx.languageId = 2052;
  ctx.languageCode = "CHS";
  ApplyDirectoryLayout(ctx, argv[2], "", ctx.packageId);
  SetUnattendedRun("(headless measurement)");

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"KavimorHeadless";
  RegisterClassExW(&wc);
  MainWindowHandle = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                     nullptr, wc.hInstance, nullptr);

  const auto start = std::chrono::steady_clock::now();
  auto* client = new IClient;  // lives to the end of the process, as the window's does
  client->PrepareStorageAccess();
  client->endpoint = argv[1];
  client->packageCacheSwitchedOff = argc > 3 && std::string(argv[3]) == "--no-cache";
  CreateStorageClient(*client);
  const StartOutcome outcome = StartInstallSequence(*client, nullptr);
  if (outcome == StartOutcome::Started) {
    const auto limit = start + std::chrono::minutes(30);
    MSG msg;
    while (finalMessage == 0 && std::chrono::steady_clock::now() < limit) {
      if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 500, QS_ALLINPUT) == WAIT_OBJECT_0) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  std::printf("result %s %ld\n",
              finalMessage == WM_INSTALL_DONE     ? "done"
              : finalMessage == WM_INSTALL_FAILED ? "failed"
                                                  : "not-finished",
              static_cast<long>(finalParam));
  std::printf("seconds %.3f\n", seconds);
  std::printf("finished_at %02d:%02d:%02d.%03d\n", finalTime.wHour, finalTime.wMinute, finalTime.wSecond,
              finalTime.wMilliseconds);
  std::printf("peak_working_set_mb %.1f\n", memory.PeakWorkingSetSize / 1048576.0);
  std::printf("peak_private_mb %.1f\n", memory.PeakPagefileUsage / 1048576.0);
  std::fflush(stdout);
  return finalMessage == WM_INSTALL_DONE ? 0 : 1;
}
