#pragma once
// File and process operations around the installation. Paths are 8-bit
// text in the system's code page (as the 8-bit system calls read them)
// unless a wide string is named.
#include <string>

// The client executable; it lies directly in the install folder.
inline constexpr const char kClientExeName[] = "kavimor v9.5.exe";

// Stops the first process (in snapshot order) whose image is
// installDir + "\" + exeName. Both paths are compared in their normalised
// full form (doubled separators collapsed), letter case included. Then
// waits for it and pauses.
void KillRunningClient(const std::string& installDir, const wchar_t* exeName);

// Whether a process runs installDir + "\" + exeName (compared as
// KillRunningClient compares it).
bool ClientRunsFrom(const std::string& installDir, const wchar_t* exeName);

// Creates every missing folder up to the last backslash of `path`. Shows a
// message box naming the first folder that cannot be made and returns false.
bool CreateFolderPath(const std::string& path);

// Whether `path` names an existing folder.
bool IsFolder(const std::wstring& path);

// Deletes a file or a whole folder tree, without asking and without the
// recycle bin. True when the shell reports success.
bool DeletePath(const std::string& path);

// Starts the installed client: "<installDir>\kavimor v9.5.exe" end, in the
// install folder. True when the process was created.
bool LaunchClient(const std::string& installDir);
