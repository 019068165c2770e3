// Reading HTTP answers: heads and body framings, fed in pieces of every
// size, as a socket hands them over.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/http_response.h"

namespace {

namespace http = AlibabaCloud::OSS::http;

TEST(HttpResponseHead, ReadsStatusFieldsAndWhetherTheConnectionStays) {
  struct Case {
    std::string head;
    bool ok;
    int status;
    bool keepAlive;
    std::string length;  // Content-Length as read
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", true, 200, true, "5"},
      {"HTTP/1.1 404 Not Found\r\ncontent-length:  12 \r\nConnection: close\r\n\r\n", true, 404, false, "12"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n", true, 200, false, "1"},
      {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 1\r\n\r\n", true, 200, true, "1"},
      {"HTTP/1.1 204\r\n\r\n", true, 204, true, ""},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive, Close\r\n\r\n", true, 200, false, ""},
      // The same length twice is harmless; two lengths are two readings.
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n", true, 200, true, "3"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", false, 0, false, ""},
      // Both framings: read, but the connection is not trusted again.
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", true, 200, false, "3"},
      {"HTTP/1.1 200 OK\r\nX-A: 1\r\n  continued\r\nContent-Length: 0\r\n\r\n", true, 200, true, "0"},
      {"HTTP/2 200\r\n\r\n", false, 0, false, ""},
      {"HTTP/1.1 2000 OK\r\n\r\n", false, 0, false, ""},
      {"HTTP/1.1 20x OK\r\n\r\n", false, 0, false, ""},
      {"HTTP/1.1 099 Low\r\n\r\n", false, 0, false, ""},
      {"<html>gateway</html>\r\n\r\n", false, 0, false, ""},
      {"HTTP/1.1 200 OK\r\nNoColon\r\n\r\n", false, 0, false, ""},
      {"HTTP/1.1 200 OK\r\n: empty name\r\n\r\n", false, 0, false, ""},
      {"HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n", false, 0, false, ""},
      {"HTTP/1.1 200 OK\r\nX: a\rb\r\n\r\n", false, 0, false, ""},
      {"HTTP/1.1 200 OK\r\n  orphan\r\n\r\n", false, 0, false, ""},
      {"", false, 0, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    http::ResponseHead head;
    std::string error;
    ASSERT_EQ(http::ParseResponseHead(c.head, head, error), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(head.status, c.status);
    EXPECT_EQ(head.keepAlive, c.keepAlive);
    const auto it = head.headers.find("CONTENT-LENGTH");
    EXPECT_EQ(it == head.headers.end() ? "" : it->second, c.length);
  }
  http::ResponseHead folded;
  std::string error;
  ASSERT_TRUE(http::ParseResponseHead("HTTP/1.1 200 OK\r\nX-A: 1\r\n  two\r\nx-a: 3\r\n", folded, error));
  EXPECT_EQ(folded.headers["X-A"], "1 two, 3");

  EXPECT_EQ(http::FindHeadEnd("HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody"), 25u);
  EXPECT_EQ(http::FindHeadEnd("HTTP/1.1 200 OK\r\nA: b\r\n\r"), 0u);
}

// Feeds `raw` in pieces of `piece` bytes; what the decoder made of it.
struct Decoded {
  bool ok = true;
  std::string body;
  size_t consumed = 0;
  bool done = false;
};
Decoded DecodeInPieces(const std::string& head, const char* verb, const std::string& raw,
                       size_t piece, bool closeAtEnd) {
  Decoded d;
  http::ResponseHead h;
  std::string error;
  http::BodyDecoder decoder;
  if (!http::ParseResponseHead(head, h, error) || !decoder.Start(verb, h, error)) {
    d.ok = false;
    return d;
  }
  for (size_t at = 0; at < raw.size() && !decoder.Done(); at += piece) {
    std::string chunk = raw.substr(at, piece);
    size_t consumed = 0, produced = 0;
    if (!decoder.Decode(chunk.data(), chunk.size(), consumed, produced)) {
      d.ok = false;
      return d;
    }
    d.body.append(chunk.data(), produced);
    d.consumed += consumed;
  }
  d.done = closeAtEnd ? decoder.EndOfStream() : decoder.Done();
  return d;
}

TEST(HttpResponseBody, UndoesEveryFramingWhateverThePieces) {
  const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n";
  struct Case {
    std::string name;
    std::string head;
    const char* verb;
    std::string raw;
    bool closeAtEnd;  // the server closes after `raw`
    bool ok;
    std::string body;
    bool done;
    size_t consumed;  // of raw; less than its size when bytes follow the answer
  };
  const Case cases[] = {
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n", "GET", "hello worldEXTRA", false, true,
       "hello world", true, 11},
      {"length cut short", "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n", "GET", "hello", true, true,
       "hello", false, 5},
      {"length not a number", "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", "GET", "", false, false, "",
       false, 0},
      {"length too large", "HTTP/1.1 200 OK\r\nContent-Length: 9999999999999999999\r\n\r\n", "GET", "",
       false, false, "", false, 0},
      {"head has no body", "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n", "HEAD", "", false, true, "",
       true, 0},
      {"304 has no body", "HTTP/1.1 304 Not Modified\r\nContent-Length: 11\r\n\r\n", "GET", "x", false,
       true, "", true, 0},
      {"until close", "HTTP/1.1 200 OK\r\n\r\n", "GET", "all of it", true, true, "all of it", true, 9},
      {"other coding runs to the close", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", "GET",
       "zz", true, true, "zz", true, 2},
      {"chunked", chunkedHead, "GET", "5\r\nhello\r\n1;name=v\r\n \r\nA\r\n0123456789\r\n0\r\n\r\nNEXT",
       false, true, "hello 0123456789", true, 43},
      {"chunked with trailer and bare LF", chunkedHead, "GET", "3\nabc\n0\nX-T: 1\n\n", false, true, "abc",
       true, 16},
      {"chunked cut inside data", chunkedHead, "GET", "5\r\nhel", true, true, "hel", false, 6},
      {"chunked cut before the last chunk", chunkedHead, "GET", "3\r\nabc\r\n", true, true, "abc", false, 8},
      {"chunk size not hex", chunkedHead, "GET", "5g\r\nhello\r\n", false, false, "", false, 0},
      {"chunk size missing", chunkedHead, "GET", ";x\r\n", false, false, "", false, 0},
      {"chunk size overflows", chunkedHead, "GET", "1000000000000000\r\n", false, false, "", false, 0},
      {"chunk data without CRLF", chunkedHead, "GET", "2\r\nabX\r\n0\r\n\r\n", false, false, "", false, 0},
      {"chunk line too long", chunkedHead, "GET", "1;" + std::string(2000, 'e') + "\r\n", false, false,
       "", false, 0},
      {"trailer too long", chunkedHead, "GET", "0\r\n" + std::string(70000, 't'), false, false, "", false,
       0},
  };
  for (const Case& c : cases) {
    for (const size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{100000}}) {
      SCOPED_TRACE(c.name + ", pieces of " + std::to_string(piece));
      const Decoded d = DecodeInPieces(c.head, c.verb, c.raw, piece, c.closeAtEnd);
      ASSERT_EQ(d.ok, c.ok);
      if (!c.ok) continue;
      EXPECT_EQ(d.body, c.body);
      EXPECT_EQ(d.done, c.done);
      EXPECT_EQ(d.consumed, c.consumed);
    }
  }
}

}  // namespace
