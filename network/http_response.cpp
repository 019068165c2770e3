#include "network/http_response.h"

#include <cstring>

namespace AlibabaCloud::OSS::http {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool IsTokenChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  if (u <= 32 || u >= 127) return false;
  return std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

// True when one of the comma-separated tokens of `list` is `token`.
bool HasToken(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (EqualsNoCase(Trim(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

const std::string* Find(const HeaderCollection& headers, const char* name) {
  const auto it = headers.find(name);
  return it == headers.end() ? nullptr : &it->second;
}

// A decimal Content-Length; 18 digits keep it inside int64_t.
bool ParseLength(std::string_view text, int64_t& value) {
  text = Trim(text);
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A chunk-size line longer than this is an attack, not an extension.
constexpr size_t kMaxChunkLine = 1024;
// Fifteen hex digits: chunk sizes stay below 2^60.
constexpr int kMaxChunkDigits = 15;

}  // namespace

size_t FindHeadEnd(std::string_view data) {
  const size_t end = data.find("\r\n\r\n");
  return end == std::string_view::npos ? 0 : end + 4;
}

bool ParseResponseHead(std::string_view head, ResponseHead& out, std::string& error) {
  out = ResponseHead{};
  while (head.size() >= 2 && head.substr(head.size() - 2) == "\r\n") head.remove_suffix(2);
  size_t lineStart = 0;
  bool first = true;
  std::string lastName;
  while (lineStart <= head.size()) {
    const size_t lineEnd = std::min(head.find("\r\n", lineStart), head.size());
    const std::string_view line = head.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 2;
    if (line.find_first_of("\r\n") != std::string_view::npos) {
      error = "a bare CR or LF in the answer's head";
      return false;
    }
    if (first) {
      first = false;
      // "HTTP/1.1 200 OK"; the reason phrase may be empty or absent.
      if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[7] < '0' || line[7] > '9' ||
          line[8] != ' ' || (line.size() > 12 && line[12] != ' ')) {
        error = "the answer is not HTTP/1.x";
        return false;
      }
      int status = 0;
      for (size_t i = 9; i < 12; ++i) {
        if (line[i] < '0' || line[i] > '9') {
          error = "the answer's status is not a number";
          return false;
        }
        status = status * 10 + (line[i] - '0');
      }
      if (status < 100) {
        error = "the answer's status is out of range";
        return false;
      }
      out.status = status;
      out.minorVersion = line[7] - '0';
      continue;
    }
    if (line.empty()) {
      error = "an empty line inside the answer's head";
      return false;
    }
    if (line.front() == ' ' || line.front() == '\t') {
      // An old-style continuation line belongs to the field before it.
      if (lastName.empty()) {
        error = "a continuation line without a field";
        return false;
      }
      std::string& value = out.headers[lastName];
      value.append(value.empty() ? "" : " ").append(Trim(line));
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      error = "a header line without a name";
      return false;
    }
    const std::string_view name = line.substr(0, colon);
    for (const char c : name) {
      if (!IsTokenChar(c)) {
        error = "a header name with a forbidden character";
        return false;
      }
    }
    const std::string_view value = Trim(line.substr(colon + 1));
    lastName.assign(name);
    const auto [it, added] = out.headers.emplace(lastName, std::string(value));
    if (added) continue;
    if (EqualsNoCase(name, "Content-Length")) {
      // Two different lengths mean two readings of where the body ends.
      if (it->second != value) {
        error = "conflicting Content-Length fields";
        return false;
      }
      continue;
    }
    it->second.append(", ").append(value);
  }
  if (out.status == 0) {
    error = "the answer is empty";
    return false;
  }
  const std::string* connection = Find(out.headers, "Connection");
  if (out.minorVersion >= 1)
    out.keepAlive = connection == nullptr || !HasToken(*connection, "close");
  else
    out.keepAlive = connection != nullptr && HasToken(*connection, "keep-alive");
  // Both framings at once is how requests get smuggled past a proxy; such
  // an answer is read (chunked wins) but its connection is not reused.
  if (Find(out.headers, "Transfer-Encoding") != nullptr && Find(out.headers, "Content-Length"))
    out.keepAlive = false;
  return true;
}

bool BodyDecoder::Fail(const char* why) {
  error_ = why;
  return false;
}

bool BodyDecoder::Start(std::string_view verb, const ResponseHead& head, std::string& error) {
  *this = BodyDecoder{};
  if (verb == "HEAD" || head.status < 200 || head.status == 204 || head.status == 304) {
    kind_ = BodyKind::None;
    state_ = State::Done;
    return true;
  }
  if (const std::string* te = Find(head.headers, "Transfer-Encoding")) {
    // Only a final "chunked" frames the body; any other coding runs to
    // the end of the connection.
    const size_t comma = te->rfind(',');
    const std::string_view last =
        Trim(std::string_view(*te).substr(comma == std::string::npos ? 0 : comma + 1));
    if (EqualsNoCase(last, "chunked")) {
      kind_ = BodyKind::Chunked;
      state_ = State::ChunkSize;
    } else {
      kind_ = BodyKind::UntilClose;
      state_ = State::Body;
    }
    return true;
  }
  if (const std::string* length = Find(head.headers, "Content-Length")) {
    if (!ParseLength(*length, remaining_)) {
      error = "the answer's Content-Length is not a number";
      return false;
    }
    kind_ = BodyKind::Length;
    state_ = remaining_ == 0 ? State::Done : State::Body;
    return true;
  }
  kind_ = BodyKind::UntilClose;
  state_ = State::Body;
  return true;
}

bool BodyDecoder::Decode(char* data, size_t size, size_t& consumed, size_t& produced) {
  consumed = 0;
  produced = 0;
  if (kind_ == BodyKind::UntilClose) {
    consumed = produced = size;
    return true;
  }
  if (kind_ == BodyKind::Length) {
    if (state_ == State::Done) return true;
    const size_t n = static_cast<size_t>(std::min<int64_t>(remaining_, static_cast<int64_t>(size)));
    remaining_ -= static_cast<int64_t>(n);
    consumed = produced = n;
    if (remaining_ == 0) state_ = State::Done;
    return true;
  }
  // Chunked: the framing bytes are dropped and the data moved forward over
  // them, so the body ends up at the front of the same buffer.
  size_t at = 0;
  while (at < size && state_ != State::Done) {
    const char c = data[at];
    switch (state_) {
      case State::Body: {
        const size_t n = static_cast<size_t>(
            std::min<int64_t>(remaining_, static_cast<int64_t>(size - at)));
        if (produced != at) std::memmove(data + produced, data + at, n);
        produced += n;
        at += n;
        remaining_ -= static_cast<int64_t>(n);
        if (remaining_ == 0) {
          state_ = State::ChunkDataEnd;
          sawCr_ = false;
        }
        continue;
      }
      case State::ChunkSize: {
        const int v = HexValue(c);
        if (v >= 0) {
          if (++digits_ > kMaxChunkDigits) return Fail("a chunk size is too large");
          chunkSize_ = chunkSize_ * 16 + v;
          ++lineLength_;
          break;
        }
        if (digits_ == 0) return Fail("a chunk size line without a size");
        if (c != ';' && c != ' ' && c != '\t' && c != '\r' && c != '\n')
          return Fail("a chunk size is not a hex number");
        state_ = State::ChunkExt;
        continue;  // the same byte again, as part of the line's rest
      }
      case State::ChunkExt:
        if (c == '\n') {
          lineLength_ = 0;
          digits_ = 0;
          if (chunkSize_ == 0) {
            state_ = State::Trailer;
          } else {
            remaining_ = chunkSize_;
            state_ = State::Body;
          }
          chunkSize_ = 0;
        } else if (++lineLength_ > kMaxChunkLine) {
          return Fail("a chunk size line is too long");
        }
        break;
      case State::ChunkDataEnd:
        if (c == '\r' && !sawCr_) {
          sawCr_ = true;
        } else if (c == '\n') {
          state_ = State::ChunkSize;
        } else {
          return Fail("a chunk's data is not followed by CRLF");
        }
        break;
      case State::Trailer:
        if (c == '\n') {
          if (lineLength_ == 0) state_ = State::Done;
          lineLength_ = 0;
        } else if (c != '\r') {
          ++lineLength_;
          if (++trailerBytes_ > kMaxHead) return Fail("the chunked trailer is too long");
        }
        break;
      case State::Done:
        break;
    }
    ++at;
  }
  consumed = at;
  return true;
}

bool BodyDecoder::EndOfStream() {
  if (kind_ == BodyKind::UntilClose) state_ = State::Done;
  return state_ == State::Done;
}

}  // namespace AlibabaCloud::OSS::http
