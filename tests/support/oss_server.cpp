#include "support/oss_server.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/test_support.h"

namespace testing_support {
namespace {

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t end = line.find(sep, start);
    fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return fields;
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  // Written aside and moved into place, so the server never reads half a file.
  const std::string temp = path + ".new";
  WriteFileBytes(temp, bytes);
  MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

std::string UnixPath(const std::string& windowsPath) {
  using Fn = char*(__cdecl*)(const wchar_t*);
  const auto fn = reinterpret_cast<Fn>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
  if (fn == nullptr) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide.data(), n);
  char* unix = fn(wide.c_str());
  if (unix == nullptr) return {};
  std::string out = unix;
  HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

std::string DosPath(const std::string& unixPath) {
  std::string out = "Z:" + unixPath;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

std::string RepositoryFile(const std::string& relative) {
  if (const char* root = std::getenv("KAVIMOR_REPO_ROOT")) return std::string(root) + "/" + relative;
  // This file is compiled from its absolute Linux path.
  std::string self = __FILE__;
  const size_t cut = self.rfind("/tests/support/");
  return self.substr(0, cut) + "/" + relative;
}

ScriptServer::ScriptServer(const std::string& name) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  static LONG counter = 0;
  folder_ = std::string(temp) + name + "_" + std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(InterlockedIncrement(&counter));
  RemoveTree(folder_);
  CreateDirectoryA(folder_.c_str(), nullptr);
  unixFolder_ = UnixPath(folder_);
}

ScriptServer::~ScriptServer() {
  WriteFileBytes(File("stop"), "stop");
  if (port_ != 0) Sleep(400);  // the script looks for the file every 0.2 s
  RemoveTree(folder_);
}

bool ScriptServer::Start(const std::string& script, const std::string& arguments, const std::string& logName,
                         int idleExitSeconds) {
  const std::string command = "/usr/bin/python3 " + Quote(RepositoryFile(script)) + " " + arguments +
                              " --port-file " + Quote(UnixFile("port")) + " --control-dir " + Quote(unixFolder_) +
                              " --log-file " + Quote(UnixFile(logName)) + " --idle-exit " +
                              std::to_string(idleExitSeconds);
  std::wstring wide(command.size() + 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  // Wine hands out no waitable handle for a Linux child; close what it gave.
  if (pi.hThread != nullptr) CloseHandle(pi.hThread);
  if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);

  const std::string portFile = File("port");
  for (int i = 0; i < 200 && port_ == 0; ++i) {
    if (PathExists(portFile)) port_ = static_cast<uint16_t>(std::atoi(ReadFileBytes(portFile).c_str()));
    if (port_ == 0) Sleep(100);
  }
  return port_ != 0;
}

OssServerProcess::OssServerProcess(const std::string& root, const std::string& bucket,
                                   const std::string& keyId, const std::string& keySecret,
                                   const OssServerOptions& options)
    : tls_(!options.tlsCert.empty()) {
  using Q = ScriptServer;
  std::string arguments = "--root " + Q::Quote(UnixPath(root)) + " --bucket " + Q::Quote(bucket) + " --key-id " +
                          Q::Quote(keyId) + " --key-secret " + Q::Quote(keySecret);
  if (tls_) arguments += " --tls-cert " + Q::Quote(options.tlsCert) + " --tls-key " + Q::Quote(options.tlsKey);
  server_.Start("tools/oss_server.py", arguments, "server.log", 300);
}

std::string OssServerProcess::endpoint() const {
  return std::string(tls_ ? "https://" : "http://") + "127.0.0.1:" + std::to_string(port());
}

void OssServerProcess::SetFaults(const std::vector<OssFault>& faults, double clockOffset) {
  char offset[64] = {};
  std::snprintf(offset, sizeof offset, "%.3f", clockOffset);
  std::string json = "{\"clock_offset\": " + std::string(offset) + ", \"faults\": [";
  for (size_t i = 0; i < faults.size(); ++i) {
    const OssFault& f = faults[i];
    char seconds[64] = {};
    std::snprintf(seconds, sizeof seconds, "%.3f", f.seconds);
    json += (i ? ", " : "") + std::string("{\"kind\": ") + JsonString(f.kind) +
            ", \"key\": " + JsonString(f.key) + ", \"value\": " + std::to_string(f.value) +
            ", \"times\": " + std::to_string(f.times) + ", \"seconds\": " + seconds +
            ", \"method\": " + JsonString(f.method) + "}";
  }
  WriteWhole(server_.File("faults.json"), json + "]}\n");
}

std::vector<OssRequestRecord> OssServerProcess::RequestLog() const {
  std::vector<OssRequestRecord> records;
  const std::string path = server_.File("requests.log");
  if (!PathExists(path)) return records;
  for (const std::string& line : Split(ReadFileBytes(path), '\n')) {
    if (line.empty()) continue;
    const std::vector<std::string> f = Split(line, '\t');
    if (f.size() < 8) continue;
    records.push_back({f[0], f[1], f[2], std::atoi(f[3].c_str()), f[4], f[5], f[6], f[7],
                       f.size() > 8 ? std::atoi(f[8].c_str()) : 0,
                       f.size() > 9 ? std::atoll(f[9].c_str()) : 0, f.size() > 10 ? f[10] : std::string()});
  }
  return records;
}

void OssServerProcess::ClearLog() { DeleteFileA(server_.File("requests.log").c_str()); }

}  // namespace testing_support
