#pragma once
// Helpers shared by the Wine tests: private scratch folders, whole-file
// reads, and the programs built next to the tests.
#include <windows.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder under %TEMP% named after the test, removed with its
// contents on destruction. path() is 8-bit (ASCII) text.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

// Removes a tree without the shell (test clean-up must not depend on the
// code under test).
void RemoveTree(const std::string& path);

std::string ReadFileBytes(const std::string& path);
// The same for a UTF-16 path (names that the 8-bit calls cannot spell).
std::string ReadWideFileBytes(const std::wstring& path);
// Every file and folder below `folder`, relative with backslashes, mapped to
// its bytes ("<folder>" for folders); relative names in `leaveOut` are
// skipped with all they hold.
std::map<std::string, std::string> TreeContents(const std::string& folder,
                                                const std::set<std::string>& leaveOut = {});
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool PathExists(const std::string& path);

// Folder of the running test program (where the build puts helper programs).
std::string ProgramFolder();

// Copies the stand-in client into `folder` as "kavimor v9.5.exe".
std::string InstallStandInClient(const std::string& folder);

// Starts a program with the given working folder; the handle is the
// caller's to close.
HANDLE StartProgram(const std::string& exe, const std::string& args, const std::string& workDir);

// Waits up to `timeoutMs` for a started program to end; true, with its exit
// code, when it did. A program still running then is ended and waited for:
// left running, it would hold the test runner's output pipe open until the
// runner's own time-out.
bool WaitForProgram(HANDLE process, DWORD timeoutMs, DWORD* exitCode);

// The lines of the record a stand-in client wrote next to itself; waits up
// to `timeoutMs` for it to appear. Empty when it never did.
std::vector<std::string> WaitForStartRecord(const std::string& folder, DWORD pid, DWORD timeoutMs);

// The same for whichever stand-in client started in `folder` first (its
// pid is not known to the caller). Empty when none started in time.
std::vector<std::string> WaitForAnyStartRecord(const std::string& folder, DWORD timeoutMs);

// A value of an INI file, "<absent>" when the key is not there.
std::string IniValue(const std::string& file, const char* section, const char* key);

// Hostile layouts as a local user makes them, from the Unix side of Wine:
// Wine shows a folder that is a Unix symbolic link inside the prefix as a
// reparse point, and derives file security from Unix modes. Both run a Unix
// command (ln, rm, chmod) through Wine and wait for it; true when it
// succeeded.
bool MakeUnixSymlink(const std::wstring& target, const std::wstring& link);
bool RemoveUnixSymlink(const std::wstring& link);
bool SetUnixMode(const std::wstring& path, const char* octalMode);
// Removes every symbolic link below `folder` (the links themselves, from
// the Unix side: Wine cannot delete one). Tests that make links call it
// before their scratch folders go, or a later test whose process gets the
// same id (Wine reuses them) would find the link in its folder.
bool RemoveUnixSymlinksBelow(const std::wstring& folder);

// One running process as a snapshot sees it.
struct ProcessEntry {
  DWORD pid;
  DWORD parent;
  std::wstring exe;  // file name only
};
std::vector<ProcessEntry> RunningProcesses();

// Terminates every process whose image path is `exePath` (case-insensitive).
void StopProcessesOf(const std::string& exePath);

// The install log files in a log folder (full paths, sorted by name).
std::vector<std::string> LogFiles(const std::string& logDir);
// The texts of the lines of the only log file in `logDir` (what follows the
// "[hh:mm:ss mmm]\t\t" prefix); lines end at CR LF.
std::vector<std::string> LogTexts(const std::string& logDir);
// Whether any of `lines` (log texts, a server's request lines) begins with
// `start`.
bool AnyLineStartsWith(const std::vector<std::string>& lines, const std::string& start);

// The rows of README.md's "### Exit codes" table, "| code | `name` | ... |":
// code to name.
std::map<long, std::string> ReadmeExitCodes();

// Message-box automation for tests: a thread that waits for a dialog of the
// process (window class #32770) and presses the button `buttonId`.
class DialogAnswerer {
 public:
  explicit DialogAnswerer(int buttonId, DWORD timeoutMs = 20000);
  // `look` sees the box once it has been painted, before the answer.
  DialogAnswerer(int buttonId, DWORD timeoutMs, std::function<void(HWND)> look);
  ~DialogAnswerer();
  DialogAnswerer(const DialogAnswerer&) = delete;
  DialogAnswerer& operator=(const DialogAnswerer&) = delete;
  // Waits for the answer to be given; returns the dialog's text (UTF-16)
  // and caption, or empty strings when no dialog came.
  bool Join();
  const std::wstring& text() const { return text_; }
  const std::wstring& caption() const { return caption_; }

 private:
  static DWORD WINAPI Main(void* self);
  int buttonId_;
  DWORD timeoutMs_;
  std::function<void(HWND)> look_;
  HANDLE thread_ = nullptr;
  bool answered_ = false;
  std::wstring text_;
  std::wstring caption_;
};

// The class names of every window a process (or, with `thread` non-zero,
// one of its threads) has now: the desktop's top-level windows and the
// message-only windows, which the desktop's list leaves out.
std::set<std::wstring> WindowClassesOf(DWORD pid, DWORD thread = 0);

}  // namespace testing_support
