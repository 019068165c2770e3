// HTTP/1.1 over a Winsock stream socket, with TLS through Schannel for
// https:// endpoints. Connections stay open between requests when the
// server allows it, so a download's metadata request and its GET share one
// connection and one TLS handshake. The answer itself is read by the
// portable rules of http_response.h.
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "network/http_response.h"
#include "network/oss_sdk.h"
#include "network/oss_transport.h"
#include "platform/install_log.h"

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

// Ciphertext buffer of a TLS connection: many 16 KiB records per receive,
// so that one trip to the socket feeds several decryptions.
constexpr size_t kTlsReceiveBuffer = 512 * 1024;
// Smallest piece of a Content-Length body a read hands on, unless the body
// or the connection ends first.
constexpr size_t kHandOver = 512 * 1024;
// Longest time one read of a body keeps filling its buffer.
constexpr ULONGLONG kLongestFillMs = 1000;
// Idle connections a client keeps; the installer talks to one server.
constexpr size_t kMaxIdleConnections = 4;

constexpr DWORD kTlsRequestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                   ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                   ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;

std::string Hex(long value) {
  char text[16] = {};
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

// What a refused certificate means, in words a support engineer can act on.
std::string DescribeCertificateError(DWORD error, const std::string& host) {
  std::string what;
  switch (static_cast<HRESULT>(error)) {
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
    case CERT_E_UNTRUSTEDCA:
    case TRUST_E_CERT_SIGNATURE:
      what = "the certificate of " + host + " was issued by an authority this computer does not trust";
      break;
    case CERT_E_EXPIRED:
    case CERT_E_VALIDITYPERIODNESTING:
      what = "the certificate of " + host + " has expired or is not yet valid";
      break;
    case CERT_E_CN_NO_MATCH:
      what = "the certificate presented by " + host + " was issued for another host name";
      break;
    case CERT_E_REVOKED:
      what = "the certificate of " + host + " has been revoked";
      break;
    case CERT_E_WRONG_USAGE:
      what = "the certificate of " + host + " is not meant for a server";
      break;
    case TRUST_E_BASIC_CONSTRAINTS:
      what = "the certificate of " + host + " was issued by a certificate that is no authority";
      break;
    case CERT_E_INVALID_NAME:
      what = "the certificate of " + host + " is outside the names its authority may certify";
      break;
    default:
      what = "the certificate of " + host + " failed the system's check";
      break;
  }
  return what + " (error " + Hex(static_cast<long>(error)) + ")";
}

// Chain errors that do not refuse a server: revocation that could not be
// checked, because the revocation servers could not be reached or the
// certificate names none. Every other error bit does.
constexpr DWORD kToleratedChainErrors = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// The policy error that a chain's trust status amounts to; 0 when none. An
// allow-list: a bit not named here (a future or unusual one) refuses too.
DWORD ChainError(DWORD status) {
  status &= ~kToleratedChainErrors;
  if (status == 0) return 0;
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return static_cast<DWORD>(TRUST_E_CERT_SIGNATURE);
  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC))
    return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
  if (status & (CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED))
    return static_cast<DWORD>(CERT_E_EXPIRED);
  if (status & CERT_TRUST_IS_REVOKED) return static_cast<DWORD>(CERT_E_REVOKED);
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return static_cast<DWORD>(CERT_E_WRONG_USAGE);
  if (status & CERT_TRUST_INVALID_BASIC_CONSTRAINTS) return static_cast<DWORD>(TRUST_E_BASIC_CONSTRAINTS);
  if (status & (CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
                CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT |
                CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT))
    return static_cast<DWORD>(CERT_E_INVALID_NAME);
  return static_cast<DWORD>(TRUST_E_FAIL);
}

