#pragma once
// The runs the command line asks for: the usage, the folder and log copy
// it names, and an installation without any window.
#include <string>

#include "ui/command_line.h"

// Applies /D= (with the same code-page check as a picked folder) and /LOG=
// (its folder must exist) to the installer's state; nothing is created.
// Call after the default folder layout. False with `problem` set when a
// value cannot be used.
bool ApplyCommandLineFolders(const CommandLine& line, std::wstring& problem);

// /? or an unusable line: the usage in a message box (none with /S).
// Returns the exit code: 0 for /?, the usage error otherwise.
int ShowUsage(const CommandLine& line, const std::wstring& problem);

// The whole installation unattended: no window of any kind and no message
// box; the engine's messages come to this thread as thread messages
// (EngineMessageQueue). Returns the process exit code (engine/exit_codes.h).
int RunUnattended(const CommandLine& line);

// /LAYOUT=: the release fetched and checked into the folder, without any
// window; nothing installed. Returns the process exit code.
int RunLayout(const CommandLine& line);

// The /SOURCE= folder as the engine keeps it (system code page); empty
// without the switch.
std::string SystemText(const std::wstring& folder);

// The exit code of a run of the window: 0 unless it failed.
class TKavimorDlg;
int ExitCodeOfWindowRun(const TKavimorDlg& dlg);
