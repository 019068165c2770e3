#pragma once
// File and process operations around the installation. Paths are code page
// 936 text unless a wide string is named.
#include <string>

// Stops the first process (in snapshot order) whose image is exactly
// installDir + "\" + exeName, then waits for it and pauses.
void KillRunningClient(const wchar_t* exeName);

// Creates every missing folder up to the last backslash of `path`. Shows a
// message box naming the first folder that cannot be made and returns false.
bool CreateFolderPath(const std::string& path);

// Deletes a file or a whole folder tree, without asking and without the
// recycle bin. True when the shell reports success.
bool DeletePath(const std::string& path);

// Starts the installed client: "<installDir>\kavimor v9.5.exe" end, in the
// install folder. True when the process was created.
bool LaunchClient();
