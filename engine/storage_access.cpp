// Run-time credentials, endpoint and bucket, and the one object-store
// client of the run.
#include "engine/client.h"
#include "kavimor_deployment.h"
#include "kavimor_release_key.h"
#include "network/oss_sdk.h"

void IClient::PrepareStorageAccess() {
  // The key pair is never stored whole in the program: the carrier hides it
  // behind three filler characters and interleaves the two keys.
  const std::string full(kCredentialsCarrier, sizeof kCredentialsCarrier - 1);
  const std::string carrier = full.substr(0, 1) + full.substr(4);
  accessKeyId.clear();
  accessKeySecret.clear();
  for (size_t i = 0; i < carrier.size(); ++i) {
    bool secret = false;
    for (const int position : kSecretPositions) {
      if (static_cast<size_t>(position) == i) {
        secret = true;
        break;
      }
    }
    (secret ? accessKeySecret : accessKeyId) += carrier[i];
  }
  endpoint = kOssEndpoint;
  bucket = kOssBucket;
  // The build checked the keys' form; empty when releases are not signed
  // (and the next key empty outside a key rotation).
  releaseKey.clear();
  BytesOfHex(kReleasePublicKeyHex, &releaseKey);
  nextReleaseKey.clear();
  BytesOfHex(kReleaseNextPublicKeyHex, &nextReleaseKey);
  wantDependPackage = false;
  plannedDownloads = 5;
  finishedDownloads = 0;
}

void CreateStorageClient(IClient& client) {
  AlibabaCloud::OSS::InitializeSdk();
  const AlibabaCloud::OSS::ClientConfiguration configuration;
  client.ossClient = new AlibabaCloud::OSS::OssClient(client.endpoint, client.accessKeyId,
                                                      client.accessKeySecret, configuration);
}
