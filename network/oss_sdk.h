#pragma once
// The installer's object-store layer: the part of the Alibaba Cloud OSS C++
// SDK 1.9.0 surface that the installer uses, with the SDK's names and its
// behaviour towards the service (signature V1, addressing, error codes,
// retries, clock-skew correction, CRC-64 check, timeouts). Beneath it sit
// Winsock with Schannel for HTTP and TLS, WinHTTP when a proxy is set, and
// BCrypt for HMAC-SHA1. A proxy, the caller's or the one the user's Windows
// settings choose for a request, is reached through WinHTTP; a proxy's 407
// is answered with the logged-on user's credentials (Negotiate, NTLM) or a
// stored Basic credential, else the request fails with
// kProxyAuthenticationRequired.
//
// Endpoints: "http://host[:port]" talks plain HTTP; "https://host[:port]"
// and an endpoint without a scheme talk TLS with certificate verification
// (the system's trusted authorities and host-name check). Plain HTTP is used
// only where an endpoint asks for it by name; a failed TLS connection is
// never retried without TLS. An IPv4 host is addressed path-style
// (/bucket/key), a host name virtual-hosted (bucket.host/key).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "network/oss_error_xml.h"
#include "network/oss_signer.h"
#include "network/oss_stream.h"

namespace AlibabaCloud::OSS {

// Global set-up and tear-down of the layer; both are idempotent.
void InitializeSdk();
void ShutdownSdk();
bool IsSdkInitialized();

// Client-side failures carry a status of their own instead of an HTTP one:
// 100000 + n for the layer's checks, 200000 + a curl-style code for the
// transport (the numbers the service's SDKs report, so that support staff
// read the same codes in every log).
enum ClientErrorStatus : long {
  kCrcInconsistent = 100001,
  kRequestDisabled = 100002,
  kProxyAuthenticationRequired = 100407,  // a proxy's 407 that could not be answered
  kRangeMismatch = 100003,  // a 206 whose Content-Range is not what was asked
  kCouldNotResolveHost = 200006,
  kCouldNotConnect = 200007,
  kPartialFile = 200018,
  kWriteError = 200023,
  kOperationTimedOut = 200028,
  kSslConnectError = 200035,
  kGotNothing = 200052,
  kSendError = 200055,
  kRecvError = 200056,
  kPeerFailedVerification = 200060,
};

// What the retry strategy sees of a failed attempt: the HTTP status (or a
// client status above) and the raw error text (the body for HTTP errors).
class Error {
 public:
  Error() = default;
  Error(long status, std::string message) : status_(status), message_(std::move(message)) {}
  long Status() const { return status_; }
  const std::string& Message() const { return message_; }

 private:
  long status_ = 0;
  std::string message_;
};

class RetryStrategy {
 public:
  virtual ~RetryStrategy() = default;
  virtual bool shouldRetry(const Error& error, long attemptedRetries) const = 0;
  virtual long calcDelayTimeMs(const Error& error, long attemptedRetries) const = 0;
};

// Up to `maxRetries` retries of 5xx answers, a skewed-clock 403 and the
// transient transport failures; the delay doubles from `scaleFactor` ms.
class DefaultRetryStrategy : public RetryStrategy {
 public:
  explicit DefaultRetryStrategy(long maxRetries = 3, long scaleFactor = 300)
      : maxRetries_(maxRetries), scaleFactor_(scaleFactor) {}
  bool shouldRetry(const Error& error, long attemptedRetries) const override;
  long calcDelayTimeMs(const Error& error, long attemptedRetries) const override;

 private:
  long maxRetries_;
  long scaleFactor_;
};

// The SDK's defaults; the installer changes none of them. Tests shorten the
// timeouts and the retry delays.
class ClientConfiguration {
 public:
  ClientConfiguration();
  std::string userAgent;
  int maxConnections = 16;
  long requestTimeoutMs = 10000;  // stall limit: no byte for this long
  // The overall stall rule: a body that brings fewer than stallMinBytes in
  // any stallTimeoutMs counts as a dropped connection (and is retried as
  // one), so a server that trickles a byte now and then cannot hold the
  // installer for ever. 0: off.
  long stallTimeoutMs = 30000;
  int64_t stallMinBytes = 4096;
  long connectTimeoutMs = 5000;
  std::shared_ptr<RetryStrategy> retryStrategy;
  std::string proxyHost;  // a proxy of the caller's own; none: see useSystemProxy
  unsigned proxyPort = 0;
  // Without proxyHost: the current user's Windows proxy settings (fixed
  // proxy and bypass list, WPAD, PAC script), chosen per request.
  bool useSystemProxy = true;
  bool isCname = false;
  bool enableCrc64 = true;
  bool enableDateSkewAdjustment = true;
  bool verifySSL = true;
};

class OssError {
 public:
  OssError() = default;
  OssError(std::string code, std::string message, std::string requestId = {},
           std::string host = {})
      : code_(std::move(code)),
        message_(std::move(message)),
        requestId_(std::move(requestId)),
        host_(std::move(host)) {}
  const std::string& Code() const { return code_; }
  const std::string& Message() const { return message_; }
  const std::string& RequestId() const { return requestId_; }
  const std::string& Host() const { return host_; }

 private:
  std::string code_;
  std::string message_;
  std::string requestId_;
  std::string host_;
};

template <typename E, typename R>
class Outcome {
 public:
  Outcome() = default;
  explicit Outcome(R result) : success_(true), result_(std::move(result)) {}
  explicit Outcome(E error) : success_(false), error_(std::move(error)) {}
  bool isSuccess() const { return success_; }
  const E& error() const { return error_; }
  const R& result() const { return result_; }
  R& result() { return result_; }

