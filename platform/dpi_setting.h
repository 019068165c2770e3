#pragma once
// The display-scaling flag of the installed client: "awaredpi" in the
// client's private settings file is "1" when the desktop's scaling is a
// whole multiple of 100 % of at least 200 %, "0" otherwise. Written once, on
// the UI thread, when the user leaves a finished installation.
#include <string>

// Measures the scaling through SHCore and writes the flag for the client in
// installDir (text of the system's code page). Nothing is written when SHCore cannot be loaded; "0" when
// it lacks either function. Returns the result of the INI write.
bool SaveDpiAwareSetting(const std::string& installDir);

// --- pieces of the above, kept apart so that their inputs can be chosen ---

// The same with the scaling library and the install folder given.
bool SaveDpiAwareSettingWith(const wchar_t* libraryName, const std::string& installDir);

// 1 for an effective horizontal DPI of 192, 288, 384, ... (96 * n, n >= 2).
int DpiAwareFlag(unsigned dpiX);

// installDir + "/config/kavimor.Default.pri"; empty when it would not fit
// the 2048-byte buffer.
std::string DpiSettingFile(const std::string& installDir);