struct CertDeleter {
  void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
struct ChainDeleter {
  void operator()(PCCERT_CHAIN_CONTEXT c) const { CertFreeCertificateChain(c); }
};

// One TCP connection to one server, with its TLS session when it has one.
class Connection {
 public:
  Connection(const RequestTarget& target, bool verified)
      : https_(target.https),
        host_(target.host),
        wideHost_(host_.begin(), host_.end()),  // the host is plain ASCII
        port_(target.port),
        verified_(verified) {}
  ~Connection() {
    if (haveContext_) DeleteSecurityContext(&context_);
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // A plain connection's end, or a TLS connection's end announced by the
  // server's close_notify: not a TCP close that anyone on the path could
  // have made.
  bool EndedCleanly() const { return !https_ || closeNotified_ || (closed_ && emptyRecordLast_); }

  bool Serves(const RequestTarget& target, bool verify) const {
    return https_ == target.https && host_ == target.host && port_ == target.port &&
           (verified_ || !verify);
  }

  bool Open(const HttpRequestSpec& spec, CredHandle* credentials, TransportFailure& failure) {
    if (!Connect(spec, failure)) return false;
    if (!https_) return true;
    credentials_ = credentials;
    return Handshake(failure) && (!spec.verifyPeer || VerifyPeer(failure));
  }

  // The stall limit: no single wait for data may last longer.
  void SetTimeout(long ms) {
    timeoutMs_ = ms;
    const DWORD timeout = static_cast<DWORD>(ms);
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  }

  // An idle connection that has become readable was closed by the server
  // (or carries bytes nobody asked for): either way it is not reused.
  bool LooksClosed() const {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval now{0, 0};
    return select(0, &readable, nullptr, nullptr, &now) != 0 || plainSize_ != 0 || start_ != used_;
  }

  bool SendAll(const char* data, size_t size, TransportFailure& failure) {
    if (!https_) return SendRaw(data, size, kSendError, failure);
    std::vector<char> record(sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer);
    while (size > 0) {
      const size_t n = std::min<size_t>(size, sizes_.cbMaximumMessage);
      std::memcpy(record.data() + sizes_.cbHeader, data, n);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {static_cast<ULONG>(n), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + n},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
      if (status != SEC_E_OK) {
        failure = Fail(kSendError, "EncryptMessage failed with " + Hex(status));
        return false;
      }
      if (!SendRaw(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer,
                   kSendError, failure))
        return false;
      data += n;
      size -= n;
    }
    return true;
  }

  // Up to `capacity` received bytes; `got` 0 when the server has closed
  // the connection. Over TLS it decrypts every whole record at hand and
  // waits for the socket only when it has nothing to give yet.
  bool Receive(char* buffer, size_t capacity, size_t& got, TransportFailure& failure) {
    got = 0;
    if (!https_) {
      int n = 0;
      if (!ReceiveRaw(buffer, capacity, n, kRecvError, failure)) return false;
      got = static_cast<size_t>(n);
      return true;
    }
    while (got < capacity) {
      if (plainSize_ > 0) {
        const size_t n = std::min(capacity - got, plainSize_);
        std::memcpy(buffer + got, plain_, n);
        plain_ += n;
        plainSize_ -= n;
        got += n;
        continue;
      }
      if (closed_) break;
      if (start_ < used_) {
        const SECURITY_STATUS status = Decrypt(failure);
        if (status == SEC_E_OK) continue;
        if (status == SEC_I_CONTEXT_EXPIRED) {
          closed_ = true;  // the server's close_notify
          closeNotified_ = true;
          break;
        }
        if (status != SEC_E_INCOMPLETE_MESSAGE) return false;
      }
      // Hand over what is there rather than wait for more. (Asking the
      // socket whether more has come, FIONREAD, is a trip to the
      // wineserver under Wine and cost a third of the transfer.)
      if (got > 0) break;
      if (start_ > 0) {
        std::memmove(cipher_.data(), cipher_.data() + start_, used_ - start_);
        used_ -= start_;
        start_ = 0;
      }
      int n = 0;
      if (!ReceiveRaw(cipher_.data() + used_, cipher_.size() - used_, n, kRecvError, failure))
        return false;
      if (n == 0) closed_ = true;
      used_ += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  bool Connect(const HttpRequestSpec& spec, TransportFailure& failure) {
    StartWinsock();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(port_ != 0 ? port_ : (https_ ? 443 : 80));
    if (getaddrinfo(host_.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
      failure = Fail(kCouldNotResolveHost, "Could not resolve host: " + host_);
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
    timeval limit{static_cast<long>(spec.connectTimeoutMs / 1000),
                  static_cast<long>(spec.connectTimeoutMs % 1000 * 1000)};
    const int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready == 0) {
      failure = Fail(kOperationTimedOut, "Connection timed out after " +
                                             std::to_string(spec.connectTimeoutMs) + " milliseconds");
      return false;
    }
    int error = 0;
    int size = sizeof error;
    getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
    if (ready < 0 || FD_ISSET(socket_, &failed) || error != 0) {
      failure = Fail(kCouldNotConnect, "Failed to connect to " + host_ + " port " + port +
                                           ": socket error " + std::to_string(error));
      return false;
    }
    nonBlocking = 0;
    ioctlsocket(socket_, FIONBIO, &nonBlocking);
    SetTimeout(spec.requestTimeoutMs);
    const int receiveBuffer = 4 << 20;
    setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
               sizeof receiveBuffer);
    // Requests are small and answered at once; no reason to hold them back.
    const BOOL noDelay = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    return true;
  }

  TransportFailure SocketFailure(long status, const char* call) const {
    const int error = WSAGetLastError();
    if (error == WSAETIMEDOUT)
      return Fail(kOperationTimedOut, "Operation too slow. No data for " +
                                          std::to_string(timeoutMs_) + " ms");
    if (error == WSAECONNREFUSED) return Fail(kCouldNotConnect, std::string(call) + ": connection refused");
    return Fail(status, std::string(call) + " failed with socket error " + std::to_string(error));
  }

  bool SendRaw(const char* data, size_t size, long status, TransportFailure& failure) {
    for (size_t sent = 0; sent < size;) {
      const int n = send(socket_, data + sent, static_cast<int>(std::min<size_t>(size - sent, 1 << 30)), 0);
      if (n <= 0) {
        failure = SocketFailure(status, "send");
        return false;
      }
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  bool ReceiveRaw(char* buffer, size_t capacity, int& n, long status, TransportFailure& failure) {
    n = recv(socket_, buffer, static_cast<int>(std::min<size_t>(capacity, 1 << 30)), 0);
    if (n < 0) {
      failure = SocketFailure(status, "recv");
      return false;
    }
    return true;
  }

  // Sends what Schannel produced for the server and frees it.
  bool SendToken(SecBuffer& token, TransportFailure& failure) {
    if (token.pvBuffer == nullptr) return true;
    const bool sent = token.cbBuffer == 0 ||
                      SendRaw(static_cast<const char*>(token.pvBuffer), token.cbBuffer,
                              kCouldNotConnect, failure);
    FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
    return sent;
  }

  // One step of the handshake on the ciphertext at hand; the bytes Schannel
  // did not take stay at the front of the buffer.
  SECURITY_STATUS HandshakeStep(bool first, TransportFailure& failure) {
    SecBuffer input[2] = {{static_cast<ULONG>(used_ - start_), SECBUFFER_TOKEN, cipher_.data() + start_},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputDesc{SECBUFFER_VERSION, 2, input};
    SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, &output};
    ULONG attributes = 0;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        credentials_, first ? nullptr : &context_, wideHost_.data(), kTlsRequestFlags, 0, 0,
        first ? nullptr : &inputDesc, 0, &context_, &outputDesc, &attributes, nullptr);
    if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) haveContext_ = true;
    if (!SendToken(output, failure)) return SEC_E_INTERNAL_ERROR;
    if (status == SEC_E_INCOMPLETE_MESSAGE) return status;
    if (!first) {
      start_ = input[1].BufferType == SECBUFFER_EXTRA ? used_ - input[1].cbBuffer : used_;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
      failure = Fail(kSslConnectError, "the TLS handshake with " + host_ + " failed with " + Hex(status));
    return status;
  }

  bool Handshake(TransportFailure& failure) {
    cipher_.resize(kTlsReceiveBuffer);
    SECURITY_STATUS status = HandshakeStep(true, failure);
    while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
      if (status == SEC_E_INCOMPLETE_MESSAGE || start_ == used_) {
        if (start_ > 0) {
          std::memmove(cipher_.data(), cipher_.data() + start_, used_ - start_);
          used_ -= start_;
          start_ = 0;
        }
        if (used_ == cipher_.size()) {
          failure = Fail(kSslConnectError, "the server's TLS handshake message is too long");
          return false;
        }
        int n = 0;
        if (!ReceiveRaw(cipher_.data() + used_, cipher_.size() - used_, n, kCouldNotConnect, failure))
          return false;
        if (n == 0) {
          // A server that goes away mid-handshake (restarting, overloaded)
          // is a connection that did not come about: worth another try.
          failure = Fail(kCouldNotConnect, "the server closed the connection during the TLS handshake");
          return false;
        }
        used_ += static_cast<size_t>(n);
      }
      status = HandshakeStep(false, failure);
    }
    if (status != SEC_E_OK) {
      if (failure.status == 0)
        failure = Fail(kSslConnectError, "the TLS handshake with " + host_ + " failed with " + Hex(status));
      return false;
    }
    const SECURITY_STATUS sized = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (sized != SEC_E_OK) {
      failure = Fail(kSslConnectError, "QueryContextAttributes failed with " + Hex(sized));
      return false;
    }
    return true;
  }

  // The system's verdict on the server's certificate: a chain to a trusted
  // authority, valid today, for a server, issued for this host name.
  bool VerifyPeer(TransportFailure& failure) {
    PCCERT_CONTEXT remote = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote) != SEC_E_OK ||
        remote == nullptr) {
      failure = Fail(kPeerFailedVerification, "the server " + host_ + " sent no certificate");
      return false;
    }
    const std::unique_ptr<const CERT_CONTEXT, CertDeleter> cert(remote);
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // The machine's engine: the installer runs elevated, and an authority a
    // user added to their own store must not vouch for its downloads.
    auto build = [&](DWORD flags) -> std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainDeleter> {
      PCCERT_CHAIN_CONTEXT raw = nullptr;
      if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, cert.get(), nullptr, cert->hCertStore, &chainPara, flags,
                                   nullptr, &raw)) {
        raw = nullptr;
        failure = Fail(kPeerFailedVerification, "the certificate chain of " + host_ +
                                                    " could not be built (error " +
                                                    std::to_string(GetLastError()) + ")");
      }
      return std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainDeleter>(raw);
    };
    // The chain with revocation checked for every certificate but the root;
    // its own verdict first, as an allow-list (Wine's SSL policy lets a
    // chain pass that ends at an unknown issuer or runs through a leaf).
    const auto chain = build(CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                             CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT);
    if (!chain) return false;
    if (const DWORD chainError = ChainError(chain->TrustStatus.dwErrorStatus); chainError != 0) {
      failure = Fail(kPeerFailedVerification, DescribeCertificateError(chainError, host_));
      return false;
    }
    // Host name and usage by the system's SSL policy, on the chain without
    // revocation: a policy stops at an unknown revocation status before it
    // looks at the name.
    const auto plain = build(0);
    if (!plain) return false;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbStruct = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = wideHost_.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, plain.get(), &policy, &verdict)) {
      failure = Fail(kPeerFailedVerification, "the certificate of " + host_ +
                                                  " could not be checked (error " +
                                                  std::to_string(GetLastError()) + ")");
      return false;
    }
    if (verdict.dwError != 0) {
      failure = Fail(kPeerFailedVerification, DescribeCertificateError(verdict.dwError, host_));
      return false;
    }
    // Accepted without a revocation answer: the support engineer should
    // know. Once per connection.
    const DWORD unchecked = chain->TrustStatus.dwErrorStatus & kToleratedChainErrors;
    if (unchecked != 0 && !revocationLogged_) {
      revocationLogged_ = true;
      WriteLog(("Certificate of " + host_ + " accepted without a revocation check (" +
                ((unchecked & CERT_TRUST_IS_OFFLINE_REVOCATION) != 0 ? "revocation server offline"
                                                                    : "revocation status unknown") +
                ")")
                   .c_str());
    }
    return true;
  }

  // Decrypts the record at the front of the ciphertext in place. SEC_E_OK
  // leaves its plaintext in plain_; anything but that, SEC_E_INCOMPLETE_MESSAGE
  // and SEC_I_CONTEXT_EXPIRED is a failure already reported.
  SECURITY_STATUS Decrypt(TransportFailure& failure) {
    // Exactly one record at a time: Wine's Schannel copies all the input it
    // is given on every call, which over a large buffer cost more than the
    // decryption itself. A record is a 5-byte header and its length.
    const size_t available = used_ - start_;
    if (available < 5) return SEC_E_INCOMPLETE_MESSAGE;
    const unsigned char* header = reinterpret_cast<const unsigned char*>(cipher_.data() + start_);
    const size_t record = 5 + (size_t{header[3]} << 8 | header[4]);
    if (record > available) return SEC_E_INCOMPLETE_MESSAGE;
    SecBuffer buffers[4] = {{static_cast<ULONG>(record), SECBUFFER_DATA, cipher_.data() + start_},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE || status == SEC_I_CONTEXT_EXPIRED) return status;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
      failure = Fail(kRecvError, "DecryptMessage failed with " + Hex(status));
      return status;
    }
    size_t extra = 0;
    // Wine's Schannel reports the server's close_notify as a record without
    // data (Windows' as SEC_I_CONTEXT_EXPIRED): the connection's end after
    // such a record counts as announced, after any other as a bare cut.
    emptyRecordLast_ = true;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        plain_ = static_cast<const char*>(b.pvBuffer);
        plainSize_ = b.cbBuffer;
        emptyRecordLast_ = false;
      } else if (b.BufferType == SECBUFFER_EXTRA) {
        extra = b.cbBuffer;
      }
    }
    start_ += record - extra;
    if (status == SEC_I_RENEGOTIATE) {
      // A post-handshake message (a TLS 1.3 session ticket, say): Schannel
      // wants it back through the handshake call.
      const SECURITY_STATUS handled = HandshakeStep(false, failure);
      if (handled != SEC_E_OK && handled != SEC_I_CONTINUE_NEEDED) {
        if (failure.status == 0) failure = Fail(kRecvError, "TLS renegotiation failed with " + Hex(handled));
        return handled;
      }
      // A renegotiation may bring another certificate: it is checked as
      // the first one was before any more of the answer is believed.
      if (handled == SEC_E_OK && verified_ && !VerifyPeer(failure)) return SEC_E_CERT_UNKNOWN;
    }
    return SEC_E_OK;
  }

  bool https_;
  std::string host_;
  std::wstring wideHost_;  // for Schannel and the certificate check
  uint16_t port_;
  bool verified_;
  SOCKET socket_ = INVALID_SOCKET;
  long timeoutMs_ = 0;
  // TLS state: the credentials belong to the pool, which outlives every
  // connection; ciphertext waits in cipher_[start_, used_).
  CredHandle* credentials_ = nullptr;
  CtxtHandle context_{};
  bool haveContext_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::vector<char> cipher_;
  size_t start_ = 0;
  size_t used_ = 0;
  const char* plain_ = nullptr;  // decrypted bytes not yet handed out, inside cipher_
  size_t plainSize_ = 0;
  bool closed_ = false;
  bool closeNotified_ = false;  // closed_ by the server's close_notify
  bool emptyRecordLast_ = false;  // the last record decrypted carried no data
  bool revocationLogged_ = false;
};

}  // namespace

