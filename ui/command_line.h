#pragma once
// The installer's switches, for administrators who deploy it unattended.
// Parsing is plain text work: no system call, so every rule can be tried
// on any machine.
//
//   /S              unattended: no window, no message box
//   /D=<folder>     the install folder itself (no product folder appended);
//                   last on the line, the rest of the line is the folder
//   /LOG=<file>     a copy of the install log
//   /LANG=zh-CN|zh-TW|en
//   /CLOSEAPPS      unattended: stop a client running from the install folder
//   /LAYOUT=<folder> fetch and check the release into a folder, install nothing
//   /SOURCE=<folder> install from such a folder (local or UNC), no network
//   /?              the usage
//
// Switch names are case-insensitive. A value holding spaces is quoted, the
// switch with it ("/LOG=C:\a b\x.log") or after the '=' (/LOG="C:\a b\x.log");
// /D= takes the rest of the line as it stands. Every switch may appear once.
#include <optional>
#include <string>
#include <string_view>

struct CommandLine {
  bool silent = false;
  bool help = false;
  bool closeApps = false;
  std::wstring installDir;  // empty: the default folder
  std::wstring logCopy;     // empty: none
  std::wstring layoutDir;   // empty: no layout run
  std::wstring sourceDir;   // empty: the object store
  std::optional<unsigned short> language;  // a Windows language id: 2052, 1028, 1033
  std::wstring arguments;  // the line as given, blanks trimmed (for the log)
  // Non-empty: the line cannot be used; what is wrong with it, in English.
  std::wstring error;
};

// The arguments after the program name (wWinMain's command line).
CommandLine ParseCommandLine(std::wstring_view arguments);

// The usage text (English; switch names are the same in every language),
// with `problem` first when not empty.
std::wstring UsageText(const std::wstring& problem);

// A folder fit to be the install folder: an absolute path of a drive
// ("C:\...") or a share ("\\server\share\..."), below the root of either
// (or the root itself with `allowRoot`),
// without wildcard or other characters Windows refuses in names. Returns
// the folder without a trailing separator, or empty when unfit.
std::wstring CheckedInstallFolder(std::wstring_view folder, bool allowRoot = false);
