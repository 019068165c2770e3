// The object-store layer against the local server over loopback HTTP:
// signing, errors, retries, clock skew, CRC, timeouts and streaming.
#include <windows.h>
#include <winhttp.h>

#include "network/crc64.h"
#include "network/oss_hmac.h"
#include "oss/oss_fixture.h"
#include "platform/handles.h"

namespace oss_test {
namespace {

const std::string kChineseKey = reinterpret_cast<const char*>(u8"安装包/中文 文件.zip");

TEST_F(OssServerTest, SignedRequestsAreAcceptedForEveryKindOfKey) {
  const std::vector<std::string> keys = {
      "plain.txt", "9.5KavimorIE/fix/9.5.9.1.zip", "packages/My App 1.0.zip", kChineseKey,
      "a+b=c&d;e,f(1).txt", "tilde~under_score-dot.txt"};
  for (size_t i = 0; i < keys.size(); ++i) PutObject(root_->path(), keys[i], Pattern(1000 + i));
  const auto client = Client();
  for (size_t i = 0; i < keys.size(); ++i) {
    SCOPED_TRACE(keys[i]);
    EXPECT_TRUE(client->DoesObjectExist(kBucket, keys[i]));
    const auto meta = client->GetObjectMeta(kBucket, keys[i]);
    ASSERT_TRUE(meta.isSuccess()) << meta.error().Code();
    EXPECT_EQ(meta.result().ContentLength(), static_cast<int64_t>(1000 + i));
    const std::string expected = Pattern(1000 + i);
    EXPECT_EQ(meta.result().CRC64(), OSS::CalcCRC64(0, expected.data(), expected.size()));

    OSS::GetObjectRequest request(kBucket, keys[i]);
    Recorder rec;
    rec.Attach(request);
    const auto outcome = client->GetObject(request);
    ASSERT_TRUE(outcome.isSuccess()) << outcome.error().Code() << " " << outcome.error().Message();
    EXPECT_EQ(rec.Content(), expected);
    EXPECT_EQ(outcome.result().RequestId().size(), 24u);
    EXPECT_EQ(Count("GET", keys[i]), 1);
    EXPECT_EQ(Count("HEAD", keys[i]), 2);
  }
  for (const auto& r : server_->RequestLog()) {
    EXPECT_EQ(r.contentType, "application/xml");  // sent, and signed, on every request
    EXPECT_EQ(r.query, r.method == "HEAD" ? "objectMeta" : "");
  }
}

TEST_F(OssServerTest, WrongCredentialsAreRefusedWithoutRetry) {
  PutObject(root_->path(), "a/b.bin", Pattern(100));
  struct Case {
    const char* id;
    const char* secret;
    const char* code;
    const char* message;
  };
  const Case cases[] = {
      {kKeyId, "TestSecret/With+Odd=Chars 0124", "SignatureDoesNotMatch",
       "The request signature we calculated does not match the signature you provided. "
       "Check your key and signing method."},
      {"LTAI5tSomebodyElse000001", kSecret, "InvalidAccessKeyId",
       "The OSS Access Key Id you provided does not exist in our records."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    server_->ClearLog();
    const auto client = Client(TestConfiguration(), c.id, c.secret);
    OSS::GetObjectRequest request(kBucket, "a/b.bin");
    Recorder rec;
    rec.Attach(request);
    const auto outcome = client->GetObject(request);
    ASSERT_FALSE(outcome.isSuccess());
    EXPECT_EQ(outcome.error().Code(), c.code);
    EXPECT_EQ(outcome.error().Message(), c.message);
    EXPECT_EQ(outcome.error().RequestId().size(), 24u);
    EXPECT_EQ(rec.factoryCalls, 0) << "an error body reached the caller's stream";
    EXPECT_EQ(Count("GET", "a/b.bin"), 1);
    // A HEAD has no body: the code is the bare status.
    const auto meta = client->GetObjectMeta(kBucket, "a/b.bin");
    ASSERT_FALSE(meta.isSuccess());
    EXPECT_EQ(meta.error().Code(), "ServerError:403");
    EXPECT_EQ(meta.error().Message(), "");
    EXPECT_EQ(meta.error().RequestId().size(), 24u);
    EXPECT_FALSE(client->DoesObjectExist(kBucket, "a/b.bin"));
    EXPECT_EQ(Count("HEAD", "a/b.bin"), 2);
  }
}

// One GET made by hand, so that a header can differ from the signed one.
DWORD RawGet(uint16_t port, const std::string& path, const std::string& signedType,
             const std::string& sentType, const std::string& canonical) {
  const std::string date = OSS::ToGmtTime(std::time(nullptr));
  OSS::HeaderCollection signedHeaders{{"Content-Type", signedType}, {"Date", date}};
  const std::string auth =
      std::string("OSS ") + kKeyId + ":" +
      OSS::SignV1(kSecret, OSS::StringToSign("GET", signedHeaders, canonical));
  struct Traits {
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { WinHttpCloseHandle(h); }
  };
  win::Owner<Traits> session(WinHttpOpen(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
  win::Owner<Traits> connection(WinHttpConnect(session.get(), L"127.0.0.1", port, 0));
  win::Owner<Traits> request(WinHttpOpenRequest(connection.get(), L"GET", WideUtf8(path).c_str(),
                                                nullptr, nullptr, nullptr, WINHTTP_FLAG_ESCAPE_DISABLE));
  const std::wstring headers = WideUtf8("Content-Type: " + sentType + "\r\nDate: " + date +
                                        "\r\nAuthorization: " + auth + "\r\n");
  if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                          nullptr, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr))
    return 0;
  DWORD status = 0, size = sizeof status;
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      nullptr, &status, &size, nullptr);
  return status;
}

TEST_F(OssServerTest, AChangedHeaderBreaksTheSignature) {
  PutObject(root_->path(), "k.bin", "x");
  const std::string path = std::string("/") + kBucket + "/k.bin";
  const std::string canonical = std::string("/") + kBucket + "/k.bin";
  EXPECT_EQ(RawGet(server_->port(), path, "application/xml", "application/xml", canonical), 200u);
  EXPECT_EQ(RawGet(server_->port(), path, "application/xml", "text/plain", canonical), 403u);
  EXPECT_EQ(RawGet(server_->port(), path, "application/xml", "application/xml",
                   std::string("/") + kBucket + "/other.bin"), 403u);
  const auto log = server_->RequestLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].code, "SignatureDoesNotMatch");
  EXPECT_EQ(log[2].code, "SignatureDoesNotMatch");
}

