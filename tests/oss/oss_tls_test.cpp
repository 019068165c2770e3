// The layer over TLS: an https:// endpoint is verified against the
// machine's trusted authorities, and the download step says why it refused
// a server.
#include <windows.h>
#include <wincrypt.h>

#include "engine/app_context.h"
#include "engine/client.h"
#include "oss/oss_fixture.h"
#include "platform/install_log.h"
#include "platform/text.h"

namespace oss_test {
namespace {

const std::string kTlsDir = KAVIMOR_OSS_TLS_DIR;
constexpr char kKey[] = "9.5KavimorIE/summary.ini";
constexpr char kManifest[] = "[fixstamp]\r\n201805=9.5.9.1\r\n";

// One GetObject of the manifest that must succeed with its bytes.
void ExpectManifest(const OSS::OssClient& client) {
  OSS::GetObjectRequest request(kBucket, kKey);
  Recorder rec;
  rec.Attach(request);
  const auto outcome = client.GetObject(request);
  ASSERT_TRUE(outcome.isSuccess()) << outcome.error().Code() << " " << outcome.error().Message();
  EXPECT_EQ(rec.Content(), kManifest);
}

class OssTlsTest : public ::testing::Test {
 protected:
  OssTlsTest() : root_("oss_tls"), work_("oss_tls_work") {
    EXPECT_TRUE(TrustTestAuthority(kTlsDir));
    EXPECT_TRUE(TrustTestAuthority(kTlsDir, "user", CERT_SYSTEM_STORE_CURRENT_USER));
    PutObject(root_.path(), kKey, kManifest);
  }
  std::unique_ptr<testing_support::OssServerProcess> Serve(const std::string& who) {
    testing_support::OssServerOptions options;
    options.tlsCert = kTlsDir + "/" + who + "_server.pem";
    options.tlsKey = kTlsDir + "/" + who + "_server.key";
    return std::make_unique<testing_support::OssServerProcess>(root_.path(), kBucket, kKeyId,
                                                               kSecret, options);
  }
  testing_support::ScratchDir root_;
  testing_support::ScratchDir work_;
};

TEST_F(OssTlsTest, DownloadsFromAServerTheTrustedAuthoritySignedOnOneConnection) {
  const auto server = Serve("trusted");
  ASSERT_TRUE(server->running());
  ASSERT_EQ(server->endpoint().rfind("https://127.0.0.1:", 0), 0u);
  OSS::OssClient client(server->endpoint(), kKeyId, kSecret, TestConfiguration());
  // No revocation server can be reached from the test's network: the
  // certificate is accepted without a revocation answer, and the log says
  // so once.
  AppContext& ctx = GetAppContext();
  ctx.logDir = work_ / "log_revocation";
  CreateDirectoryA(ctx.logDir.c_str(), nullptr);
  OpenInstallLog(ctx.logDir);
  EXPECT_TRUE(client.DoesObjectExist(kBucket, kKey));
  for (int round = 0; round < 2; ++round) ExpectManifest(client);
  CloseInstallLog();
  EXPECT_EQ(testing_support::LogTexts(ctx.logDir),
            std::vector<std::string>{
                "Certificate of 127.0.0.1 accepted without a revocation check (revocation server offline)"});
  const auto log = server->RequestLog();
  ASSERT_EQ(log.size(), 3u);
  for (const auto& r : log) EXPECT_EQ(r.clientPort, log[0].clientPort) << "one handshake serves all";
}

TEST_F(OssTlsTest, RefusesCertificatesTheSystemDoesNotAcceptAndSaysWhy) {
  struct Case {
    const char* server;
    const char* reason;
    const char* error = " (error 0x800B";
  };
  const Case cases[] = {
      {"rogue", "the certificate of 127.0.0.1 was issued by an authority this computer does not trust"},
      {"expired", "the certificate of 127.0.0.1 has expired or is not yet valid"},
      {"wronghost", "the certificate presented by 127.0.0.1 was issued for another host name"},
      // A trusted authority's ordinary server certificate for some other
      // domain, used to issue one for this address: Wine's own policy lets
      // it pass.
      {"nonca", "the certificate of 127.0.0.1 was issued by a certificate that is no authority",
       " (error 0x80096019)"},
      // The installer runs elevated: only the machine's authorities count.
      {"userroot", "the certificate of 127.0.0.1 was issued by an authority this computer does not trust"},
  };
  const std::string prefix =
      "Downfile Fail,code:ClientError:200060,message:SSL peer certificate or SSH remote key was not OK.";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    const auto server = Serve(c.server);
    ASSERT_TRUE(server->running());
    OSS::OssClient client(server->endpoint(), kKeyId, kSecret, TestConfiguration());
    OSS::GetObjectRequest request(kBucket, kKey);
    Recorder rec;
    rec.Attach(request);
    const DWORD start = GetTickCount();
    const auto outcome = client.GetObject(request);
    ASSERT_FALSE(outcome.isSuccess());
    EXPECT_EQ(outcome.error().Code(), "ClientError:200060") << outcome.error().Message();
    EXPECT_NE(outcome.error().Message().find(c.reason), std::string::npos) << outcome.error().Message();
    // Retries would wait 300, 600 and 1200 ms in between.
    EXPECT_LT(GetTickCount() - start, 2000u) << "a refused certificate is not retried";
    EXPECT_EQ(rec.factoryCalls, 0);

    // The download step: the reason first, then the usual missing-object line.
    AppContext& ctx = GetAppContext();
    ctx.logDir = work_ / (std::string("log_") + c.server);
    CreateDirectoryA(ctx.logDir.c_str(), nullptr);
    OpenInstallLog(ctx.logDir);
    IClient installer;
    installer.bucket = kBucket;
    installer.ossClient = &client;
    EXPECT_FALSE(installer.DownloadObject(kKey, work_ / "summary.ini"));
    installer.ossClient = nullptr;
    CloseInstallLog();
    const auto lines = testing_support::LogTexts(ctx.logDir);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(prefix + c.reason + c.error, 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].size() - 12), "),requestId:") << lines[0];
    EXPECT_EQ(lines[1], kKey + Gbk(u8",文件不存在"));
    EXPECT_TRUE(server->RequestLog().empty()) << "no request may pass an unverified channel";
  }
}

