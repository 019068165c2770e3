#include "platform/process_ops.h"

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/handles.h"
#include "platform/install_log.h"
#include "platform/unattended.h"
#include "platform/text.h"

namespace {

bool SameNameIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    wchar_t x = *a;
    wchar_t y = *b;
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
    if (x != y) return false;
    if (x == L'\0') return true;
  }
}

std::wstring NormalisedPath(const std::wstring& path) {
  if (path.empty()) return path;
  std::wstring full(path.size() + MAX_PATH, L'\0');
  DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    full.resize(length);
    length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  // Doubled separators (a drive root picked as the install folder gives
  // "C:\\Kavimor...") name the same file; the loader reports the image with
  // single ones. The leading pair of a UNC name stays.
  std::wstring out;
  for (size_t i = 0; i < full.size(); ++i)
    if (!(i > 1 && full[i] == L'\\' && out.back() == L'\\')) out += full[i];
  return out;
}

// Full path of the process image: the first entry of its module list,
// compared in its normalised form (letter case kept).
bool ImagePathIs(DWORD pid, const std::wstring& expected) {
  win::UniqueHandle modules(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
  if (!modules) return false;
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof entry;
  if (!Module32FirstW(modules.get(), &entry)) return false;
  return expected == NormalisedPath(entry.szExePath);
}

// Whether something (folder or file) exists under a prefix that ends in a
// backslash. A file is not found under its name with a trailing backslash,
// so the name is asked without it, except for roots ("\\", "\\\\", "C:\\").
// `doubled`: the byte before the last backslash is a separator too (not the
// trail byte of a double-byte character).
bool PrefixExists(const char* prefix, size_t length, bool doubled) {
  std::string name(prefix, length);
  if (length > 1 && name[length - 2] != ':' && !doubled) name.pop_back();
  return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The folder is text of the system's code page; the caption is the
// program's own Chinese text, which the 8-bit call would read in that code
// page too and garble outside mainland China.
void ShowFolderFailure(const std::string& folder) {
  if (UnattendedRun()) {
    WriteLog(("Folder cannot be created: " + LogTextOfPath(folder)).c_str());
    return;
  }
  MessageBoxW(nullptr, WideFromCodePage(folder, CP_ACP, 32768).c_str(), Wide(u8"提示").c_str(), MB_OK);
}

// The first process (in snapshot order) running installDir\exeName.
bool FindClientProcess(const std::string& installDir, const wchar_t* exeName, DWORD& match) {
  const std::wstring folder = WideFromCodePage(installDir, CP_ACP, 2046);
  // A folder too long to convert would leave "\<name>", which normalises to
  // the root of the current drive: another folder.
  if (folder.empty() && !installDir.empty()) return false;
  const std::wstring expected = NormalisedPath(folder + L"\\" + exeName);

  win::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (SameNameIgnoringAsciiCase(entry.szExeFile, exeName) &&
        ImagePathIs(entry.th32ProcessID, expected)) {
      match = entry.th32ProcessID;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ClientRunsFrom(const std::string& installDir, const wchar_t* exeName) {
  DWORD match = 0;
  return FindClientProcess(installDir, exeName, match);
}

void KillRunningClient(const std::string& installDir, const wchar_t* exeName) {
  DWORD match = 0;
  if (!FindClientProcess(installDir, exeName, match)) return;

  // SYNCHRONIZE as well as PROCESS_TERMINATE: without it the wait below
  // would return at once instead of waiting for the process to go.
  win::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, match));
  if (process) {
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 5000);
  }
  // The client's files stay locked a little after its process has gone.
  Sleep(2500);
}

bool CreateFolderPath(const std::string& path) {
  // CreateDirectoryA reads the path in the system's code page, so that is
  // where its separators are.
  const std::vector<size_t> separators = PathSeparators(path, SystemCodePage());
  for (size_t i = 0; i < separators.size(); ++i) {
    const size_t pos = separators[i];
    char prefix[260] = {};
    if (pos + 1 >= sizeof prefix) {
      // A prefix that does not fit is reported like any folder that cannot
      // be made, instead of creating a cut-off name.
      ShowFolderFailure(path.substr(0, pos + 1));
      return false;
    }
    std::memcpy(prefix, path.data(), pos + 1);
    if (PrefixExists(prefix, pos + 1, i > 0 && separators[i - 1] + 1 == pos)) continue;
    if (!CreateDirectoryA(prefix, nullptr)) {
      ShowFolderFailure(prefix);
      return false;
    }
  }
  return true;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool DeletePath(const std::string& path) {
  // The shell wants a list of names ending in two NULs.
  std::vector<char> from(path.size() + 2, '\0');
  std::snprintf(from.data(), from.size(), "%s", path.c_str());
  SHFILEOPSTRUCTA op{};
  op.hwnd = nullptr;
  op.wFunc = FO_DELETE;
  op.pFrom = from.data();
  op.pTo = nullptr;
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
  op.lpszProgressTitle = nullptr;
  return SHFileOperationA(&op) == 0;
}

bool LaunchClient(const std::string& installDir) {
  const std::string commandLine = "\"" + installDir + "\\" + kClientExeName + "\" end";
  std::wstring command = WideFromCodePage(commandLine, CP_ACP, 2048);
  const std::wstring folder = WideFromCodePage(installDir, CP_ACP, 2048);
  // A command line or folder that does not fit is not started with a cut
  // or empty text.
  if (command.empty() || (folder.empty() && !installDir.empty())) return false;

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                                      CREATE_NEW_CONSOLE, nullptr,
                                      folder.empty() ? nullptr : folder.c_str(), &startup, &info);
  if (started) {
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  return started != FALSE;
}