TEST_F(OssServerTest, MissingObjectsAreReportedNotRetried) {
  const auto client = Client();
  OSS::GetObjectRequest request(kBucket, "no/such.zip");
  Recorder rec;
  rec.Attach(request);
  const auto outcome = client->GetObject(request);
  ASSERT_FALSE(outcome.isSuccess());
  EXPECT_EQ(outcome.error().Code(), "NoSuchKey");
  EXPECT_EQ(outcome.error().Message(), "The specified key does not exist.");
  EXPECT_EQ(outcome.error().RequestId().size(), 24u);
  EXPECT_EQ(rec.factoryCalls, 0);
  const auto meta = client->GetObjectMeta(kBucket, "no/such.zip");
  ASSERT_FALSE(meta.isSuccess());
  EXPECT_EQ(meta.error().Code(), "ServerError:404");
  EXPECT_EQ(meta.error().RequestId().size(), 24u);
  EXPECT_EQ(Count("GET", "no/such.zip"), 1);
  EXPECT_EQ(Count("HEAD", "no/such.zip"), 1);
  // Names the service would refuse never leave the client.
  EXPECT_EQ(client->GetObjectMeta("Bad_Bucket", "k").error().Code(), "ValidateError");
  EXPECT_EQ(client->GetObjectMeta(kBucket, "").error().Code(), "ValidateError");
  EXPECT_EQ(server_->RequestLog().size(), 2u);
}

TEST(OssUnreachable, ARefusedConnectionIsRetriedThenReported) {
  // Port 1 on the loopback: nothing listens there.
  OSS::OssClient client("127.0.0.1:1", kKeyId, kSecret, TestConfiguration());
  OSS::GetObjectRequest request(kBucket, "k.bin");
  const DWORD start = GetTickCount();
  const auto outcome = client.GetObject(request);
  const DWORD elapsed = GetTickCount() - start;
  ASSERT_FALSE(outcome.isSuccess());
  EXPECT_EQ(outcome.error().Code(), "ClientError:200007") << outcome.error().Message();
  EXPECT_EQ(outcome.error().RequestId(), "");
  EXPECT_GE(elapsed + 50, 2100u) << "three retries lie 300, 600 and 1200 ms apart";
  EXPECT_FALSE(client.DoesObjectExist(kBucket, "k.bin"));
}

struct FaultCase {
  const char* name;
  std::vector<testing_support::OssFault> faults;
  bool success;
  std::vector<std::string> codes;  // any of these when it fails
  int attempts;
};