struct ConnectionPool::State {
  // Guards `idle` and the credentials handle: one client may be used from
  // the UI thread and then from the worker.
  std::mutex poolLock;
  std::vector<std::unique_ptr<Connection>> idle;
  CredHandle credentials{};
  bool haveCredentials = false;

  ~State() {
    idle.clear();  // connections first: their contexts use the credentials
    if (haveCredentials) FreeCredentialsHandle(&credentials);
  }

  CredHandle* Credentials(TransportFailure& failure) {
    std::lock_guard<std::mutex> guard(poolLock);
    if (haveCredentials) return &credentials;
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    // The certificate is checked here, by the chain policy, so that the
    // verdict (and its log line) is the same on every Windows and on Wine.
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    TimeStamp expiry{};
    wchar_t package[] = UNISP_NAME_W;
    const SECURITY_STATUS status = AcquireCredentialsHandleW(
        nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr, &credentials, &expiry);
    if (status != SEC_E_OK) {
      failure = Fail(kSslConnectError, "AcquireCredentialsHandle failed with " + Hex(status));
      return nullptr;
    }
    haveCredentials = true;
    return &credentials;
  }

  std::unique_ptr<Connection> Take(const RequestTarget& target, bool verify) {
    std::lock_guard<std::mutex> guard(poolLock);
    for (auto it = idle.begin(); it != idle.end();) {
      if (!(*it)->Serves(target, verify)) {
        ++it;
        continue;
      }
      std::unique_ptr<Connection> found = std::move(*it);
      it = idle.erase(it);
      if (!found->LooksClosed()) return found;
    }
    return nullptr;
  }

