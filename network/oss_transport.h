#pragma once
// One HTTP request and its answer, beneath the object-store client. Two
// transports: a Winsock one, with TLS through Schannel for https://
// endpoints, which streams a large body with few large receives and keeps
// connections open between requests; and WinHTTP for proxies (Wine's
// WinHTTP splits every read into 8 KiB socket reads and, under Wine, tops
// out at a tenth of what the loopback carries).
#include <cstddef>
#include <memory>
#include <string>

#include "network/oss_signer.h"

namespace AlibabaCloud::OSS::detail {

// How the transport failed, in the numbers the SDK family reports.
struct TransportFailure {
  long status = 0;  // 0: no failure
  std::string message;
};
// "<short text>.<detail>", the SDK's way of joining them.
TransportFailure Fail(long status, const std::string& detail);

struct HttpRequestSpec {
  std::string verb;
  RequestTarget target;
  HeaderCollection headers;
  long connectTimeoutMs = 5000;
  long requestTimeoutMs = 10000;  // longest wait for any byte
  bool verifyPeer = true;         // TLS: check the certificate and host name
};

class HttpExchange {
 public:
  virtual ~HttpExchange() = default;
  // Sends the request and reads the answer's status and headers.
  virtual bool Start(TransportFailure& failure, unsigned long& status, HeaderCollection& headers) = 0;
  // The next body bytes; `got` 0 at the end of the body.
  virtual bool Read(char* buffer, size_t capacity, size_t& got, TransportFailure& failure) = 0;
};

// Open connections of one client, kept between its requests when the
// server allows it, and its TLS credentials. Safe to share between threads.
class ConnectionPool {
 public:
  ConnectionPool();
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;
  struct State;
  std::unique_ptr<State> state;
};

std::unique_ptr<HttpExchange> OpenSocketExchange(const HttpRequestSpec& spec, ConnectionPool& pool);

}  // namespace AlibabaCloud::OSS::detail
