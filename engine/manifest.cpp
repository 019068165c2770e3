// The remote manifest summary.ini and the local version record update.ini.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "engine/app_context.h"
#include "engine/client.h"

namespace {

// Leading blanks, an optional sign, then digits up to the first non-digit;
// no digits give 0. Done by hand so that a stamp too long for 64 bits stops
// growing instead of overflowing.
int64_t ParseStamp(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint64_t value = 0;
  constexpr uint64_t kLimit = static_cast<uint64_t>(INT64_MAX);
  for (; *p >= '0' && *p <= '9'; ++p) {
    const uint64_t next = value * 10 + static_cast<uint64_t>(*p - '0');
    if (next > kLimit + (negative ? 1 : 0) || next / 10 != value) {
      value = kLimit + (negative ? 1 : 0);
      break;
    }
    value = next;
  }
  if (negative) return value > kLimit ? INT64_MIN : -static_cast<int64_t>(value);
  return static_cast<int64_t>(value);
}

}  // namespace

bool IClient::FetchManifest() {
  // A signed release is checked before anything of it is read.
  if (!releaseKey.empty() && !FetchReleaseIndex()) return false;
  AppContext& ctx = GetAppContext();
  const std::string key = remotePrefix + "/summary.ini";
  const std::string localFile = ctx.stagingDir + "/summary.ini";
  if (!DownloadObject(key, localFile)) return false;

  char stamp[101] = {};
  GetPrivateProfileStringA("cfgstamp", "time", "", stamp, sizeof stamp, localFile.c_str());
  configStamp = ParseStamp(stamp);

  // The version fields hold 20 characters; a longer value is cut to them.
  std::memset(fixVersion, 0, sizeof fixVersion);
  GetPrivateProfileStringA("fixstamp", ctx.packageId.c_str(), "", fixVersion, sizeof fixVersion,
                           localFile.c_str());
  std::memset(quantVersion, 0, sizeof quantVersion);
  GetPrivateProfileStringA("quant", ctx.packageId.c_str(), "", quantVersion, sizeof quantVersion,
                           localFile.c_str());

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
