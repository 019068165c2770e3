#pragma once
// Geometry of the installer window: its rectangles, where it opens, and the
// folders that follow from a picked folder. Kept apart from the window so
// that each rule can be checked with chosen inputs.
#include <windows.h>

#include <string>
#include <vector>

constexpr int kDlgWidth = 500;
constexpr int kDlgHeight = 310;

// Where the progress bar sits once an installation has started.
constexpr RECT kProgressBarPlace{34, 260, 34 + 434, 260 + 15};

// Fixed parts of the custom folder panel.
constexpr RECT kPathLabelRect{40, 155, 160, 180};
constexpr RECT kFolderBoxRect{110, 155, 420, 180};
constexpr RECT kFolderTextRect{112, 155, 418, 180};

// The white area of the installing picture (rows 216 to 307) and where the
// progress bar begins inside it.
constexpr LONG kWhiteAreaTop = 216;
constexpr LONG kProgressBarTop = kProgressBarPlace.top;

// Where a failure text of `textHeight` pixels (all its lines, word-wrapped at
// the step line's width) is drawn: on the step line like today's single
// line when it fits there, otherwise raised just enough to end above the
// progress bar. The rectangle never leaves the white area above the bar as
// long as the text has room there at all.
RECT FailureTextRect(const RECT& statusRect, LONG textHeight);
constexpr UINT kFailureTextFlags = DT_WORDBREAK | DT_NOPREFIX;

// Every rectangle the window lays out from its client size.
struct DlgLayout {
  RECT captionRect;
  RECT installRect;
  RECT tagRect;
  RECT customRect;
  RECT browseRect;
  RECT statusRect;
  RECT busyRect;
};
DlgLayout ComputeLayout(const RECT& client);

// One display as EnumDisplaySettingsExW reports its current mode.
struct DisplayMode {
  LONG x;
  LONG y;
  DWORD width;
  DWORD height;
  WORD logPixels;
};

// Top-left corner of the window: centred horizontally on the first display
// (in enumeration order) that contains the cursor, else on the primary
// display, else on the cursor; vertically on the primary screen's height.
POINT CentredWindowOrigin(POINT cursor, const std::vector<DisplayMode>& displays,
                          int primaryScreenHeight);

// The displays attached to the desktop, in enumeration order.
std::vector<DisplayMode> CurrentDisplayModes();

// installDir and logDir after the user picked folder `picked`, stored in
// `codePage` (the system's). A drive root's trailing separator is dropped
// so that the product folder follows a single one. False, changing
// nothing, when the code page cannot represent the folder; an empty
// (cancelled) pick changes nothing either.
bool ApplyPickedFolder(std::wstring picked, unsigned codePage);
