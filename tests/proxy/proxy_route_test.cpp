// The object-store layer behind the user's proxy settings, against a real
// proxy: HTTPS is tunnelled with CONNECT and the certificate checked as on
// the direct route (a server the machine does not trust is refused, and no
// request ever goes out in plain text), a host on the bypass list is
// reached directly, and a proxy found by automatic discovery is used.
#include <windows.h>

#include <gtest/gtest.h>

#include "oss/oss_fixture.h"
#include "support/proxy_support.h"
#include "support/test_support.h"

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

// The machine's DNS domain, which automatic discovery derives the wpad
// host from, for the life of the object.
class MachineDnsDomain {
 public:
  explicit MachineDnsDomain(const wchar_t* domain) {
    wchar_t old[256] = {};
    DWORD size = sizeof old;
    hadValue_ =
        RegGetValueW(HKEY_LOCAL_MACHINE, kParameters, L"Domain", RRF_RT_REG_SZ, nullptr, old, &size) == ERROR_SUCCESS;
    old_ = old;
    set_ = Write(domain);
  }
  ~MachineDnsDomain() {
    if (hadValue_) {
      Write(old_.c_str());
    } else {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kParameters, L"Domain");
    }
  }
  MachineDnsDomain(const MachineDnsDomain&) = delete;
  MachineDnsDomain& operator=(const MachineDnsDomain&) = delete;
  bool set() const { return set_; }

 private:
  static constexpr wchar_t kParameters[] = L"System\\CurrentControlSet\\Services\\Tcpip\\Parameters";
  static bool Write(const wchar_t* value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kParameters, L"Domain", REG_SZ, value,
                           static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  bool hadValue_ = false;
  bool set_ = false;
  std::wstring old_;
};

// Automatic discovery as a company network offers it: the host wpad in the
// machine's DNS domain serves the script that names the proxy. Where the
// domain has no such host, the fixed proxy of the same settings carries
// the request. (Needs the test run's own resolver: scripts/netns.sh.)
TEST_F(ProxyRoute, AutomaticDiscoveryFindsTheDomainsScriptOrFallsBackToTheFixedProxy) {
  if (GetEnvironmentVariableW(L"KAVIMOR_NETNS_DNS", nullptr, 0) == 0) {
    GTEST_SKIP() << "the test run has no resolver of its own";
  }
  ASSERT_TRUE(proxy_.running());
  testing_support::ProxyServerProcess wpad("", "", "function FindProxyForURL(url, host) { return \"PROXY {PROXY}\"; }",
                                           "wpad.kavimor.test");
  ASSERT_TRUE(wpad.running());
  const auto server = Serve("");
  ASSERT_TRUE(server->running());
  const std::string head = "HEAD\t" + server->endpoint() + "/";
  UserProxySettings settings(UserProxySettings::kDirect | UserProxySettings::kProxy | UserProxySettings::kAutoDetect,
                             proxy_.address(), "", "");
  struct Case {
    const wchar_t* domain;
    const char* query;
    bool discovered;
  };
  for (const Case& c : {Case{L"kavimor.test", "DNS\twpad.kavimor.test\t1\t1", true},
                        Case{L"elsewhere.test", "DNS\twpad.elsewhere.test\t1\t0", false}}) {
    SCOPED_TRACE(c.query);
    MachineDnsDomain domain(c.domain);
    ASSERT_TRUE(domain.set());
    const size_t wpadBefore = wpad.Requests().size();
    const size_t fixedBefore = proxy_.Requests().size();
    const OSS::OssClient client(server->endpoint(), kKeyId, kSecret, TestConfiguration());
    const auto meta = client.GetObjectMeta(kBucket, kKey);
    EXPECT_TRUE(meta.isSuccess()) << meta.error().Code() << " " << meta.error().Message();
    std::vector<std::string> seen = wpad.Requests();
    seen.erase(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(wpadBefore));
    EXPECT_TRUE(testing_support::AnyLineStartsWith(seen, c.query));
    EXPECT_EQ(testing_support::AnyLineStartsWith(seen, "GET\t/wpad.dat\t200"), c.discovered);
    EXPECT_EQ(testing_support::AnyLineStartsWith(seen, head), c.discovered);
    const std::vector<std::string> fixed = proxy_.Requests();
    EXPECT_EQ(fixed.size() - fixedBefore, c.discovered ? 0u : 1u);
    if (!c.discovered && fixed.size() > fixedBefore) {
      EXPECT_EQ(fixed.back().rfind(head, 0), 0u) << fixed.back();
    }
  }
}

}  // namespace
}  // namespace oss_test
