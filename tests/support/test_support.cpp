#include "support/test_support.h"

#include "platform/handles.h"
#include "support/oss_server.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include <gtest/gtest.h>

namespace testing_support {

namespace {

std::string UniqueName(const std::string& tag) {
  static LONG counter = 0;
  char name[128];
  std::snprintf(name, sizeof name, "kvt_%s_%lu_%ld", tag.c_str(), GetCurrentProcessId(),
                InterlockedIncrement(&counter));
  return name;
}

}  // namespace

ScratchDir::ScratchDir(const std::string& tag) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  std::string base = temp;
  if (!base.empty() && base.back() == '\\') base.pop_back();
  path_ = base + "\\" + UniqueName(tag);
  // Wine reuses process ids: a test that crashed may have left a folder of
  // the same name behind.
  RemoveTree(path_);
  CreateDirectoryA(path_.c_str(), nullptr);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

namespace {

// Wide all the way down: a tree may hold names (installed from the packages'
// code page 936) that the system's code page cannot spell.
void RemoveWideTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveWideTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
  DeleteFileW(path.c_str());
}

}  // namespace

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  const int units = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), units);
  RemoveWideTree(wide);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string ReadWideFileBytes(const std::wstring& path) {
  win::UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  if (!file) return bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  return bytes;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

namespace {
void CollectTree(const std::string& folder, const std::string& relative, const std::set<std::string>& leaveOut,
                 std::map<std::string, std::string>& tree) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = data.cFileName;
    const std::string path = relative.empty() ? name : relative + "\\" + name;
    if (name == "." || name == ".." || leaveOut.count(path)) continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      tree[path] = "<folder>";
      CollectTree(folder + "\\" + name, path, leaveOut, tree);
    } else {
      tree[path] = ReadFileBytes(folder + "\\" + name);
    }
  } while (FindNextFileA(find, &data));
  FindClose(find);
}
}  // namespace

std::map<std::string, std::string> TreeContents(const std::string& folder, const std::set<std::string>& leaveOut) {
  std::map<std::string, std::string> tree;
  CollectTree(folder, "", leaveOut, tree);
  return tree;
}

bool PathExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ProgramFolder() {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string folder = self;
  return folder.substr(0, folder.rfind('\\'));
}

std::string InstallStandInClient(const std::string& folder) {
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string target = folder + "\\kavimor v9.5.exe";
  CopyFileA((ProgramFolder() + "\\kavimor v9.5.exe").c_str(), target.c_str(), FALSE);
  return target;
}

HANDLE StartProgram(const std::string& exe, const std::string& args, const std::string& workDir) {
  std::string command = "\"" + exe + "\"";
  if (!args.empty()) command += " " + args;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      workDir.empty() ? nullptr : workDir.c_str(), &startup, &info))
    return nullptr;
  CloseHandle(info.hThread);
  return info.hProcess;
}

bool WaitForProgram(HANDLE process, DWORD timeoutMs, DWORD* exitCode) {
  if (process == nullptr) return false;
  if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) return GetExitCodeProcess(process, exitCode) != FALSE;
  TerminateProcess(process, 1);
  WaitForSingleObject(process, 5000);
  return false;
}

std::vector<std::string> WaitForStartRecord(const std::string& folder, DWORD pid, DWORD timeoutMs) {
  const std::string record = folder + "\\started-" + std::to_string(pid) + ".txt";
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!PathExists(record) && GetTickCount64() < end) Sleep(20);
  std::vector<std::string> lines;
  std::istringstream in(ReadFileBytes(record));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> WaitForAnyStartRecord(const std::string& folder, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  do {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\started-*.txt").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      FindClose(find);
      const std::string name = data.cFileName;
      return WaitForStartRecord(folder, std::stoul(name.substr(8)), 1000);
    }
    Sleep(20);
  } while (GetTickCount64() < end);
  return {};
}

std::string IniValue(const std::string& file, const char* section, const char* key) {
  char value[260] = {};
  GetPrivateProfileStringA(section, key, "<absent>", value, sizeof value, file.c_str());
  return value;
}

std::vector<ProcessEntry> RunningProcesses() {
  std::vector<ProcessEntry> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    found.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
  CloseHandle(snapshot);
  return found;
}

