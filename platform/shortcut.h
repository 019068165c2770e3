#pragma once
// The all-users desktop shortcut to the installed client, and the lookup of
// the all-users desktop folder (also named by the uninstall entry).
#include <string>

// Appends the full path of the all-users desktop folder to `text` (code page
// 936); appends nothing when the folder cannot be found.
void GetCommonDesktopFolder(std::string& text);

// The shortcut file the installer makes: the all-users desktop folder, "\",
// displayName + "v9.5.lnk".
std::string DesktopShortcutPath();

// Puts "<displayName>v9.5.lnk" on the all-users desktop, pointing at
// installDir\kavimor v9.5.exe, working in installDir, with the package's icon
// when its file exists. Every COM result goes to the install log. False when
// a path is empty or too long for the link object (nothing is made then);
// true once COM was reached, whatever it then reported.
bool CreateDesktopShortcut();