TEST_F(OssServerTest, FaultsAreRetriedOrNotAsTheServiceRulesSay) {
  const std::string body = Pattern(256 * 1024 + 7);
  PutObject(root_->path(), "pkg/base.zip", body);
  const std::vector<FaultCase> cases = {
      {"closed mid-body once", {{"drop", "pkg/base.zip", 100000, 1}}, true, {}, 2},
      {"closed mid-body always", {{"drop", "pkg/base.zip", 100000, 0}}, false,
       {"ClientError:200018", "ClientError:200056"}, 4},
      {"503 twice", {{"status", "pkg/base.zip", 503, 2}}, true, {}, 3},
      {"500 always", {{"status", "pkg/base.zip", 500, 0}}, false, {"InternalError"}, 4},
      {"wrong CRC header", {{"bad_crc", "pkg/base.zip", 0, 0}}, false, {"ClientError:100001"}, 1},
      {"corrupted byte", {{"corrupt", "pkg/base.zip", 200000, 0}}, false, {"ClientError:100001"}, 1},
  };
  const auto client = Client();
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    server_->SetFaults(c.faults);
    server_->ClearLog();
    OSS::GetObjectRequest request(kBucket, "pkg/base.zip");
    Recorder rec;
    rec.Attach(request);
    const DWORD start = GetTickCount();
    const auto outcome = client->GetObject(request);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(outcome.isSuccess(), c.success)
        << outcome.error().Code() << " " << outcome.error().Message();
    EXPECT_EQ(Count("GET", "pkg/base.zip"), c.attempts);
    if (c.success) {
      EXPECT_EQ(rec.Content(), body) << "a retry must start the stream afresh";
      EXPECT_EQ(rec.increments, static_cast<int64_t>(body.size()));
      EXPECT_EQ(rec.lastTransferred, static_cast<int64_t>(body.size()));
      EXPECT_EQ(rec.lastTotal, static_cast<int64_t>(body.size()));
    } else {
      EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), outcome.error().Code()), c.codes.end())
          << outcome.error().Code();
    }
    // Delays of 300, 600 and 1200 ms lie between the attempts.
    const DWORD minimum[] = {0, 0, 300, 900, 2100};
    EXPECT_GE(elapsed + 50, minimum[c.attempts]);
  }
  // The CRC message carries both sums and the byte count.
  server_->SetFaults({{"bad_crc", "pkg/base.zip", 0, 0}});
  OSS::GetObjectRequest request(kBucket, "pkg/base.zip");
  const auto outcome = client->GetObject(request);
  const uint64_t crc = OSS::CalcCRC64(0, body.data(), body.size());
  const std::string expected = "Crc64 validation failed. Expected hash:" + std::to_string(crc + 1) +
                               " not equal to calculated hash:" + std::to_string(crc) +
                               ". Transferd bytes:" + std::to_string(body.size()) + ". RequestId:";
  const std::string message = outcome.error().Message();
  EXPECT_EQ(message.substr(0, expected.size()), expected);
  EXPECT_EQ(message.size(), expected.size() + 24) << message;
}

TEST_F(OssServerTest, ASkewedServerClockIsLearntFromTheGetError) {
  PutObject(root_->path(), "summary.ini", "[cfgstamp]\r\ntime=1\r\n");
  server_->SetFaults({}, 1800);
  const auto client = Client();
  // HEAD errors have no body: the existence check alone cannot learn it.
  EXPECT_FALSE(client->DoesObjectExist(kBucket, "summary.ini"));
  EXPECT_EQ(client->GetObjectMeta(kBucket, "summary.ini").error().Code(), "ServerError:403");
  EXPECT_EQ(client->DateOffset(), 0);

  OSS::GetObjectRequest request(kBucket, "summary.ini");
  Recorder rec;
  rec.Attach(request);
  const auto outcome = client->GetObject(request);
  ASSERT_TRUE(outcome.isSuccess()) << outcome.error().Code();
  EXPECT_EQ(rec.Content(), "[cfgstamp]\r\ntime=1\r\n");
  EXPECT_NEAR(static_cast<double>(client->DateOffset()), 1800.0, 5.0);
  std::vector<std::string> dates;
  for (const auto& r : server_->RequestLog())
    if (r.method == "GET") dates.push_back(r.date + " " + r.code);
  ASSERT_EQ(dates.size(), 2u);
  EXPECT_NE(dates[0].find("RequestTimeTooSkewed"), std::string::npos);
  // From now on every request carries the corrected date, HEAD included.
  EXPECT_TRUE(client->DoesObjectExist(kBucket, "summary.ini"));
}