TEST_F(OssTlsTest, ABodyEndedByTheConnectionIsWholeOnlyAfterCloseNotify) {
  const auto server = Serve("trusted");
  ASSERT_TRUE(server->running());
  struct Row {
    const char* label;
    const char* kind;
    int64_t cutAfter;
    bool whole;
  };
  const Row rows[] = {
      {"closed with close_notify", "close_framed", 0, true},
      {"cut inside the body", "close_framed_cut", 10, false},
      // Every byte, but the end is a bare TCP close anyone could have made.
      {"cut at the body's end", "close_framed_cut", static_cast<int64_t>(sizeof kManifest - 1), false},
  };
  OSS::ClientConfiguration once = TestConfiguration();
  once.retryStrategy = std::make_shared<OSS::DefaultRetryStrategy>(0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    testing_support::OssFault fault{row.kind, kKey, row.cutAfter};
    server->SetFaults({fault});
    OSS::OssClient client(server->endpoint(), kKeyId, kSecret, once);
    OSS::GetObjectRequest request(kBucket, kKey);
    Recorder rec;
    rec.Attach(request);
    const auto outcome = client.GetObject(request);
    EXPECT_EQ(outcome.isSuccess(), row.whole) << outcome.error().Message();
    if (row.whole) {
      EXPECT_EQ(rec.Content(), kManifest);
    } else {
      EXPECT_EQ(outcome.error().Code(), "ClientError:200018");
      EXPECT_NE(outcome.error().Message().find("without TLS close_notify"), std::string::npos)
          << outcome.error().Message();
    }
  }
}

TEST_F(OssTlsTest, AServerClosingDuringTheHandshakeIsRetriedAsAConnectionFailure) {
  const auto server = Serve("trusted");
  ASSERT_TRUE(server->running());
  testing_support::OssFault hangUp{"handshake_close", "*", 0, 2};
  hangUp.method = "TLS";
  server->SetFaults({hangUp});
  ExpectManifest(OSS::OssClient(server->endpoint(), kKeyId, kSecret, TestConfiguration()));
  std::vector<std::string> seen;
  for (const auto& r : server->RequestLog()) seen.push_back(r.method + " " + r.code);
  EXPECT_EQ(seen, (std::vector<std::string>{"TLS HandshakeClosed", "TLS HandshakeClosed", "GET -"}));

  hangUp.times = 0;  // every handshake
  server->SetFaults({hangUp});
  server->ClearLog();
  OSS::OssClient client(server->endpoint(), kKeyId, kSecret, TestConfiguration());
  OSS::GetObjectRequest request(kBucket, kKey);
  const auto outcome = client.GetObject(request);
  ASSERT_FALSE(outcome.isSuccess());
  EXPECT_EQ(outcome.error().Code(), "ClientError:200007") << outcome.error().Message();
  EXPECT_NE(outcome.error().Message().find("during the TLS handshake"), std::string::npos)
      << outcome.error().Message();
  EXPECT_EQ(server->RequestLog().size(), 4u) << "the first attempt and three retries";
}

}  // namespace
}  // namespace oss_test
