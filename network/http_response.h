#pragma once
// Reading an HTTP/1.1 answer: its head (status line and header fields) and
// the framing of its body (Content-Length, chunked, or until the peer
// closes). Portable text work with no I/O: the socket transport feeds it
// the bytes it received, the WinHTTP transport the raw headers it queried,
// so both read answers by the same rules, and the rules build natively too.
//
// Everything here comes from the network: every field is bounded and
// checked, nothing is trusted to be well formed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include "network/text_trim.h"

namespace AlibabaCloud::OSS {

// Header names compare without regard to case, as HTTP wants.
struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const {
    const auto lower = [](char c) { return static_cast<unsigned char>(AsciiLower(c)); };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return lower(x) < lower(y); });
  }
};
using HeaderCollection = std::map<std::string, std::string, CaseInsensitiveLess>;

namespace http {

// Longest head an answer may have; the service's heads are about 1 KiB.
inline constexpr size_t kMaxHead = 64 * 1024;

struct ResponseHead {
  int status = 0;
  int minorVersion = 1;  // HTTP/1.<minor>
  HeaderCollection headers;
  // The server keeps the connection open after this answer (HTTP/1.1
  // without "Connection: close", or HTTP/1.0 with "keep-alive").
  bool keepAlive = false;
};

// Length of the head in `data` up to and including the blank line that
// ends it, or 0 while that line has not arrived.
size_t FindHeadEnd(std::string_view data);

// Reads a head (with or without its blank line). False with the reason in
// `error` when it is not an HTTP/1.x answer: a bad status line, a header
// line without a name, bare CR or LF, conflicting Content-Length values.
// A repeated field is joined with ", " as HTTP allows.
bool ParseResponseHead(std::string_view head, ResponseHead& out, std::string& error);

enum class BodyKind { None, Length, Chunked, UntilClose };

// Undoes the body framing of one answer, in place, a buffer at a time.
class BodyDecoder {
 public:
  // Chooses the framing of the answer to `verb` from its head. False when
  // the head's framing fields cannot be read (a Content-Length that is not
  // a number, say).
  bool Start(std::string_view verb, const ResponseHead& head, std::string& error);

  // Takes `size` received bytes at `data` and moves the body bytes among
  // them to the front: data[0, produced) is body. `consumed` is how many of
  // the received bytes belonged to this answer (less than `size` only once
  // the body has ended). False when the framing is broken; Error() says how.
  bool Decode(char* data, size_t size, size_t& consumed, size_t& produced);

  // The body has ended by its own framing.
  bool Done() const { return state_ == State::Done; }
  // The peer closed the connection: true when that ends the body properly
  // (a read-until-close body, or one that had already ended).
  bool EndOfStream();

  BodyKind Kind() const { return kind_; }
  // Body bytes still expected by a Content-Length answer; -1 otherwise.
  int64_t Remaining() const { return kind_ == BodyKind::Length ? remaining_ : -1; }
  const std::string& Error() const { return error_; }

 private:
  enum class State {
    Body,          // Length / UntilClose data, or chunk data
    ChunkSize,     // hex digits of a chunk-size line
    ChunkExt,      // the rest of a chunk-size line
    ChunkDataEnd,  // the CRLF after a chunk's data
    Trailer,       // trailer lines after the last chunk
    Done,
  };
  bool Fail(const char* why);

  BodyKind kind_ = BodyKind::None;
  State state_ = State::Done;
  int64_t remaining_ = 0;  // Length: body bytes left; Chunked: data left in the chunk
  int64_t chunkSize_ = 0;
  int digits_ = 0;
  size_t lineLength_ = 0;
  bool sawCr_ = false;
  size_t trailerBytes_ = 0;
  std::string error_;
};

}  // namespace http
}  // namespace AlibabaCloud::OSS