  void Put(std::unique_ptr<Connection> connection) {
    std::lock_guard<std::mutex> guard(poolLock);
    if (idle.size() >= kMaxIdleConnections) idle.erase(idle.begin());
    idle.push_back(std::move(connection));
  }
};

ConnectionPool::ConnectionPool() : state(std::make_unique<State>()) {}
ConnectionPool::~ConnectionPool() = default;

namespace {

class SocketExchange : public HttpExchange {
 public:
  SocketExchange(const HttpRequestSpec& spec, ConnectionPool::State& pool) : spec_(spec), pool_(pool) {}

  bool Start(TransportFailure& failure, unsigned long& status, HeaderCollection& headers) override {
    const RequestTarget& t = spec_.target;
    std::string request;
    request.append(spec_.verb).append(" ").append(t.path).append(" HTTP/1.1\r\nHost: ").append(t.host);
    if (t.port != 0 && t.port != (t.https ? 443 : 80)) request.append(":").append(std::to_string(t.port));
    request.append("\r\n");
    for (const auto& [name, value] : spec_.headers)
      request.append(name).append(": ").append(value).append("\r\n");
    request += "\r\n";

    http::ResponseHead head;
    for (bool reuse = true;; reuse = false) {
      connection_ = reuse ? pool_.Take(t, spec_.verifyPeer) : nullptr;
      const bool reused = connection_ != nullptr;
      if (reused) {
        connection_->SetTimeout(spec_.requestTimeoutMs);
      } else {
        CredHandle* credentials = nullptr;
        if (t.https && (credentials = pool_.Credentials(failure)) == nullptr) return false;
        connection_ = std::make_unique<Connection>(t, spec_.verifyPeer);
        if (!connection_->Open(spec_, credentials, failure)) return false;
      }
      bool answered = false;
      if (connection_->SendAll(request.data(), request.size(), failure) &&
          ReadHead(head, answered, failure))
        break;
      // A kept connection the server has meanwhile closed: the request
      // never reached it, so it goes again on a new connection.
      if (!reused || answered) return false;
      failure = {};
    }
    status = static_cast<unsigned long>(head.status);
    std::string error;
    if (!decoder_.Start(spec_.verb, head, error)) {
      failure = Fail(kRecvError, error);
      return false;
    }
    reusable_ = head.keepAlive && decoder_.Kind() != http::BodyKind::UntilClose;
    headers = std::move(head.headers);
    if (decoder_.Done()) Release();
    return true;
  }

