// Plain HTTP/1.1 over a Winsock stream socket: one request per connection
// ("Connection: close"), Content-Length, chunked and read-to-close bodies.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "transfer/oss_sdk.h"
#include "transfer/oss_transport.h"

namespace AlibabaCloud::OSS::detail {
namespace {

// Winsock is started once per process and left running: the layer may be
// used from any thread until the process ends.
std::once_flag winsockOnce;
void StartWinsock() {
  std::call_once(winsockOnce, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

constexpr size_t kMaxHead = 64 * 1024;

class SocketExchange : public HttpExchange {
 public:
  explicit SocketExchange(const HttpRequestSpec& spec) : spec_(spec) {}
  ~SocketExchange() override {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  SocketExchange(const SocketExchange&) = delete;
  SocketExchange& operator=(const SocketExchange&) = delete;

  bool Start(TransportFailure& failure, unsigned long& status, HeaderCollection& headers) override {
    if (!Connect(failure)) return false;
    const RequestTarget& t = spec_.target;
    std::string request;
    request.append(spec_.verb).append(" ").append(t.path).append(" HTTP/1.1\r\nHost: ").append(t.host);
    if (t.port != 0 && t.port != 80) request.append(":").append(std::to_string(t.port));
    request.append("\r\n");
    for (const auto& [name, value] : spec_.headers)
      request.append(name).append(": ").append(value).append("\r\n");
    request += "Connection: close\r\n\r\n";
    for (size_t sent = 0; sent < request.size();) {
      const int n = send(socket_, request.data() + sent, static_cast<int>(request.size() - sent), 0);
      if (n <= 0) {
        failure = SocketFailure(kSendError, "send");
        return false;
      }
      sent += static_cast<size_t>(n);
    }
    // Read until the end of the head; what follows it is body.
    std::string head;
    std::vector<char> buffer(16 * 1024);
    size_t end = std::string::npos;
    while ((end = head.find("\r\n\r\n")) == std::string::npos) {
      if (head.size() > kMaxHead) {
        failure = Fail(kRecvError, "the answer's headers are too long");
        return false;
      }
      const int n = recv(socket_, buffer.data(), static_cast<int>(buffer.size()), 0);
      if (n < 0) {
        failure = SocketFailure(kRecvError, "recv");
        return false;
      }
      if (n == 0) {
        failure = Fail(kGotNothing, "the server closed the connection before answering");
        return false;
      }
      head.append(buffer.data(), static_cast<size_t>(n));
    }
    pending_ = head.substr(end + 4);
    head.resize(end);
    // "HTTP/1.1 200 OK"
    const size_t space = head.find(' ');
    if (head.compare(0, 5, "HTTP/") != 0 || space == std::string::npos) {
      failure = Fail(kGotNothing, "the answer is not HTTP");
      return false;
    }
    status = std::strtoul(head.c_str() + space + 1, nullptr, 10);
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
      const size_t start = pos + 2;
      const size_t next = head.find("\r\n", start);
      const std::string line = head.substr(start, next == std::string::npos ? next : next - start);
      pos = next;
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      const size_t v = line.find_first_not_of(" \t", colon + 1);
      std::string value = v == std::string::npos ? std::string() : line.substr(v);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
      headers[line.substr(0, colon)] = value;
    }
    if (spec_.verb == "HEAD" || status == 204 || status == 304) {
      remaining_ = 0;
    } else if (const auto te = headers.find("Transfer-Encoding");
               te != headers.end() && te->second.find("chunked") != std::string::npos) {
      chunked_ = true;
    } else if (const auto cl = headers.find("Content-Length"); cl != headers.end()) {
      remaining_ = std::strtoll(cl->second.c_str(), nullptr, 10);
    }
    return true;
  }

  bool Read(char* buffer, size_t capacity, size_t& got, TransportFailure& failure) override {
    got = 0;
    if (chunked_) return ReadChunked(buffer, capacity, got, failure);
    if (remaining_ == 0) return true;
    size_t want = capacity;
    if (remaining_ > 0) want = static_cast<size_t>(std::min<int64_t>(remaining_, static_cast<int64_t>(capacity)));
    if (!Raw(buffer, want, got, failure)) return false;
    if (remaining_ > 0) remaining_ -= static_cast<int64_t>(got);
    return true;
  }

 private:
  bool Connect(TransportFailure& failure) {
    StartWinsock();
    const RequestTarget& t = spec_.target;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(t.port != 0 ? t.port : 80);
    if (getaddrinfo(t.host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
      failure = Fail(kCouldNotResolveHost, "Could not resolve host: " + t.host);
      return false;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
    socket_ = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (socket_ == INVALID_SOCKET) {
      failure = SocketFailure(kCouldNotConnect, "socket");
      return false;
    }
    // Non-blocking for the connect, so that its own limit applies.
    u_long nonBlocking = 1;
    ioctlsocket(socket_, FIONBIO, &nonBlocking);
    if (connect(socket_, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
      failure = SocketFailure(kCouldNotConnect, "connect");
      return false;
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket_, &writable);
    FD_SET(socket_, &failed);
    timeval limit{static_cast<long>(spec_.connectTimeoutMs / 1000),
                  static_cast<long>(spec_.connectTimeoutMs % 1000 * 1000)};
    const int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready == 0) {
      failure = Fail(kOperationTimedOut, "Connection timed out after " +
                                             std::to_string(spec_.connectTimeoutMs) + " milliseconds");
      return false;
    }
    int error = 0;
    int size = sizeof error;
    getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
    if (ready < 0 || FD_ISSET(socket_, &failed) || error != 0) {
      failure = Fail(kCouldNotConnect, "Failed to connect to " + t.host + " port " + port +
                                           ": socket error " + std::to_string(error));
      return false;
    }
    nonBlocking = 0;
    ioctlsocket(socket_, FIONBIO, &nonBlocking);
    // The stall limit: no single wait for data may last longer.
    const DWORD timeout = static_cast<DWORD>(spec_.requestTimeoutMs);
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    const int receiveBuffer = 4 << 20;
    setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
               sizeof receiveBuffer);
    return true;
  }

  TransportFailure SocketFailure(long status, const char* call) const {
    const int error = WSAGetLastError();
    if (error == WSAETIMEDOUT)
      return Fail(kOperationTimedOut, "Operation too slow. No data for " +
                                          std::to_string(spec_.requestTimeoutMs) + " ms");
    if (error == WSAECONNREFUSED) return Fail(kCouldNotConnect, std::string(call) + ": connection refused");
    return Fail(status, std::string(call) + " failed with socket error " + std::to_string(error));
  }

  // Bytes of the body stream: what came with the head first, then the socket.
  bool Raw(char* buffer, size_t capacity, size_t& got, TransportFailure& failure) {
    got = 0;
    if (!pending_.empty()) {
      got = std::min(capacity, pending_.size());
      std::memcpy(buffer, pending_.data(), got);
      pending_.erase(0, got);
      return true;
    }
    const int n = recv(socket_, buffer, static_cast<int>(std::min<size_t>(capacity, 1 << 30)), 0);
    if (n < 0) {
      failure = SocketFailure(kRecvError, "recv");
      return false;
    }
    got = static_cast<size_t>(n);
    return true;
  }

  bool RawLine(std::string& line, TransportFailure& failure) {
    line.clear();
    char c = 0;
    size_t got = 0;
    while (true) {
      if (!Raw(&c, 1, got, failure)) return false;
      if (got == 0) {
        failure = Fail(kPartialFile, "the connection closed inside a chunk header");
        return false;
      }
      if (c == '\n') break;
      if (c != '\r') line += c;
      if (line.size() > 1024) {
        failure = Fail(kRecvError, "a chunk header is too long");
        return false;
      }
    }
    return true;
  }

  bool ReadChunked(char* buffer, size_t capacity, size_t& got, TransportFailure& failure) {
    if (chunkDone_) return true;
    if (chunkLeft_ == 0) {
      std::string line;
      if (chunkStarted_ && !RawLine(line, failure)) return false;  // CRLF after the data
      if (!RawLine(line, failure)) return false;
      chunkStarted_ = true;
      chunkLeft_ = std::strtoll(line.c_str(), nullptr, 16);
      if (chunkLeft_ <= 0) {
        chunkDone_ = true;
        return true;
      }
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(chunkLeft_, static_cast<int64_t>(capacity)));
    if (!Raw(buffer, want, got, failure)) return false;
    if (got == 0) {
      failure = Fail(kPartialFile, "the connection closed inside a chunk");
      return false;
    }
    chunkLeft_ -= static_cast<int64_t>(got);
    return true;
  }

  HttpRequestSpec spec_;
  SOCKET socket_ = INVALID_SOCKET;
  std::string pending_;
  int64_t remaining_ = -1;  // -1: until the connection closes
  bool chunked_ = false;
  bool chunkStarted_ = false;
  bool chunkDone_ = false;
  int64_t chunkLeft_ = 0;
};

}  // namespace

std::unique_ptr<HttpExchange> OpenSocketExchange(const HttpRequestSpec& spec) {
  return std::make_unique<SocketExchange>(spec);
}

}  // namespace AlibabaCloud::OSS::detail