void StopProcessesOf(const std::string& exePath) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                                 FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    char image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (QueryFullProcessImageNameA(process, 0, image, &size) &&
        lstrcmpiA(image, exePath.c_str()) == 0) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
}

std::vector<std::string> LogFiles(const std::string& logDir) {
  std::vector<std::string> files;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((logDir + "\\*install.log").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do files.push_back(logDir + "\\" + data.cFileName);
    while (FindNextFileA(find, &data));
    FindClose(find);
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool AnyLineStartsWith(const std::vector<std::string>& lines, const std::string& start) {
  for (const std::string& line : lines)
    if (line.rfind(start, 0) == 0) return true;
  return false;
}

std::vector<std::string> LogTexts(const std::string& logDir) {
  std::vector<std::string> texts;
  const auto files = LogFiles(logDir);
  if (files.size() != 1) {
    ADD_FAILURE() << "expected one log file in " << logDir << ", found " << files.size();
    return texts;
  }
  const std::string bytes = ReadFileBytes(files[0]);
  size_t start = 0;
  for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = bytes.substr(start, end - start);
    const size_t tabs = line.find("]\t\t");
    texts.push_back(tabs == std::string::npos ? line : line.substr(tabs + 3));
  }
  return texts;
}

DialogAnswerer::DialogAnswerer(int buttonId, DWORD timeoutMs)
    : DialogAnswerer(buttonId, timeoutMs, nullptr) {}

DialogAnswerer::DialogAnswerer(int buttonId, DWORD timeoutMs, std::function<void(HWND)> look)
    : buttonId_(buttonId), timeoutMs_(timeoutMs), look_(std::move(look)) {
  thread_ = CreateThread(nullptr, 0, &DialogAnswerer::Main, this, 0, nullptr);
}

DialogAnswerer::~DialogAnswerer() { Join(); }

bool DialogAnswerer::Join() {
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  return answered_;
}

namespace {

struct DialogSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindDialog(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<DialogSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t cls[16] = {};
  GetClassNameW(hwnd, cls, 16);
  if (pid == search->pid && lstrcmpW(cls, L"#32770") == 0 && IsWindowVisible(hwnd)) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

std::wstring WindowText(HWND hwnd) {
  wchar_t buffer[2048] = {};
  GetWindowTextW(hwnd, buffer, 2048);
  return buffer;
}

}  // namespace

DWORD WINAPI DialogAnswerer::Main(void* param) {
  auto* self = static_cast<DialogAnswerer*>(param);
  const ULONGLONG end = GetTickCount64() + self->timeoutMs_;
  while (GetTickCount64() < end) {
    DialogSearch search{GetCurrentProcessId(), nullptr};
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) {
      self->caption_ = WindowText(search.found);
      // The message text is the dialog's static control with id 0xFFFF.
      if (HWND label = GetDlgItem(search.found, 0xFFFF)) self->text_ = WindowText(label);
      if (self->look_) {
        Sleep(300);  // painted by the thread that runs the box
        self->look_(search.found);
      }
      // A press that arrives while the box is still being set up can be
      // lost: press until the box has gone.
      for (int attempt = 0; attempt < 50 && IsWindow(search.found); ++attempt) {
        PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(self->buttonId_, BN_CLICKED), 0);
        Sleep(100);
      }
      self->answered_ = !IsWindow(search.found);
      return 0;
    }
    Sleep(50);
  }
  return 0;
}

