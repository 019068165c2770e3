#pragma once
// The package cache as tests see it: the trusted folder that belongs to an
// install folder (so that a test starts without what an earlier run of the
// same scratch path left there), and the server's request log once its
// last line is in (the server logs a request after its body went out).
#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "engine/download.h"
#include "platform/text.h"
#include "support/oss_server.h"
#include "support/test_support.h"

namespace testing_support {

inline std::wstring PackageCacheFolder(const std::string& installDir) {
  PWSTR raw = nullptr;
  std::wstring base;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DONT_VERIFY, nullptr, &raw))) base = raw;
  CoTaskMemFree(raw);
  return base + L"\\Kavimor\\" + PackageCacheFolderName(WideFromCodePage(installDir, CP_ACP, 32768));
}

// Removes the cache of an install folder. A link in its place (one whose
// target is gone too, which Windows calls cannot see) goes by the Unix
// side's rm, which removes the link and never what it points to.
inline void ForgetPackageCache(const std::string& installDir) {
  const std::wstring folder = PackageCacheFolder(installDir);
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    RemoveTree(NarrowToCodePage(folder, CP_ACP, 32768));
    return;
  }
  using Convert = char*(CDECL*)(const wchar_t*);
  FARPROC raw = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
  if (raw == nullptr) return;
  Convert convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(raw));
  char* name = convert(folder.c_str());
  if (name == nullptr) return;
  std::wstring command = L"/bin/rm -f \"" + WideFromCodePage(name, CP_UTF8, 32768) + L"\"";
  HeapFree(GetProcessHeap(), 0, name);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return;
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // Wine may report the Unix program ended before it did.
  for (int i = 0; i < 100 && GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
}

// The log line of an object fetched whole: "Fetched <prefix>/<key>,whole,
// network bytes:<its size>", the size read from the release folder that
// serves it (`key` with '/', below the prefix).
inline std::string FetchedWholeLine(const std::string& releaseFolder, const std::string& prefix,
                                    const std::string& key) {
  std::string file = key;
  for (char& c : file)
    if (c == '/') c = '\\';
  return "Fetched " + prefix + "/" + key + ",whole,network bytes:" +
         std::to_string(ReadFileBytes(releaseFolder + "\\" + file).size());
}

inline std::vector<OssRequestRecord> SettledRequestLog(const OssServerProcess& server) {
  std::vector<OssRequestRecord> log = server.RequestLog();
  for (int i = 0; i < 20; ++i) {
    Sleep(50);
    std::vector<OssRequestRecord> again = server.RequestLog();
    if (again.size() == log.size()) return again;
    log = std::move(again);
  }
  return log;
}

}  // namespace testing_support
