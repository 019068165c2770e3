// The layer over TLS: an https:// endpoint is verified against the
// machine's trusted authorities.
#include <windows.h>
#include <wincrypt.h>

#include "oss/oss_fixture.h"

namespace oss_test {
namespace {

const std::string kTlsDir = KAVIMOR_OSS_TLS_DIR;

// Makes this test prefix trust the test authority, as an administrator would
// install a company root.
bool TrustTestAuthority() {
  const std::string pem = testing_support::ReadFileBytes(
      testing_support::DosPath(kTlsDir + "/trusted_ca.pem"));
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                            nullptr))
    return false;
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                            nullptr))
    return false;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (store == nullptr) return false;
  const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(store, 0);
  return added != FALSE;
}

class OssTlsTest : public ::testing::Test {
 protected:
  OssTlsTest() : root_("oss_tls") {
    EXPECT_TRUE(TrustTestAuthority());
    PutObject(root_.path(), "9.5KavimorIE/summary.ini", "[fixstamp]\r\n201805=9.5.9.1\r\n");
  }
  std::unique_ptr<testing_support::OssServerProcess> Serve(const std::string& who) {
    testing_support::OssServerOptions options;
    options.tlsCert = kTlsDir + "/" + who + "_server.pem";
    options.tlsKey = kTlsDir + "/" + who + "_server.key";
    return std::make_unique<testing_support::OssServerProcess>(root_.path(), kBucket, kKeyId,
                                                               kSecret, options);
  }
  testing_support::ScratchDir root_;
};

TEST_F(OssTlsTest, DownloadsFromAServerTheTrustedAuthoritySigned) {
  const auto server = Serve("trusted");
  ASSERT_TRUE(server->running());
  ASSERT_EQ(server->endpoint().rfind("https://127.0.0.1:", 0), 0u);
  OSS::OssClient client(server->endpoint(), kKeyId, kSecret, TestConfiguration());
  EXPECT_TRUE(client.DoesObjectExist(kBucket, "9.5KavimorIE/summary.ini"));
  OSS::GetObjectRequest request(kBucket, "9.5KavimorIE/summary.ini");
  Recorder rec;
  rec.Attach(request);
  const auto outcome = client.GetObject(request);
  ASSERT_TRUE(outcome.isSuccess()) << outcome.error().Code() << " " << outcome.error().Message();
  EXPECT_EQ(rec.Content(), "[fixstamp]\r\n201805=9.5.9.1\r\n");
}

TEST_F(OssTlsTest, RefusesACertificateTheAuthorityDidNotSign) {
  const auto server = Serve("rogue");
  ASSERT_TRUE(server->running());
  OSS::OssClient client(server->endpoint(), kKeyId, kSecret, TestConfiguration());
  OSS::GetObjectRequest request(kBucket, "9.5KavimorIE/summary.ini");
  Recorder rec;
  rec.Attach(request);
  const auto outcome = client.GetObject(request);
  ASSERT_FALSE(outcome.isSuccess());
  EXPECT_TRUE(outcome.error().Code() == "ClientError:200060" ||
              outcome.error().Code() == "ClientError:200035")
      << outcome.error().Code() << " " << outcome.error().Message();
  EXPECT_EQ(rec.factoryCalls, 0);
  EXPECT_FALSE(client.DoesObjectExist(kBucket, "9.5KavimorIE/summary.ini"));
  EXPECT_TRUE(server->RequestLog().empty()) << "no request may pass an unverified channel";
}

}  // namespace
}  // namespace oss_test
