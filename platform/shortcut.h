#pragma once
// The all-users desktop shortcut to the installed client, and the lookup of
// the all-users desktop folder (also named by the uninstall entry).
#include <string>

// Appends the full path of the all-users desktop folder to `text`; appends
// nothing when the folder cannot be found. UTF-16 from the system on: the
// folder's name needs no code page.
void GetCommonDesktopFolder(std::wstring& text);

// The shortcut file the installer makes: the all-users desktop folder, "\",
// displayName (code page 936) + "v9.5.lnk".
std::wstring DesktopShortcutPath(const std::string& displayName);

// Puts "<displayName>v9.5.lnk" on the all-users desktop, pointing at
// installDir\kavimor v9.5.exe, working in installDir, with the package's icon
// when its file exists. installDir is text of the system's code page. Every
// COM result goes to the install log. False when a path is empty or too long
// for the link object (nothing is made then); true once COM was reached,
// whatever it then reported.
bool CreateDesktopShortcut(const std::string& installDir, const std::string& displayName,
                           const std::string& packageId);
