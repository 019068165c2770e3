#include "platform/install_log.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <share.h>
#include <string>

#include "platform/process_ops.h"

namespace {

// InstallLogLock guards InstallLog. The worker writes lines and closes the
// log at the end of a successful run while the window closes it on failure
// and at shutdown, which does not wait for the worker: a write that meets a
// close must neither touch a closed file nor lose the close.
std::mutex InstallLogLock;
FILE* InstallLog = nullptr;
std::string InstallLogPath;  // of the run's log file, kept after it is closed
// The copy an administrator asked for (/LOG=), written line for line with
// the log; guarded by InstallLogLock too. Truncated when first opened in a
// run, appended to when the log is opened again.
std::wstring InstallLogCopyPath;
FILE* InstallLogCopy = nullptr;
bool InstallLogCopyStarted = false;

}  // namespace

void OpenInstallLog(const std::string& logDir) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char stamp[260] = {};
  std::snprintf(stamp, sizeof stamp, "%02d%02d%02d%03d", now.wHour, now.wMinute, now.wSecond,
                now.wMilliseconds);
  const std::string path = logDir + "\\" + stamp + "install.log";
  CreateFolderPath(path);

  // No sharing while open: nothing else may change or delete the file.
  FILE* file = _fsopen(path.c_str(), "wb", _SH_DENYRW);
  std::lock_guard<std::mutex> lock(InstallLogLock);
  if (InstallLog != nullptr) std::fclose(InstallLog);
  InstallLog = file;
  InstallLogPath = file != nullptr ? path : std::string();
  if (InstallLogCopy != nullptr) std::fclose(InstallLogCopy);
  InstallLogCopy = nullptr;
  if (!InstallLogCopyPath.empty()) {
    InstallLogCopy = _wfsopen(InstallLogCopyPath.c_str(), InstallLogCopyStarted ? L"ab" : L"wb", _SH_DENYWR);
    InstallLogCopyStarted = true;
  }
}

void SetInstallLogCopy(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(InstallLogLock);
  InstallLogCopyPath = path;
}

namespace {

std::string LogLine(const char* text) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char prefix[260] = {};
  std::snprintf(prefix, sizeof prefix, "[%02d:%02d:%02d %03d]\t\t", now.wHour, now.wMinute,
                now.wSecond, now.wMilliseconds);
  std::string line = prefix;
  line += text;
  line += "\r\n";
  return line;
}

}  // namespace

void WriteLog(const char* text) {
  if (text == nullptr) return;
  const std::string line = LogLine(text);
  std::lock_guard<std::mutex> lock(InstallLogLock);
  if (InstallLog == nullptr) return;
  // One write call per line, so lines of the two threads never interleave.
  std::fwrite(line.data(), line.size(), 1, InstallLog);
  std::fflush(InstallLog);
  if (InstallLogCopy != nullptr) {
    std::fwrite(line.data(), line.size(), 1, InstallLogCopy);
    std::fflush(InstallLogCopy);
  }
}

void AppendToInstallLog(const char* text) {
  if (text == nullptr) return;
  const std::string line = LogLine(text);
  std::lock_guard<std::mutex> lock(InstallLogLock);
  FILE* file = InstallLog;
  if (file == nullptr && !InstallLogPath.empty()) file = _fsopen(InstallLogPath.c_str(), "ab", _SH_DENYRW);
  if (file == nullptr) return;
  std::fwrite(line.data(), line.size(), 1, file);
  std::fflush(file);
  if (file != InstallLog) std::fclose(file);
}

void CloseInstallLog() {
  std::lock_guard<std::mutex> lock(InstallLogLock);
  if (InstallLog != nullptr) std::fclose(InstallLog);
  InstallLog = nullptr;
  if (InstallLogCopy != nullptr) std::fclose(InstallLogCopy);
  InstallLogCopy = nullptr;
}

bool InstallLogIsOpen() {
  std::lock_guard<std::mutex> lock(InstallLogLock);
  return InstallLog != nullptr;
}
