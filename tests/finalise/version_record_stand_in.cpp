// Link-time stand-in for the version record and the object-store layer's
// shutdown: what the finalisation relies on from them, and nothing more.
#include <windows.h>

#include <cstdio>
#include <string>

#include "engine/app_context.h"
#include "engine/client.h"
#include "network/oss_sdk.h"

namespace AlibabaCloud::OSS {
void InitializeSdk() {}
void ShutdownSdk() {}
}  // namespace AlibabaCloud::OSS

void IClient::WriteVersionRecord() {
  const std::string file = GetAppContext().stagingDir + "\\update.ini";
  char stamp[101] = {};
  std::snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(configStamp));
  WritePrivateProfileStringA("cfgstamp", "time", stamp, file.c_str());
  WritePrivateProfileStringA("version", "cur", fixVersion, file.c_str());
  WritePrivateProfileStringA("version", "quant", quantVersion, file.c_str());
  GetAppContext().currentVersion = fixVersion;
}

// These finalisations run without a release key: nothing to record.
void IClient::RecordInstalledRelease() {}
