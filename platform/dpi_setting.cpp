#include "platform/dpi_setting.h"

#include <windows.h>

#include <cstdio>

#include "platform/handles.h"

namespace {

// SHCore's entry points, looked up at run time: the library and both
// functions are missing before Windows 8.1.
using SetProcessDpiAwarenessFn = HRESULT(WINAPI*)(int awareness);
using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR monitor, int dpiType, UINT* dpiX, UINT* dpiY);

constexpr int kProcessPerMonitorDpiAware = 2;
constexpr int kMdtEffectiveDpi = 0;

}  // namespace

int DpiAwareFlag(unsigned dpiX) { return dpiX % 96 == 0 && dpiX / 96 > 1 ? 1 : 0; }

std::string DpiSettingFile(const std::string& installDir) {
  char path[2048] = {};
  const int written = std::snprintf(path, sizeof path, "%s/config/kavimor.Default.pri", installDir.c_str());
  // A cut path would name some other file: write nothing instead.
  if (written < 0 || static_cast<size_t>(written) >= sizeof path) return {};
  return path;
}

bool SaveDpiAwareSettingWith(const wchar_t* libraryName, const std::string& installDir) {
  win::Library shcore(LoadLibraryW(libraryName));
  if (!shcore) return false;

  const auto setAwareness = reinterpret_cast<SetProcessDpiAwarenessFn>(
      reinterpret_cast<void*>(GetProcAddress(shcore.get(), "SetProcessDpiAwareness")));
  const auto getDpi = reinterpret_cast<GetDpiForMonitorFn>(
      reinterpret_cast<void*>(GetProcAddress(shcore.get(), "GetDpiForMonitor")));

  int flag = 0;
  if (setAwareness != nullptr && getDpi != nullptr) {
    // Without per-monitor awareness the system reports 96 to an unaware
    // process whatever the real scaling is.
    setAwareness(kProcessPerMonitorDpiAware);
    UINT dpiX = 96;
    UINT dpiY = 96;
    const HMONITOR monitor = MonitorFromWindow(GetDesktopWindow(), MONITOR_DEFAULTTONEAREST);
    // A failed query leaves its outputs undefined: count it as 100 %.
    if (FAILED(getDpi(monitor, kMdtEffectiveDpi, &dpiX, &dpiY))) dpiX = 96;
    flag = DpiAwareFlag(dpiX);
  }

  const std::string file = DpiSettingFile(installDir);
  if (file.empty()) return false;
  char value[101] = {};
  std::snprintf(value, sizeof value, "%d", flag);
  return WritePrivateProfileStringA("kavimor", "awaredpi", value, file.c_str()) != FALSE;
}

bool SaveDpiAwareSetting(const std::string& installDir) {
  return SaveDpiAwareSettingWith(L"SHCore.dll", installDir);
}