  bool Read(char* buffer, size_t capacity, size_t& got, TransportFailure& failure) override {
    got = 0;
    while (got == 0) {
      if (decoder_.Done()) {
        Release();
        return true;
      }
      size_t n = 0;
      if (pending_.size() > 0) {
        n = std::min(capacity, pending_.size());
        std::memcpy(buffer, pending_.data(), n);
        pending_.erase(0, n);
      } else {
        if (!connection_) return true;
        size_t want = capacity;
        if (decoder_.Kind() == http::BodyKind::Length)
          want = static_cast<size_t>(std::min<int64_t>(decoder_.Remaining(), static_cast<int64_t>(capacity)));
        if (!connection_->Receive(buffer, want, n, failure)) {
          connection_.reset();
          return false;
        }
        if (n == 0) {
          reusable_ = false;
          // A body that the connection's end frames is whole only when
          // the server said so; a bare TCP close may be a cut.
          if (decoder_.Kind() == http::BodyKind::UntilClose && !connection_->EndedCleanly()) {
            connection_.reset();
            failure = Fail(kPartialFile, "the connection closed without TLS close_notify inside a body "
                                         "that ends with the connection");
            return false;
          }
          if (decoder_.EndOfStream()) {
            Release();
            return true;
          }
          connection_.reset();
          failure = decoder_.Kind() == http::BodyKind::Length
                        ? Fail(kPartialFile, "transfer closed with " +
                                                 std::to_string(decoder_.Remaining()) +
                                                 " bytes remaining to read")
                        : Fail(kPartialFile, "the connection closed inside a chunked body");
          return false;
        }
        // A package body is handed on in large pieces: each piece costs the
        // writer thread a wake-up and a WriteFile, whatever its size. The
        // end of the body or of the connection stops the filling early.
        // A trickling server must not keep one read filling for ever: the
        // layer above judges progress between reads.
        const ULONGLONG filling = GetTickCount64();
        while (decoder_.Kind() == http::BodyKind::Length && n < want && n < kHandOver &&
               GetTickCount64() - filling < kLongestFillMs) {
          size_t more = 0;
          if (!connection_->Receive(buffer + n, want - n, more, failure)) {
            connection_.reset();
            return false;
          }
          if (more == 0) break;  // the next read sees the close
          n += more;
        }
      }
      size_t consumed = 0;
      if (!decoder_.Decode(buffer, n, consumed, got)) {
        connection_.reset();
        failure = Fail(kRecvError, decoder_.Error());
        return false;
      }
      if (consumed < n) reusable_ = false;  // bytes beyond the answer's end
    }
    return true;
  }

