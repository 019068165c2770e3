#pragma once
// Starting a program as the user at the desktop, not as the elevated
// installer. The installer runs with an administrator's full token, often
// one whose password was typed over the user's shoulder; a program it
// starts directly inherits that token, and the client lies in a folder the
// user (or anything the user runs) can write. The desktop's own shell
// starts it instead: IShellDispatch2::ShellExecute on the shell view of the
// desktop window (explorer's ShellWindows, SWC_DESKTOP), so the process is
// explorer's child and runs with explorer's token.
#include <string>

namespace shell_launch {

// How a program was (or was not) started.
enum class Route {
  DesktopShell,  // through the desktop's shell, as the desktop's user
  Direct,        // CreateProcess: the shell was unavailable and this process is not elevated over a split token
  Refused,       // the shell was unavailable and a direct start would have run elevated
};

// Starts `file` with `parameters` in `folder` through the desktop's shell.
// False with the failed step and its HRESULT in `why` when the shell offers
// no such route (no desktop window, no shell view, ...).
bool ExecuteAsDesktopUser(const std::wstring& file, const std::wstring& parameters, const std::wstring& folder,
                          std::string* why);

// Whether this process runs with the full half of a split token (an
// administrator elevated through UAC: TokenElevationTypeFull, which always
// has a linked limited token). A process started by it would run elevated
// although the desktop's user does not.
bool ElevatedOverSplitToken();

// The log line for a route taken; `why` is the shell's failure, if any.
std::string RouteLine(Route route, const std::string& why);

// "Open": starts the installed client ("<installDir>\kavimor v9.5.exe" end,
// in the install folder) through the desktop's shell; where that route is
// unavailable, with LaunchClient unless this process runs elevated over a
// split token. Appends the route to the run's log. True when started.
bool LaunchClientAsDesktopUser(const std::string& installDir, Route* route = nullptr);

}  // namespace shell_launch