TEST_F(OssServerTest, AStalledTransferTripsTheStallLimitButASlowOneDoesNot) {
  const std::string body = Pattern(300000);
  PutObject(root_->path(), "slow.bin", body);
  OSS::ClientConfiguration conf = TestConfiguration();
  conf.requestTimeoutMs = 1500;
  conf.retryStrategy = std::make_shared<OSS::DefaultRetryStrategy>(0);
  const auto client = Client(conf);

  server_->SetFaults({{"stall", "slow.bin", 50000, 0, 6.0}});
  OSS::GetObjectRequest stalled(kBucket, "slow.bin");
  const DWORD start = GetTickCount();
  const auto failed = client->GetObject(stalled);
  const DWORD elapsed = GetTickCount() - start;
  ASSERT_FALSE(failed.isSuccess());
  EXPECT_EQ(failed.error().Code(), "ClientError:200028");
  EXPECT_EQ(failed.error().Message().rfind("Timeout was reached.", 0), 0u) << failed.error().Message();
  EXPECT_LT(elapsed, 5000u) << "the stall limit did not cut the transfer";

  // Pauses shorter than the limit, adding up to more than it, are fine.
  server_->SetFaults({{"stall", "slow.bin", 1000, 0, 0.8}, {"stall", "slow.bin", 150000, 0, 0.8}});
  OSS::GetObjectRequest slow(kBucket, "slow.bin");
  Recorder rec;
  rec.Attach(slow);
  const auto outcome = client->GetObject(slow);
  ASSERT_TRUE(outcome.isSuccess()) << outcome.error().Code() << " " << outcome.error().Message();
  EXPECT_EQ(rec.Content(), body);
}

TEST_F(OssServerTest, StreamAndProgressFollowTheTransfer) {
  PutObject(root_->path(), "empty.bin", "");
  PutObject(root_->path(), "big.bin", Pattern(3 * 1024 * 1024 + 5));
  const auto client = Client();

  OSS::GetObjectRequest empty(kBucket, "empty.bin");
  Recorder none;
  none.Attach(empty);
  ASSERT_TRUE(client->GetObject(empty).isSuccess());
  EXPECT_EQ(none.factoryCalls, 0);
  EXPECT_EQ(none.progressCalls, 0);

  OSS::GetObjectRequest big(kBucket, "big.bin");
  Recorder rec;
  rec.Attach(big);
  const auto outcome = client->GetObject(big);
  ASSERT_TRUE(outcome.isSuccess());
  EXPECT_EQ(rec.factoryCalls, 1);
  EXPECT_GT(rec.progressCalls, 3) << "progress must come per chunk, not once at the end";
  EXPECT_EQ(rec.increments, 3 * 1024 * 1024 + 5);
  EXPECT_EQ(rec.lastTransferred, 3 * 1024 * 1024 + 5);
  EXPECT_EQ(rec.lastTotal, 3 * 1024 * 1024 + 5);
  EXPECT_EQ(outcome.result().Metadata().ContentLength(), 3 * 1024 * 1024 + 5);

  // A ranged answer still carries the whole object's CRC; it is not checked.
  OSS::GetObjectRequest ranged(kBucket, "big.bin");
  ranged.setRange(10, 99);
  Recorder part;
  part.Attach(ranged);
  const auto partial = client->GetObject(ranged);
  ASSERT_TRUE(partial.isSuccess()) << partial.error().Code();
  EXPECT_EQ(part.Content(), Pattern(100).substr(10));
  EXPECT_EQ(server_->RequestLog().back().status, 206);
}

}  // namespace
}  // namespace oss_test

namespace oss_test {
namespace {

// Answers that end by their own framing leave the connection for the next
// request; one that broke off does not, and its retry starts a new one.
TEST_F(OssServerTest, KeptConnectionsCarryOnlyCompleteAnswers) {
  PutObject(root_->path(), "k.bin", Pattern(300000));
  const auto client = Client();
  const auto get = [&client](const char* key) {
    OSS::GetObjectRequest request(kBucket, key);
    Recorder rec;
    rec.Attach(request);
    return client->GetObject(request).isSuccess();
  };
  EXPECT_TRUE(client->DoesObjectExist(kBucket, "k.bin"));   // 0: HEAD
  EXPECT_TRUE(get("k.bin"));                                 // 1: GET
  EXPECT_FALSE(get("gone.bin"));                             // 2: 404 with an XML body
  server_->SetFaults({{"drop", "k.bin", 1000, 1}});
  EXPECT_TRUE(get("k.bin"));                                 // 3: dropped, 4: the retry
  EXPECT_TRUE(get("k.bin"));                                 // 5
  const auto log = server_->RequestLog();
  ASSERT_EQ(log.size(), 6u);
  std::vector<int> connection;
  for (const auto& r : log) connection.push_back(r.clientPort);
  EXPECT_NE(connection[0], 0);
  const std::vector<int> expected = {connection[0], connection[0], connection[0], connection[0],
                                     connection[4], connection[4]};
  EXPECT_EQ(connection, expected);
  EXPECT_NE(connection[4], connection[0]);
}

}  // namespace
}  // namespace oss_test
