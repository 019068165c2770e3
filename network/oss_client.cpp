// The object-store client: one request attempt at a time, with
// the SDK's retry, clock-skew and CRC rules around it.
#include <winsock2.h>
#include <windows.h>
#include <wincred.h>
#include <winhttp.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <ctime>
#include <map>
#include <thread>
#include <vector>

#include "network/crc64.h"
#include "network/http_response.h"
#include "network/oss_hmac.h"
#include "network/oss_sdk.h"
#include "network/oss_transport.h"
#include "network/proxy_route.h"
#include "platform/handles.h"

namespace AlibabaCloud::OSS {

namespace detail {
const char* CurlText(long status);

TransportFailure Fail(long status, const std::string& detail) {
  // The SDK joins the short text and the detail with a bare dot.
  return {status, std::string(CurlText(status)) + "." + detail};
}
}  // namespace detail

namespace {

using detail::Fail;
using detail::TransportFailure;

struct InternetTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { ::WinHttpCloseHandle(h); }
};
using InternetHandle = win::Owner<InternetTraits>;

std::mutex sdkStateLock;
bool sdkInitialized = false;

// Error bodies are small XML documents; a server that sends more is not
// allowed to make the installer hold it.
constexpr size_t kMaxErrorBody = 64 * 1024;
// One read of the body: large enough that per-call costs (a trip to the
// wineserver under Wine) vanish next to the copying, small enough that
// memory use stays flat whatever the object.
constexpr size_t kReadChunk = 1024 * 1024;

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string Narrow(const wchar_t* s, size_t len) {
  if (len == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(len), nullptr, 0, nullptr,
                                    nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(len), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

const char* detail::CurlText(long status) {
  switch (status) {
    case kCouldNotResolveHost: return "Couldn't resolve host name";
    case kCouldNotConnect: return "Couldn't connect to server";
    case kPartialFile: return "Transferred a partial file";
    case kWriteError: return "Failed writing received data to disk/application";
    case kOperationTimedOut: return "Timeout was reached";
    case kSslConnectError: return "SSL connect error";
    case kGotNothing: return "Server returned nothing (no headers, no data)";
    case kSendError: return "Failed sending data to the peer";
    case kRecvError: return "Failure when receiving data from the peer";
    case kPeerFailedVerification: return "SSL peer certificate or SSH remote key was not OK";
    default: return "Unknown error";
  }
}


namespace {

enum class Phase { Connect, Receive };

TransportFailure FromWinHttp(DWORD code, Phase phase, const char* call) {
  const std::string detail = std::string(call) + " failed with WinHTTP error " +
                             std::to_string(code);
  switch (code) {
    // Wine's WinHTTP passes some socket errors through unchanged.
    case WSAETIMEDOUT:
    case ERROR_WINHTTP_TIMEOUT: return Fail(kOperationTimedOut, detail);
    case WSAECONNREFUSED: return Fail(kCouldNotConnect, detail);
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return Fail(kCouldNotResolveHost, detail);
    case ERROR_WINHTTP_CANNOT_CONNECT: return Fail(kCouldNotConnect, detail);
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
      return Fail(kPeerFailedVerification, detail);
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return Fail(kSslConnectError, detail);
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return Fail(kGotNothing, detail);
    default: return Fail(phase == Phase::Connect ? kSendError : kRecvError, detail);
  }
}

// Everything one attempt produced.
struct Attempt {
  TransportFailure failure;
  DWORD status = 0;
  HeaderCollection headers;
  std::string errorBody;             // body of a non-2xx answer
  int64_t received = 0;              // body bytes of a 2xx answer
  bool ranged = false;               // a 206: part of the object
  uint64_t crc = 0;                  // their CRC-64
  std::shared_ptr<ResponseStream> content;
  std::string proxy;                 // the proxy it went through; empty: direct
};

// WinHTTP's raw header block ("HTTP/1.1 200 OK\r\nName: value\r\n...") read
// by the same rules as the socket transport's answers.
HeaderCollection ParseRawHeaders(const std::string& raw) {
  http::ResponseHead head;
  std::string error;
  http::ParseResponseHead(raw, head, error);
  return std::move(head.headers);
}

std::string HeaderValue(const HeaderCollection& headers, const char* name) {
  const auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

}  // namespace

void InitializeSdk() {
  std::lock_guard<std::mutex> guard(sdkStateLock);
  sdkInitialized = true;
}

void ShutdownSdk() {
  std::lock_guard<std::mutex> guard(sdkStateLock);
  sdkInitialized = false;
}

bool IsSdkInitialized() {
  std::lock_guard<std::mutex> guard(sdkStateLock);
  return sdkInitialized;
}

bool DefaultRetryStrategy::shouldRetry(const Error& error, long attemptedRetries) const {
  if (attemptedRetries >= maxRetries_) return false;
  const long status = error.Status();
  if (status == 403 && error.Message().find("RequestTimeTooSkewed") != std::string::npos)
    return true;
  if (status >= 500 && status < 599) return true;
  switch (status) {
    case kCouldNotConnect:
    case kPartialFile:
    case kWriteError:
    case kOperationTimedOut:
    case kGotNothing:
    case kSendError:
    case kRecvError:
      return true;
    default:
      return false;
  }
}

long DefaultRetryStrategy::calcDelayTimeMs(const Error&, long attemptedRetries) const {
  return (1L << attemptedRetries) * scaleFactor_;
}

ClientConfiguration::ClientConfiguration()
    : userAgent("aliyun-sdk-cpp/1.9.0 (Windows)"),
      retryStrategy(std::make_shared<DefaultRetryStrategy>()) {}

ObjectMetaData ObjectMetaData::FromHeaders(const HeaderCollection& headers) {
  ObjectMetaData meta;
  const std::string length = HeaderValue(headers, "Content-Length");
  if (!length.empty()) meta.contentLength_ = std::strtoll(length.c_str(), nullptr, 10);
  const std::string crc = HeaderValue(headers, "x-oss-hash-crc64ecma");
  if (!crc.empty()) {
    meta.hasCrc64_ = true;
    meta.crc64_ = std::strtoull(crc.c_str(), nullptr, 10);
  }
  std::string etag = HeaderValue(headers, "ETag");
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"')
    etag = etag.substr(1, etag.size() - 2);
  meta.eTag_ = etag;
  meta.lastModified_ = HeaderValue(headers, "Last-Modified");
  meta.contentType_ = HeaderValue(headers, "Content-Type");
  meta.requestId_ = HeaderValue(headers, "x-oss-request-id");
  return meta;
}

namespace {

// Writes and checksums a successful body on a second thread while the
// calling thread receives the next piece: the socket, the checksum and the
// disk then work side by side instead of taking turns. Three buffers of one
// read each; memory stays flat whatever the object's size.
class PipelinedSink {
 public:
  explicit PipelinedSink(std::shared_ptr<ResponseStream> stream)
      : stream_(std::move(stream)), slot_(kReadChunk), writer_([this] { Run(); }) {}
  ~PipelinedSink() { Finish(); }
  PipelinedSink(const PipelinedSink&) = delete;
  PipelinedSink& operator=(const PipelinedSink&) = delete;

  // Hands over `buffer` holding `size` bytes and gives back a free one.
  // False once a write has failed.
  bool Submit(std::vector<char>& buffer, size_t size) {
    std::unique_lock<std::mutex> lock(pipeLock_);
    pipeChanged_.wait(lock, [this] { return !full_ || failed_; });
    if (failed_) return false;
    std::swap(slot_, buffer);
    slotSize_ = size;
    full_ = true;
    pipeChanged_.notify_all();
    return true;
  }

  // Waits for every handed-over byte; false when a write failed.
  bool Finish() {
    {
      std::lock_guard<std::mutex> lock(pipeLock_);
      done_ = true;
      pipeChanged_.notify_all();
    }
    if (writer_.joinable()) writer_.join();
    return !failed_;
  }
  uint64_t Crc() const { return crc_; }

 private:
  void Run() {
    std::vector<char> work(kReadChunk);
    while (true) {
      size_t size = 0;
      {
        std::unique_lock<std::mutex> lock(pipeLock_);
        pipeChanged_.wait(lock, [this] { return full_ || done_; });
        if (!full_) return;
        std::swap(slot_, work);
        size = slotSize_;
        full_ = false;
        pipeChanged_.notify_all();
      }
      const bool written = stream_->Write(work.data(), size);
      crc_ = CalcCRC64(crc_, work.data(), size);
      if (!written) {
        std::lock_guard<std::mutex> lock(pipeLock_);
        failed_ = true;
        pipeChanged_.notify_all();
        return;
      }
    }
  }

  std::shared_ptr<ResponseStream> stream_;
  // Guards the hand-over slot and the flags below between the receiving
  // thread and the writer.
  std::mutex pipeLock_;
  std::condition_variable pipeChanged_;
  std::vector<char> slot_;
  size_t slotSize_ = 0;
  bool full_ = false;
  bool done_ = false;
  bool failed_ = false;
  uint64_t crc_ = 0;  // the writer's alone until it has been joined
  std::thread writer_;
};

}  // namespace

struct OssClient::Impl {
  std::string endpoint;
  std::string accessKeyId;
  std::string accessKeySecret;
  ClientConfiguration configuration;
  InternetHandle session;
  // Kept connections of the socket transport; locks itself.
  mutable detail::ConnectionPool pool;

  // The user's proxy settings, when the configuration names no proxy of
  // its own; the discovery session runs WPAD and PAC scripts.
  mutable std::unique_ptr<detail::ProxyRoute> route;
  InternetHandle discovery;
  // One WinHTTP session per proxy in use, kept for the client's lifetime.
  mutable std::mutex proxySessionsLock;
  mutable std::map<std::wstring, InternetHandle> proxySessions;
  HINTERNET ProxySession(const std::wstring& proxy) const;

  // The learnt clock offset is shared by every request of the client,
  // whichever thread makes it.
  mutable std::mutex skewLock;
  mutable int64_t dateOffset = 0;

  int64_t Offset() const {
    std::lock_guard<std::mutex> guard(skewLock);
    return dateOffset;
  }
  void SetOffset(int64_t value) const {
    std::lock_guard<std::mutex> guard(skewLock);
    dateOffset = value;
  }

  Attempt Perform(const std::string& verb, const std::string& bucket, const std::string& key,
                  const ParameterCollection& parameters, const GetObjectRequest* get) const;

  // Runs attempts until success or the retry strategy gives up. `last`
  // holds the final attempt.
  OssError Run(const std::string& verb, const std::string& bucket, const std::string& key,
               const ParameterCollection& parameters, const GetObjectRequest* get,
               Attempt& last, bool& success) const;
};

namespace {

void ApplySessionLimits(HINTERNET session, const ClientConfiguration& configuration) {
  // The protocols the direct route negotiates; WinHTTP's own default on
  // older systems (and Wine) stops at TLS 1.0.
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
#ifdef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
  protocols |= WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
#endif
  WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  // The receive limit applies to each wait for data, not to the whole
  // answer: a large download that keeps flowing is never cut off.
  WinHttpSetTimeouts(session, 0, static_cast<int>(configuration.connectTimeoutMs),
                     static_cast<int>(configuration.requestTimeoutMs),
                     static_cast<int>(configuration.requestTimeoutMs));
  DWORD connections = static_cast<DWORD>(configuration.maxConnections);
  WinHttpSetOption(session, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
}

// WinHTTP for proxies: the proxy protocol (and, through a proxy, the
// certificate check) is the platform's business.
class WinHttpExchange : public detail::HttpExchange {
 public:
  WinHttpExchange(HINTERNET session, const detail::HttpRequestSpec& spec, bool verifySsl,
                  std::wstring proxy)
      : session_(session), spec_(spec), verifySsl_(verifySsl), proxy_(std::move(proxy)) {}

  bool Start(TransportFailure& failure, unsigned long& status, HeaderCollection& headers) override {
    const RequestTarget& target = spec_.target;
    const INTERNET_PORT port = target.port != 0 ? target.port
                                                : (target.https ? INTERNET_DEFAULT_HTTPS_PORT
                                                                : INTERNET_DEFAULT_HTTP_PORT);
    connection_.reset(WinHttpConnect(session_, Widen(target.host).c_str(), port, 0));
    if (!connection_) {
      failure = FromWinHttp(GetLastError(), Phase::Connect, "WinHttpConnect");
      return false;
    }
    // The path is already encoded as the service expects; WinHTTP must not
    // encode it again.
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (target.https) flags |= WINHTTP_FLAG_SECURE;
    request_.reset(WinHttpOpenRequest(connection_.get(), Widen(spec_.verb).c_str(),
                                      Widen(target.path).c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request_) {
      failure = FromWinHttp(GetLastError(), Phase::Connect, "WinHttpOpenRequest");
      return false;
    }
    if (target.https && !verifySsl_) {
      DWORD ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                     SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
      WinHttpSetOption(request_.get(), WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof ignore);
    }
    // The logged-on user's credentials go to a proxy that asks for
    // Negotiate or NTLM, whatever the proxy's zone.
    DWORD logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    WinHttpSetOption(request_.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon);
    std::string block;
    for (const auto& [name, value] : spec_.headers) block += name + ": " + value + "\r\n";
    const std::wstring wideHeaders = Widen(block);
    DWORD code = 0;
    // One answer to a 407 per scheme the proxy offers that can be answered;
    // a 407 after that is the caller's (the run ends with its own code).
    DWORD answered = 0;
    for (;;) {
      if (!WinHttpSendRequest(request_.get(), wideHeaders.c_str(),
                              static_cast<DWORD>(wideHeaders.size()), WINHTTP_NO_REQUEST_DATA, 0, 0,
                              0)) {
        failure = FromWinHttp(GetLastError(), Phase::Connect, "WinHttpSendRequest");
        return false;
      }
      if (!WinHttpReceiveResponse(request_.get(), nullptr)) {
        failure = FromWinHttp(GetLastError(), Phase::Receive, "WinHttpReceiveResponse");
        return false;
      }
      DWORD size = sizeof code;
      WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
      if (code != HTTP_STATUS_PROXY_AUTH_REQ || !AnswerProxyChallenge(answered)) break;
    }
    status = code;
    DWORD size = 0;
    WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF,
                        WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (size > 0) {
      std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
      if (WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF,
                              WINHTTP_HEADER_NAME_BY_INDEX, raw.data(), &size,
                              WINHTTP_NO_HEADER_INDEX))
        headers = ParseRawHeaders(Narrow(raw.data(), size / sizeof(wchar_t)));
    }
    return true;
  }

  bool Read(char* buffer, size_t capacity, size_t& got, TransportFailure& failure) override {
    DWORD read = 0;
    got = 0;
    if (spec_.verb == "HEAD") return true;
    if (!WinHttpReadData(request_.get(), buffer, static_cast<DWORD>(capacity), &read)) {
      failure = FromWinHttp(GetLastError(), Phase::Receive, "WinHttpReadData");
      return false;
    }
    got = read;
    return true;
  }

 private:
  // Sets the credentials for the next send when the proxy offers a scheme
  // not answered yet: the logged-on user's for Negotiate and NTLM, the
  // stored ones (Credential Manager, generic credential named after the
  // proxy) for Basic. False when there is nothing more to try.
  bool AnswerProxyChallenge(DWORD& answered) {
    DWORD supported = 0, first = 0, target = 0;
    if (!WinHttpQueryAuthSchemes(request_.get(), &supported, &first, &target)) return false;
    for (const DWORD scheme : {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NTLM}) {
      if ((supported & scheme) == 0 || (answered & scheme) != 0) continue;
      answered |= scheme;
      if (WinHttpSetCredentials(request_.get(), WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr))
        return true;
    }
    if ((supported & WINHTTP_AUTH_SCHEME_BASIC) == 0 || (answered & WINHTTP_AUTH_SCHEME_BASIC) != 0)
      return false;
    answered |= WINHTTP_AUTH_SCHEME_BASIC;
    std::wstring user, password;
    if (!StoredProxyCredentials(user, password)) return false;
    const bool set = WinHttpSetCredentials(request_.get(), WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_BASIC,
                                           user.c_str(), password.c_str(), nullptr) != FALSE;
    SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
    return set;
  }

  // A generic credential named "host:port" of the proxy, or "host".
  bool StoredProxyCredentials(std::wstring& user, std::wstring& password) const {
    const size_t colon = proxy_.rfind(L':');
    for (const std::wstring& name : {proxy_, proxy_.substr(0, colon)}) {
      PCREDENTIALW credential = nullptr;
      if (name.empty() || !CredReadW(name.c_str(), CRED_TYPE_GENERIC, 0, &credential)) continue;
      user = credential->UserName != nullptr ? credential->UserName : L"";
      password.assign(reinterpret_cast<const wchar_t*>(credential->CredentialBlob),
                      credential->CredentialBlobSize / sizeof(wchar_t));
      CredFree(credential);
      return true;
    }
    return false;
  }

  HINTERNET session_;
  detail::HttpRequestSpec spec_;
  bool verifySsl_;
  std::wstring proxy_;
  InternetHandle connection_;
  InternetHandle request_;
};

}  // namespace

Attempt OssClient::Impl::Perform(const std::string& verb, const std::string& bucket,
                                 const std::string& key, const ParameterCollection& parameters,
                                 const GetObjectRequest* get) const {
  Attempt attempt;
  detail::HttpRequestSpec spec;
  spec.verb = verb;
  spec.connectTimeoutMs = configuration.connectTimeoutMs;
  spec.requestTimeoutMs = configuration.requestTimeoutMs;
  BuildRequestTarget(endpoint, bucket, key, parameters, configuration.isCname, spec.target);

  HeaderCollection& headers = spec.headers;
  headers["Content-Type"] = "application/xml";
  headers["Date"] = ToGmtTime(static_cast<std::time_t>(std::time(nullptr) + Offset()));
  // Where this attempt continues a resumable download: asked anew each
  // time, so that a retry after a dropped connection goes on from what the
  // stream holds by now.
  int64_t resumeFrom = -1;
  if (get != nullptr && get->ResumeSource()) {
    resumeFrom = std::max<int64_t>(0, get->ResumeSource()());
    if (resumeFrom > 0 || get->HasRange()) {
      headers["Range"] = "bytes=" + std::to_string(resumeFrom) + "-" +
                         (get->HasRange() && get->RangeEnd() >= 0 ? std::to_string(get->RangeEnd()) : "");
      if (!get->IfRange().empty()) headers["If-Range"] = "\"" + get->IfRange() + "\"";
    }
  } else if (get != nullptr && get->HasRange()) {
    std::string range = "bytes=" + std::to_string(get->RangeStart()) + "-";
    if (get->RangeEnd() >= 0) range += std::to_string(get->RangeEnd());
    headers["Range"] = range;
  }
  const std::string resource = CanonicalResource(bucket, key, parameters);
  headers["Authorization"] =
      "OSS " + accessKeyId + ":" + SignV1(accessKeySecret, StringToSign(verb, headers, resource));
  headers["User-Agent"] = configuration.userAgent;

  spec.verifyPeer = configuration.verifySSL;
  std::unique_ptr<detail::HttpExchange> exchange;
  if (!configuration.proxyHost.empty()) {
    attempt.proxy = configuration.proxyHost + ":" + std::to_string(configuration.proxyPort);
    exchange = std::make_unique<WinHttpExchange>(session.get(), spec, configuration.verifySSL,
                                                 Widen(attempt.proxy));
  } else {
    const detail::ProxyChoice choice =
        route ? route->For(discovery.get(), spec.target.https, spec.target.host, spec.target.port)
              : detail::ProxyChoice{};
    if (!choice.proxy.empty()) {
      // Through the proxy, TLS stays end to end (CONNECT) with the same
      // certificate checks; an https:// request never goes out plain.
      attempt.proxy = Narrow(choice.proxy.c_str(), choice.proxy.size());
      exchange = std::make_unique<WinHttpExchange>(ProxySession(choice.proxy), spec, configuration.verifySSL,
                                                   choice.proxy);
    } else {
      exchange = detail::OpenSocketExchange(spec, pool);
    }
  }
  unsigned long status = 0;
  if (!exchange->Start(attempt.failure, status, attempt.headers)) return attempt;
  attempt.status = status;
  if (verb == "HEAD") return attempt;

  const bool ok = status >= 200 && status < 300;
  const std::string lengthText = HeaderValue(attempt.headers, "Content-Length");
  int64_t total = lengthText.empty() ? 0 : std::strtoll(lengthText.c_str(), nullptr, 10);
  const TransferProgress progress = get != nullptr ? get->TransferProgressRecord()
                                                   : TransferProgress{};
  // A resumed answer: its body continues the object at `bodyOffset`, and
  // the progress counts the whole object, what was there already as done.
  int64_t bodyOffset = 0;
  if (ok && resumeFrom >= 0 && status == 206) {
    int64_t first = -1;
    int64_t last = -1;
    int64_t size = -1;
    const std::string contentRange = HeaderValue(attempt.headers, "Content-Range");
    if (std::sscanf(contentRange.c_str(), "bytes %" SCNd64 "-%" SCNd64 "/%" SCNd64, &first, &last,
                    &size) != 3 ||
        first != resumeFrom ||
        last != (get->HasRange() && get->RangeEnd() >= 0 ? std::min(get->RangeEnd(), size - 1) : size - 1) ||
        last - first + 1 != total) {
      attempt.failure = Fail(kRangeMismatch, "answer range \"" + contentRange + "\" for bytes=" +
                                                 std::to_string(resumeFrom) + "-");
      return attempt;
    }
    bodyOffset = first;
    total = size;
  }
  // Where this answer's body ends in the object: a bounded range ends
  // before the object does.
  const int64_t bodyEnd = bodyOffset + (lengthText.empty() ? 0 : std::strtoll(lengthText.c_str(), nullptr, 10));
  attempt.ranged = status == 206;
  std::vector<char> buffer(kReadChunk);
  int64_t transferred = bodyOffset;
  int64_t windowBytes = 0;
  ULONGLONG windowStart = GetTickCount64();
  std::unique_ptr<PipelinedSink> sink;
  while (true) {
    size_t read = 0;
    if (!exchange->Read(buffer.data(), buffer.size(), read, attempt.failure)) break;
    if (read == 0) break;
    transferred += static_cast<int64_t>(read);
    if (ok) {
      if (!attempt.content) {
        if (get != nullptr && get->OffsetFactory())
          attempt.content = get->OffsetFactory()(bodyOffset);
        else
          attempt.content = get != nullptr && get->ResponseStreamFactory()
                                ? get->ResponseStreamFactory()()
                                : std::make_shared<StringStream>();
        if (attempt.content) sink = std::make_unique<PipelinedSink>(attempt.content);
      }
      attempt.received += static_cast<int64_t>(read);
      if (!sink || !sink->Submit(buffer, read)) {
        attempt.failure = Fail(kWriteError, "the response stream refused the body");
        break;
      }
    } else if (attempt.errorBody.size() < kMaxErrorBody) {
      attempt.errorBody.append(buffer.data(),
                               std::min<size_t>(read, kMaxErrorBody - attempt.errorBody.size()));
    }
    if (progress.Handler != nullptr) progress.Handler(read, transferred, total, progress.UserData);
    windowBytes += static_cast<int64_t>(read);
    if (configuration.stallTimeoutMs > 0) {
      const ULONGLONG now = GetTickCount64();
      if (now - windowStart >= static_cast<ULONGLONG>(configuration.stallTimeoutMs)) {
        if (windowBytes < configuration.stallMinBytes) {
          attempt.failure = Fail(kOperationTimedOut,
                                 "Operation too slow. Less than " +
                                     std::to_string(configuration.stallMinBytes) + " bytes transferred the last " +
                                     std::to_string(configuration.stallTimeoutMs / 1000) + " seconds");
          break;
        }
        windowStart = now;
        windowBytes = 0;
      }
    }
  }
  if (sink) {
    if (!sink->Finish() && attempt.failure.status == 0)
      attempt.failure = Fail(kWriteError, "the response stream refused the body");
    attempt.crc = sink->Crc();
  }
  if (attempt.failure.status == 0 && !lengthText.empty() && transferred < bodyEnd) {
    // The peer closed the connection before the declared length arrived.
    attempt.failure = Fail(kPartialFile, "transfer closed with " +
                                             std::to_string(bodyEnd - transferred) +
                                             " bytes remaining to read");
  }
  return attempt;
}

OssError OssClient::Impl::Run(const std::string& verb, const std::string& bucket,
                              const std::string& key, const ParameterCollection& parameters,
                              const GetObjectRequest* get, Attempt& last, bool& success) const {
  success = false;
  if (!IsValidBucketName(bucket))
    return OssError("ValidateError", "The bucket name is invalid. A bucket name must be "
                                     "comprised of lower-case characters, numbers or dash(-) "
                                     "with 3-63 characters long.");
  if (!IsValidObjectKey(key))
    return OssError("ValidateError", "The object key is invalid. An object name should be "
                                     "between 1 - 1023 bytes long when encoded as UTF-8 and "
                                     "cannot contain LF or CR or unsupported chars, and cannot "
                                     "begin with \"/\" or \"\\\".");
  RequestTarget probe;
  if (!BuildRequestTarget(endpoint, bucket, key, parameters, configuration.isCname, probe))
    return OssError("ValidateError", "The endpoint is invalid.");

  for (long retries = 0;; ++retries) {
    last = Perform(verb, bucket, key, parameters, get);
    OssError error;
    Error verdict;
    const std::string requestId = HeaderValue(last.headers, "x-oss-request-id");
    if (last.status == HTTP_STATUS_PROXY_AUTH_REQ && last.failure.status == 0) {
      // The proxy's, not the service's: no retry helps and no object is
      // missing.
      return OssError("ClientError:" + std::to_string(kProxyAuthenticationRequired),
                      "Proxy authentication required,proxy:" + last.proxy);
    }
    if (last.failure.status != 0) {
      error = OssError("ClientError:" + std::to_string(last.failure.status), last.failure.message);
      verdict = Error(last.failure.status, last.failure.message);
    } else if (last.status < 200 || last.status >= 300) {
      const long status = static_cast<long>(last.status);
      if (last.errorBody.empty()) {
        error = OssError("ServerError:" + std::to_string(status), "", requestId);
      } else {
        const ErrorDocument doc = ParseErrorDocument(last.errorBody);
        if (doc.isError) {
          error = OssError(doc.code, doc.message,
                           doc.requestId.empty() ? requestId : doc.requestId, doc.hostId);
        } else if (doc.wellFormed) {
          error = OssError("ParseXMLError",
                           "Xml format invalid, root node name is not Error. the content is:\n" +
                               last.errorBody,
                           requestId);
        } else {
          error = OssError("ParseXMLError",
                           "Xml format invalid, the content is:\n" + last.errorBody, requestId);
        }
        // A 403 that carries the service's clock lets the next attempt
        // (and every later request) be dated by that clock.
        std::time_t serverTime = 0;
        if (status == 403 && configuration.enableDateSkewAdjustment && doc.isError &&
            UtcToUnixTime(doc.serverTime, serverTime))
          SetOffset(static_cast<int64_t>(serverTime) - static_cast<int64_t>(std::time(nullptr)));
      }
      verdict = Error(status, last.errorBody);
    } else {
      const ObjectMetaData meta = ObjectMetaData::FromHeaders(last.headers);
      // A partial answer carries the whole object's checksum: only the
      // caller, who has the rest, can check it.
      if (get != nullptr && configuration.enableCrc64 && !last.ranged && !get->HasRange() && meta.HasCRC64() &&
          meta.CRC64() != last.crc) {
        // Not retried: the service would send the same bytes again.
        return OssError("ClientError:" + std::to_string(kCrcInconsistent),
                        "Crc64 validation failed. Expected hash:" + std::to_string(meta.CRC64()) +
                            " not equal to calculated hash:" + std::to_string(last.crc) +
                            ". Transferd bytes:" + std::to_string(last.received) +
                            ". RequestId:" + requestId);
      }
      success = true;
      return OssError();
    }
    const RetryStrategy* strategy = configuration.retryStrategy.get();
    if (strategy == nullptr || !strategy->shouldRetry(verdict, retries)) return error;
    Sleep(static_cast<DWORD>(strategy->calcDelayTimeMs(verdict, retries)));
  }
}

OssClient::OssClient(const std::string& endpoint, const std::string& accessKeyId,
                     const std::string& accessKeySecret, const ClientConfiguration& configuration)
    : impl_(std::make_unique<Impl>()) {
  impl_->endpoint = endpoint;
  impl_->accessKeyId = accessKeyId;
  impl_->accessKeySecret = accessKeySecret;
  impl_->configuration = configuration;
  // WinHTTP carries the requests only through a proxy; without one the
  // layer's own socket transport does, and no session is needed.
  if (!configuration.proxyHost.empty()) {
    const std::wstring proxy =
        Widen(configuration.proxyHost + ":" + std::to_string(configuration.proxyPort));
    impl_->session.reset(WinHttpOpen(Widen(configuration.userAgent).c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                     proxy.c_str(), WINHTTP_NO_PROXY_BYPASS, 0));
  }
  if (configuration.proxyHost.empty() && configuration.useSystemProxy) {
    detail::ProxySettings settings = detail::CurrentUserProxySettings();
    auto route = std::make_unique<detail::ProxyRoute>(std::move(settings));
    if (route->Configured()) {
      impl_->route = std::move(route);
      impl_->discovery.reset(WinHttpOpen(Widen(configuration.userAgent).c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY,
                                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    }
  }
  if (impl_->session) ApplySessionLimits(impl_->session.get(), configuration);
}

HINTERNET OssClient::Impl::ProxySession(const std::wstring& proxy) const {
  std::lock_guard<std::mutex> guard(proxySessionsLock);
  InternetHandle& session = proxySessions[proxy];
  if (!session) {
    session.reset(WinHttpOpen(Widen(configuration.userAgent).c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                              proxy.c_str(), WINHTTP_NO_PROXY_BYPASS, 0));
    if (session) ApplySessionLimits(session.get(), configuration);
  }
  return session.get();
}

OssClient::~OssClient() = default;

int64_t OssClient::DateOffset() const { return impl_->Offset(); }

GetObjectMetaOutcome OssClient::GetObjectMeta(const std::string& bucket,
                                              const std::string& key) const {
  Attempt last;
  bool success = false;
  OssError error = impl_->Run("HEAD", bucket, key, {{"objectMeta", ""}}, nullptr, last, success);
  if (!success) return GetObjectMetaOutcome(std::move(error));
  return GetObjectMetaOutcome(ObjectMetaData::FromHeaders(last.headers));
}

bool OssClient::DoesObjectExist(const std::string& bucket, const std::string& key) const {
  return GetObjectMeta(bucket, key).isSuccess();
}

GetObjectOutcome OssClient::GetObject(const GetObjectRequest& request) const {
  Attempt last;
  bool success = false;
  OssError error = impl_->Run("GET", request.Bucket(), request.Key(), {}, &request, last, success);
  if (!success) return GetObjectOutcome(std::move(error));
  return GetObjectOutcome(
      GetObjectResult(ObjectMetaData::FromHeaders(last.headers), std::move(last.content)));
}

}  // namespace AlibabaCloud::OSS
