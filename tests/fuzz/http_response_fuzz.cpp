// Fuzz target of the HTTP answer reader: any bytes as an answer to GET and
// to HEAD. Beyond not crashing, the reader must come to the same body
// whether the bytes arrive at once or one by one, never give more body than
// it received, and never more than a Content-Length allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "network/http_response.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

namespace http = AlibabaCloud::OSS::http;

struct Outcome {
  bool ok = true;
  std::string body;
  size_t consumed = 0;
  bool done = false;
  bool endsAtClose = false;
  bool operator==(const Outcome&) const = default;
};

Outcome Decode(const http::ResponseHead& head, const char* verb, std::string_view raw, size_t piece,
               int64_t& declared) {
  Outcome out;
  http::BodyDecoder decoder;
  std::string error;
  if (!decoder.Start(verb, head, error)) {
    Require(!error.empty());
    out.ok = false;
    return out;
  }
  declared = decoder.Remaining();
  for (size_t at = 0; at < raw.size() && !decoder.Done(); at += piece) {
    std::string chunk(raw.substr(at, piece));
    size_t consumed = 0, produced = 0;
    if (!decoder.Decode(chunk.data(), chunk.size(), consumed, produced)) {
      Require(!decoder.Error().empty());
      return Outcome{false};  // what came before the fault does not count
    }
    Require(produced <= consumed && consumed <= chunk.size());
    Require(consumed == chunk.size() || decoder.Done());
    out.body.append(chunk.data(), produced);
    out.consumed += consumed;
  }
  out.done = decoder.Done();
  out.endsAtClose = decoder.EndOfStream();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t end = http::FindHeadEnd(input);
  Require(end == 0 || (end >= 4 && end <= size && input.substr(end - 4, 4) == "\r\n\r\n"));
  http::ResponseHead head;
  std::string error;
  if (!http::ParseResponseHead(end != 0 ? input.substr(0, end) : input, head, error)) {
    Require(!error.empty());
    return 0;
  }
  Require(head.status >= 100 && head.status <= 999);
  const std::string_view raw = end != 0 ? input.substr(end) : std::string_view();
  for (const char* verb : {"GET", "HEAD"}) {
    int64_t declared = -1;
    const Outcome whole = Decode(head, verb, raw, raw.empty() ? 1 : raw.size(), declared);
    const Outcome bytes = Decode(head, verb, raw, 1, declared);
    Require(whole == bytes);
    if (!whole.ok) continue;
    Require(whole.body.size() <= whole.consumed && whole.consumed <= raw.size());
    if (declared >= 0) Require(static_cast<int64_t>(whole.body.size()) <= declared);
    if (std::string_view(verb) == "HEAD") Require(whole.body.empty() && whole.done);
  }
  return 0;
}