namespace {

// The Unix name Wine gives a Windows path (kernel32's wine_get_unix_file_name;
// the caller frees it with HeapFree on the process heap).
std::string UnixName(const std::wstring& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  FARPROC raw = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
  if (raw == nullptr) return {};
  Convert convert = nullptr;
  static_assert(sizeof convert == sizeof raw);
  std::memcpy(&convert, &raw, sizeof convert);
  char* name = convert(path.c_str());
  if (name == nullptr) return {};
  std::string text(name);
  HeapFree(GetProcessHeap(), 0, name);
  return text;
}

// The Unix name in single quotes for /bin/sh; Unix names are UTF-8.
std::wstring Quoted(const std::string& unixPath) {
  int length = MultiByteToWideChar(CP_UTF8, 0, unixPath.data(), static_cast<int>(unixPath.size()),
                                   nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, unixPath.data(), static_cast<int>(unixPath.size()), wide.data(),
                      length);
  return L"'" + wide + L"'";
}

// Runs a shell command line on the Unix side. Wine hands a Unix program to
// the host and signals its process at once, so the command leaves a marker
// file when it succeeded and this waits for that marker.
bool RunUnix(const std::wstring& command) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring marker = std::wstring(temp) + L"kvt_unix_done_" + std::to_wstring(GetCurrentProcessId()) +
                        L"_" + std::to_wstring(GetTickCount64());
  std::string markerName = UnixName(marker);
  if (markerName.empty()) return false;
  std::wstring line = L"/bin/sh -c \"" + command + L" && : > " + Quoted(markerName) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int i = 0; i < 200; ++i) {
    if (GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES) {
      DeleteFileW(marker.c_str());
      return true;
    }
    Sleep(25);
  }
  return false;
}

}  // namespace

bool MakeUnixSymlink(const std::wstring& target, const std::wstring& link) {
  std::string from = UnixName(target);
  std::string to = UnixName(link);
  if (from.empty() || to.empty()) return false;
  // -n: never a link inside the folder an existing link leads to.
  if (!RunUnix(L"/bin/ln -sn " + Quoted(from) + L" " + Quoted(to))) return false;
  // The Wine process that stands for the Unix program can end before the
  // program has made the link (seen under load): look for it a while.
  for (int attempt = 0; attempt < 50; ++attempt) {
    const DWORD attributes = GetFileAttributesW(link.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    Sleep(100);
  }
  return false;
}

bool RemoveUnixSymlinksBelow(const std::wstring& folder) {
  std::string name = UnixName(folder);
  if (name.empty()) return false;
  return RunUnix(L"/usr/bin/find " + Quoted(name) + L" -type l -delete");
}

bool RemoveUnixSymlink(const std::wstring& link) {
  std::string name = UnixName(link);
  return !name.empty() && RunUnix(L"test -L " + Quoted(name) + L" && rm " + Quoted(name));
}

bool SetUnixMode(const std::wstring& path, const char* octalMode) {
  std::string name = UnixName(path);
  if (name.empty()) return false;
  std::string mode(octalMode);
  return RunUnix(L"chmod " + std::wstring(mode.begin(), mode.end()) + L" " + Quoted(name));
}

std::map<long, std::string> ReadmeExitCodes() {
  std::map<long, std::string> rows;
  std::istringstream readme(ReadFileBytes(DosPath(RepositoryFile("README.md"))));
  bool inSection = false;
  for (std::string line; std::getline(readme, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("#", 0) == 0) inSection = line == "### Exit codes";
    const size_t tick = line.find('`');
    if (!inSection || line.rfind("| ", 0) != 0 || tick == std::string::npos || line[2] < '0' || line[2] > '9')
      continue;
    rows[std::stol(line.substr(2))] = line.substr(tick + 1, line.find('`', tick + 1) - tick - 1);
  }
  return rows;
}

namespace {

struct WindowOwner {
  DWORD pid;
  DWORD thread;
  std::set<std::wstring>* classes;
};

void NoteWindowOf(HWND hwnd, const WindowOwner& owner) {
  DWORD pid = 0;
  const DWORD thread = GetWindowThreadProcessId(hwnd, &pid);
  if (pid != owner.pid || (owner.thread != 0 && thread != owner.thread)) return;
  wchar_t name[128] = {};
  GetClassNameW(hwnd, name, 128);
  owner.classes->insert(name);
}

}  // namespace

std::set<std::wstring> WindowClassesOf(DWORD pid, DWORD thread) {
  std::set<std::wstring> classes;
  const WindowOwner owner{pid, thread, &classes};
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        NoteWindowOf(hwnd, *reinterpret_cast<const WindowOwner*>(param));
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&owner));
  for (HWND hwnd = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); hwnd != nullptr;
       hwnd = FindWindowExW(HWND_MESSAGE, hwnd, nullptr, nullptr))
    NoteWindowOf(hwnd, owner);
  return classes;
}

}  // namespace testing_support