 private:
  bool success_ = false;
  E error_;
  R result_;
};

class ObjectMetaData {
 public:
  int64_t ContentLength() const { return contentLength_; }
  uint64_t CRC64() const { return crc64_; }
  bool HasCRC64() const { return hasCrc64_; }
  const std::string& ETag() const { return eTag_; }
  const std::string& LastModified() const { return lastModified_; }
  const std::string& ContentType() const { return contentType_; }
  const std::string& RequestId() const { return requestId_; }
  // Fills the fields from response headers.
  static ObjectMetaData FromHeaders(const HeaderCollection& headers);

 private:
  int64_t contentLength_ = -1;
  uint64_t crc64_ = 0;
  bool hasCrc64_ = false;
  std::string eTag_;
  std::string lastModified_;
  std::string contentType_;
  std::string requestId_;
};

class GetObjectResult {
 public:
  GetObjectResult() = default;
  GetObjectResult(ObjectMetaData meta, std::shared_ptr<ResponseStream> content)
      : meta_(std::move(meta)), content_(std::move(content)) {}
  const ObjectMetaData& Metadata() const { return meta_; }
  const std::string& RequestId() const { return meta_.RequestId(); }
  const std::shared_ptr<ResponseStream>& Content() const { return content_; }

 private:
  ObjectMetaData meta_;
  std::shared_ptr<ResponseStream> content_;
};

using GetObjectOutcome = Outcome<OssError, GetObjectResult>;
using GetObjectMetaOutcome = Outcome<OssError, ObjectMetaData>;

// Called once per received chunk; `transferred` counts within the attempt
// and starts again at 0 on a retry; `total` is the answer's Content-Length.
using ProgressCallback = void (*)(size_t increment, int64_t transferred, int64_t total,
                                  void* userData);
struct TransferProgress {
  ProgressCallback Handler = nullptr;
  void* UserData = nullptr;
};

// Gives the stream a successful body is written to. Called on the first
// body byte of each successful attempt, so a retry starts afresh; never
// called for an empty object or an error answer.
using IOStreamFactory = std::function<std::shared_ptr<ResponseStream>()>;
// The same for a resumable request: told at which byte of the object the
// answer's body starts (0 when the server sent the whole object).
using OffsetStreamFactory = std::function<std::shared_ptr<ResponseStream>(int64_t bodyOffset)>;
// Asked before every attempt of a resumable request: the byte of the object
// to continue from (0: all of it).
using ResumeOffsetSource = std::function<int64_t()>;

class GetObjectRequest {
 public:
  GetObjectRequest(std::string bucket, std::string key)
      : bucket_(std::move(bucket)), key_(std::move(key)) {}
  const std::string& Bucket() const { return bucket_; }
  const std::string& Key() const { return key_; }
  void setResponseStreamFactory(IOStreamFactory factory) { factory_ = std::move(factory); }
  const IOStreamFactory& ResponseStreamFactory() const { return factory_; }
  void setTransferProgress(const TransferProgress& progress) { progress_ = progress; }
  const TransferProgress& TransferProgressRecord() const { return progress_; }
  // Bytes start..end inclusive; a ranged answer is not CRC-checked, since
  // the service's checksum always covers the whole object.
  void setRange(int64_t start, int64_t end) {
    hasRange_ = true;
    rangeStart_ = start;
    rangeEnd_ = end;
  }
  bool HasRange() const { return hasRange_; }
  int64_t RangeStart() const { return rangeStart_; }
  int64_t RangeEnd() const { return rangeEnd_; }

  // A resumable request: every attempt asks `source` where to continue and
  // sends "Range: bytes=N-" (with If-Range when set) unless it says 0 (with
  // setRange: "bytes=N-<end>", whatever N, the start given there unused); the
  // answer's body goes to a stream from `factory`, told where it starts.
  // A 206 that does not start where asked fails the attempt. Progress then
  // counts in bytes of the whole object (what was there counts as done).
  void setResume(ResumeOffsetSource source, OffsetStreamFactory factory) {
    resumeSource_ = std::move(source);
    offsetFactory_ = std::move(factory);
  }
  const ResumeOffsetSource& ResumeSource() const { return resumeSource_; }
  const OffsetStreamFactory& OffsetFactory() const { return offsetFactory_; }
  // "If-Range: <ETag>": the server sends the range only while the object
  // is still the one with this ETag, and the whole object otherwise.
  void setIfRange(std::string eTag) { ifRange_ = std::move(eTag); }
  const std::string& IfRange() const { return ifRange_; }

 private:
  ResumeOffsetSource resumeSource_;
  OffsetStreamFactory offsetFactory_;
  std::string ifRange_;
  std::string bucket_;
  std::string key_;
  IOStreamFactory factory_;
  TransferProgress progress_;
  bool hasRange_ = false;
  int64_t rangeStart_ = 0;
  int64_t rangeEnd_ = -1;
};

class OssClient {
 public:
  OssClient(const std::string& endpoint, const std::string& accessKeyId,
            const std::string& accessKeySecret, const ClientConfiguration& configuration);
  ~OssClient();
  OssClient(const OssClient&) = delete;
  OssClient& operator=(const OssClient&) = delete;

  // True only when the object's metadata could be read; every failure,
  // whatever its cause, reads as absent.
  bool DoesObjectExist(const std::string& bucket, const std::string& key) const;
  GetObjectMetaOutcome GetObjectMeta(const std::string& bucket, const std::string& key) const;
  GetObjectOutcome GetObject(const GetObjectRequest& request) const;

  // Seconds added to the local clock for the Date of every request; learnt
  // from the service when it reports a skewed clock.
  int64_t DateOffset() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace AlibabaCloud::OSS
