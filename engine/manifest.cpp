// The remote manifest summary.ini and the local version record update.ini.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "engine/app_context.h"
#include "engine/client.h"
#include "engine/layout.h"
#include "engine/manifest_values.h"
#include "platform/handles.h"
#include "platform/install_log.h"

namespace {

// The whole of an open file from its start.
std::string ReadOpenFile(HANDLE file) {
  std::string bytes;
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  return bytes;
}

// The downloaded file as far as it can be read (a file that vanished
// reads as empty, which names no version and so fails the check).
std::string ReadWholeFile(const std::string& path) {
  win::UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  return file ? ReadOpenFile(file.get()) : std::string();
}

}  // namespace

bool IClient::FetchManifest() {
  // A signed release is checked before anything of it is read. A build
  // without a release key says so in every log.
  if (releaseKey.empty())
    WriteLog("release verification off");
  else if (!FetchReleaseIndex())
    return false;
  // A layout without a signed index is checked against its own record.
  if (releaseKey.empty() && !localSource.empty() && !LoadLayoutRecord(*this)) return false;
  AppContext& ctx = GetAppContext();
  const std::string key = remotePrefix + "/summary.ini";
  const std::string localFile = ctx.stagingDir + "/summary.ini";
  if (!DownloadObject(key, localFile)) return false;

  // Read the way the profile functions read it, then checked: the
  // versions become file names in the staging folder and object keys.
  ManifestValues values;
  std::string problem;
  // A checked manifest is read through the handle its check read.
  const HANDLE checked = CheckedPackage(localFile);
  std::string text = checked != nullptr ? ReadOpenFile(checked) : ReadWholeFile(localFile);
  ReleaseCheckedPackage(localFile);
  if (!ReadManifest(std::move(text), ctx.packageId, &values, &problem)) {
    WriteLog(problem.c_str());
    return false;
  }
  configStamp = values.configStamp;
  std::memset(fixVersion, 0, sizeof fixVersion);
  std::memcpy(fixVersion, values.fixVersion.data(), values.fixVersion.size());
  std::memset(quantVersion, 0, sizeof quantVersion);
  std::memcpy(quantVersion, values.quantVersion.data(), values.quantVersion.size());

  hasQuant = false;
  if (quantVersion[0] != '\0') {
    hasQuant = true;
    ++plannedDownloads;
  }
  return true;
}

void IClient::WriteVersionRecord() {
  AppContext& ctx = GetAppContext();
  const std::string file = ctx.stagingDir + "\\update.ini";
  char stamp[101] = {};
  std::snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(configStamp));
  WritePrivateProfileStringA("cfgstamp", "time", stamp, file.c_str());
  WritePrivateProfileStringA("version", "cur", fixVersion, file.c_str());
  WritePrivateProfileStringA("version", "quant", quantVersion, file.c_str());
  ctx.currentVersion = fixVersion;
}
