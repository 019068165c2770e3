// The object-store layer behind the user's proxy settings, against a real
// proxy: HTTPS is tunnelled with CONNECT and the certificate checked as on
// the direct route (a server the machine does not trust is refused, and no
// request ever goes out in plain text), and a host on the bypass list is
// reached directly.
#include <windows.h>

#include <gtest/gtest.h>

#include "oss/oss_fixture.h"
#include "support/proxy_support.h"

namespace oss_test {
namespace {

const std::string kTlsDir = KAVIMOR_OSS_TLS_DIR;
constexpr char kKey[] = "9.5KavimorIE/summary.ini";
constexpr char kManifest[] = "[fixstamp]\r\n201805=9.5.9.1\r\n";

using testing_support::UserProxySettings;

class ProxyRoute : public ::testing::Test {
 protected:
  ProxyRoute() : root_("proxy_route") {
    EXPECT_TRUE(TrustTestAuthority(kTlsDir));
    PutObject(root_.path(), kKey, kManifest);
  }
  std::unique_ptr<testing_support::OssServerProcess> Serve(const std::string& who) {
    testing_support::OssServerOptions options;
    if (!who.empty()) {
      options.tlsCert = kTlsDir + "/" + who + "_server.pem";
      options.tlsKey = kTlsDir + "/" + who + "_server.key";
    }
    return std::make_unique<testing_support::OssServerProcess>(root_.path(), kBucket, kKeyId, kSecret, options);
  }
  static std::vector<std::string> Methods(const std::vector<std::string>& requests) {
    std::vector<std::string> methods;
    for (const std::string& r : requests) methods.push_back(r.substr(0, r.find('\t')));
    return methods;
  }
  testing_support::ScratchDir root_;
  testing_support::ProxyServerProcess proxy_{"", "", ""};
};

TEST_F(ProxyRoute, HttpsGoesThroughConnectAndOnlyToATrustedServer) {
  ASSERT_TRUE(proxy_.running());
  UserProxySettings settings(UserProxySettings::kDirect | UserProxySettings::kProxy, proxy_.address(), "", "");
  struct Case {
    const char* server;
    bool succeeds;
  };
  for (const Case& c : {Case{"trusted", true}, Case{"rogue", false}, Case{"expired", false}}) {
    SCOPED_TRACE(c.server);
    const auto server = Serve(c.server);
    ASSERT_TRUE(server->running());
    const size_t before = proxy_.Requests().size();
    const OSS::OssClient client(server->endpoint(), kKeyId, kSecret, TestConfiguration());
    OSS::GetObjectRequest request(kBucket, kKey);
    Recorder rec;
    rec.Attach(request);
    const auto outcome = client.GetObject(request);
    EXPECT_EQ(outcome.isSuccess(), c.succeeds) << outcome.error().Code() << " " << outcome.error().Message();
    if (c.succeeds) {
      EXPECT_EQ(rec.Content(), kManifest);
    } else {
      // Refused as a TLS failure, which the download step logs as such.
      // Wine's WinHTTP reports the refused certificate as a channel error.
      const std::string code = outcome.error().Code();
      EXPECT_TRUE(code == "ClientError:" + std::to_string(OSS::kPeerFailedVerification) ||
                  code == "ClientError:" + std::to_string(OSS::kSslConnectError))
          << code << " " << outcome.error().Message();
      std::printf("%s refused: %s %s\n", c.server, code.c_str(), outcome.error().Message().c_str());
      EXPECT_EQ(server->RequestLog().size(), 0u) << "nothing reached the server past the handshake";
    }
    const std::vector<std::string> requests = proxy_.Requests();
    ASSERT_GT(requests.size(), before);
    for (size_t i = before; i < requests.size(); ++i)
      EXPECT_EQ(requests[i].rfind("CONNECT\t127.0.0.1:" + std::to_string(server->port()) + "\t200", 0), 0u)
          << requests[i];
  }
}

TEST_F(ProxyRoute, TheBypassListAndThePlainRouteFollowTheSettings) {
  ASSERT_TRUE(proxy_.running());
  const auto server = Serve("");
  ASSERT_TRUE(server->running());
  {
    // The fixed proxy carries plain requests in absolute form.
    UserProxySettings settings(UserProxySettings::kProxy, proxy_.address(), "<local>;*.example", "");
    const OSS::OssClient client(server->endpoint(), kKeyId, kSecret, TestConfiguration());
    const auto meta = client.GetObjectMeta(kBucket, kKey);
    EXPECT_TRUE(meta.isSuccess()) << meta.error().Code() << " " << meta.error().Message();
    const std::vector<std::string> requests = proxy_.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("HEAD\t" + server->endpoint() + "/", 0), 0u) << requests[0];
  }
  {
    // The server's address on the bypass list: straight there.
    UserProxySettings settings(UserProxySettings::kProxy, proxy_.address(), "*.example;127.0.0.*", "");
    const OSS::OssClient client(server->endpoint(), kKeyId, kSecret, TestConfiguration());
    EXPECT_TRUE(client.DoesObjectExist(kBucket, kKey));
    EXPECT_EQ(proxy_.Requests().size(), 1u);
  }
}

}  // namespace
}  // namespace oss_test
