#include "ui/kavimor_layout.h"

#include <optional>

#include "engine/app_context.h"
#include "platform/text.h"

namespace {

RECT MakeRect(LONG left, LONG top, LONG right, LONG bottom) { return RECT{left, top, right, bottom}; }

}  // namespace

DlgLayout ComputeLayout(const RECT& client) {
  const LONG w = client.right - client.left;
  const LONG h = client.bottom - client.top;
  DlgLayout l{};
  l.captionRect = client;
  l.captionRect.bottom = 30;
  l.installRect = MakeRect(200, h - 108, 300, h - 72);
  l.tagRect = l.installRect;
  OffsetRect(&l.tagRect, 0, -60);
  l.customRect = MakeRect(w - 100, h - 20, w - 5, h);
  l.browseRect = MakeRect(420, 155, 470, 180);
  l.statusRect = MakeRect(w - 468, h - 76, w - 34, h - 56);
  l.busyRect = MakeRect(181, 96, 461, 123);
  return l;
}

RECT FailureTextRect(const RECT& statusRect, LONG textHeight) {
  RECT r = statusRect;
  const LONG lowest = kProgressBarTop - 1;  // one free row above the bar
  if (r.top + textHeight > lowest) r.top = lowest - textHeight;
  if (r.top < kWhiteAreaTop + 1) r.top = kWhiteAreaTop + 1;
  r.bottom = r.top + textHeight;
  return r;
}

POINT CentredWindowOrigin(POINT cursor, const std::vector<DisplayMode>& displays,
                          int primaryScreenHeight) {
  long long left = cursor.x;
  long long right = cursor.x;
  for (const DisplayMode& mode : displays) {
    long long x = mode.x;
    long long y = mode.y;
    long long w = mode.width;
    long long h = mode.height;
    // Scaled displays report physical pixels; the window is placed in
    // 96-DPI units.
    if (mode.logPixels > 96) {
      x = x * 96 / mode.logPixels;
      y = y * 96 / mode.logPixels;
      w = w * 96 / mode.logPixels;
      h = h * 96 / mode.logPixels;
    }
    if (x == 0 && y == 0) {
      left = 0;
      right = w;
    }
    if (x <= cursor.x && cursor.x < x + w && y <= cursor.y && cursor.y < y + h) {
      left = x;
      right = x + w;
      break;
    }
  }
  POINT origin;
  origin.x = static_cast<LONG>(left + ((right - left) - kDlgWidth) / 2);
  origin.y = (primaryScreenHeight - kDlgHeight) / 2;
  return origin;
}

std::vector<DisplayMode> CurrentDisplayModes() {
  std::vector<DisplayMode> modes;
  for (DWORD index = 0;; ++index) {
    DISPLAY_DEVICEW device{};
    device.cb = sizeof device;
    if (!EnumDisplayDevicesW(nullptr, index, &device, 0)) break;
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    if (!EnumDisplaySettingsExW(device.DeviceName, ENUM_CURRENT_SETTINGS, &mode, 0)) continue;
    modes.push_back(DisplayMode{mode.dmPosition.x, mode.dmPosition.y, mode.dmPelsWidth,
                                mode.dmPelsHeight, mode.dmLogPixels});
  }
  return modes;
}

bool ApplyPickedFolder(std::wstring picked, unsigned codePage) {
  if (picked.empty()) return true;
  if (picked.back() == L'\\') picked.pop_back();
  const std::optional<std::string> folder = ExactlyInCodePage(picked, codePage);
  if (!folder) return false;
  AppContext& ctx = GetAppContext();
  ctx.installDir = *folder + "\\" + ctx.productFolderName;
  ctx.logDir = ctx.installDir + "\\kavimorlog";
  return true;
}

