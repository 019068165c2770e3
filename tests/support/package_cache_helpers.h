#pragma once
// The package cache as tests see it: the trusted folder that belongs to an
// install folder (so that a test starts without what an earlier run of the
// same scratch path left there), and the server's request log once its
// last line is in (the server logs a request after its body went out).
#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "support/oss_server.h"
#include "support/test_support.h"
#include "transfer/download.h"

namespace testing_support {

inline std::wstring PackageCacheFolder(const std::string& installDir) {
  PWSTR raw = nullptr;
  std::wstring base;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DONT_VERIFY, nullptr, &raw))) base = raw;
  CoTaskMemFree(raw);
  return base + L"\\Kavimor\\" + PackageCacheFolderName(WideFromCodePage(installDir, CP_ACP, 32768));
}

// Removes the cache of an install folder (a link in its place too).
inline void ForgetPackageCache(const std::string& installDir) {
  const std::wstring folder = PackageCacheFolder(installDir);
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    RemoveDirectoryW(folder.c_str());
    DeleteFileW(folder.c_str());
    return;
  }
  RemoveTree(NarrowToCodePage(folder, CP_ACP, 32768));
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