 private:
  // Reads until the end of the head; what follows it is body. Interim
  // 1xx answers are skipped. `answered`: the server sent anything at all.
  bool ReadHead(http::ResponseHead& head, bool& answered, TransportFailure& failure) {
    std::string received;
    std::vector<char> buffer(16 * 1024);
    size_t searched = 0;
    while (true) {
      const size_t end = http::FindHeadEnd(std::string_view(received).substr(searched));
      if (end != 0) {
        const size_t headEnd = searched + end;
        std::string error;
        if (!http::ParseResponseHead(std::string_view(received).substr(0, headEnd), head, error)) {
          failure = Fail(kGotNothing, error);
          return false;
        }
        received.erase(0, headEnd);
        searched = 0;
        if (head.status >= 100 && head.status < 200 && head.status != 101) continue;
        pending_ = std::move(received);
        return true;
      }
      searched = received.size() > 3 ? received.size() - 3 : 0;
      if (received.size() > http::kMaxHead) {
        failure = Fail(kRecvError, "the answer's headers are too long");
        return false;
      }
      size_t n = 0;
      if (!connection_->Receive(buffer.data(), buffer.size(), n, failure)) return false;
      if (n == 0) {
        failure = Fail(kGotNothing, "the server closed the connection before answering");
        return false;
      }
      answered = true;
      received.append(buffer.data(), n);
    }
  }

  // The answer is complete: its connection goes back for the next request
  // when the server keeps it open and nothing unread is left on it.
  void Release() {
    if (connection_ && reusable_ && pending_.empty()) pool_.Put(std::move(connection_));
    connection_.reset();
  }

  HttpRequestSpec spec_;
  ConnectionPool::State& pool_;
  std::unique_ptr<Connection> connection_;
  http::BodyDecoder decoder_;
  std::string pending_;  // body bytes that came with the head
  bool reusable_ = false;
};

}  // namespace

std::unique_ptr<HttpExchange> OpenSocketExchange(const HttpRequestSpec& spec, ConnectionPool& pool) {
  return std::make_unique<SocketExchange>(spec, *pool.state);
}

}  // namespace AlibabaCloud::OSS::detail
