#pragma once
// Shared pieces of the object-store tests: a scratch bucket folder served by
// the local server, objects written into it, and a recording download.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "network/oss_sdk.h"
#include "support/oss_server.h"
#include "support/test_support.h"

namespace oss_test {

namespace OSS = AlibabaCloud::OSS;

inline constexpr char kBucket[] = "kavimor-test";
inline constexpr char kKeyId[] = "LTAI5tTestKeyId000000001";
inline constexpr char kSecret[] = "TestSecret/With+Odd=Chars 0123";

std::wstring WideUtf8(const std::string& utf8);

// Writes `bytes` as the object `key` (UTF-8, '/'-separated) under `root`.
void PutObject(const std::string& root, const std::string& key, const std::string& bytes);

// Bytes i mod 251, a pattern that shows any shift or repeat.
std::string Pattern(size_t size);

// What one GetObject call did to its stream factory and progress handler.
struct Recorder {
  int factoryCalls = 0;
  std::shared_ptr<OSS::StringStream> stream;
  int64_t increments = 0;
  int64_t lastTransferred = -1;
  int64_t lastTotal = -1;
  int progressCalls = 0;

  void Attach(OSS::GetObjectRequest& request);
  std::string Content() const { return stream ? stream->str() : std::string(); }
};

// A quick configuration for fault tests: short timeouts stay the test's
// choice, the retry rules stay the default ones.
OSS::ClientConfiguration TestConfiguration();

// Makes this test prefix trust the test authority `name` of `tlsDir` (Linux
// path of the build's test certificates), as an administrator would install
// a company root; or, in the current user's store, as a user (or a program
// running as the user) would add one to the user's own store.
bool TrustTestAuthority(const std::string& tlsDir, const char* name = "trusted",
                        DWORD location = CERT_SYSTEM_STORE_LOCAL_MACHINE);

class OssServerTest : public ::testing::Test {
 protected:
  OssServerTest();
  std::unique_ptr<testing_support::ScratchDir> root_;
  std::unique_ptr<testing_support::OssServerProcess> server_;

  std::unique_ptr<OSS::OssClient> Client(const OSS::ClientConfiguration& conf = TestConfiguration(),
                                         const std::string& id = kKeyId,
                                         const std::string& secret = kSecret) const {
    return std::make_unique<OSS::OssClient>(server_->endpoint(), id, secret, conf);
  }
  // Requests of one method for one key in the server's log.
  int Count(const std::string& method, const std::string& key) const;
};

}  // namespace oss_test
