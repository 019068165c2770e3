// The signed release index's parser over arbitrary bytes. Beyond what the
// sanitizers catch: an accepted index lists each key once, in ascending
// byte order, with well-formed digests, and finds exactly what it lists;
// a refused one says why and leaves the previous index as it was; a
// version-2 index has a positive serial and an expiry of the fixed form.
#include <cstdint>
#include <string>
#include <string_view>

#include "release/release_index.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ReleaseIndex index;
  std::string error;
  if (!ReleaseIndex::Parse(text, &index, &error)) {
    Require(!error.empty(), "a refusal says why");
    Require(index.empty(), "a refused index leaves the old one");
    return 0;
  }
  Require(!index.empty(), "an accepted index lists something");
  // Version 2 carries a serial and an expiry in its fixed form; version 1
  // neither.
  Require(index.version() == 1 || index.version() == 2, "a known version");
  size_t pos = text.find('\n') + 1;
  if (index.version() == 2) {
    Require(index.serial() > 0, "a version-2 serial is positive");
    const std::string& expires = index.expires();
    Require(expires.size() == 20 && expires[4] == '-' && expires[10] == 'T' && expires.back() == 'Z',
            "the expiry has its fixed form");
    Require(text.substr(pos, 7) == "serial " && text.find("\nexpires " + expires + "\n", pos) != std::string_view::npos,
            "serial and expiry are the second and third lines");
    pos = text.find('\n', text.find('\n', pos) + 1) + 1;  // past them
  } else {
    Require(index.serial() == 0 && index.expires().empty(), "version 1 has neither");
  }
  // Every line after the header is one object; find each key again.
  size_t listed = 0;
  std::string previous;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    Require(end != std::string_view::npos, "every accepted line ends in LF");
    const std::string_view line = text.substr(pos, end - pos);
    const size_t second = line.find(' ', 65);
    Require(line.size() > 66 && line[64] == ' ' && second != std::string_view::npos, "line shape");
    const std::string key(line.substr(second + 1));
    const ReleaseObject* found = index.Find(key);
    Require(found != nullptr && found->key == key, "a listed key is found");
    Require(found->sha256Hex == line.substr(0, 64), "its digest is the listed one");
    Require(listed == 0 || previous < key, "keys ascend");
    std::string raw;
    Require(BytesOfHex(found->sha256Hex, &raw) && raw.size() == 32 && HexOf(raw) == found->sha256Hex,
            "the digest is 32 bytes of lower-case hex");
    previous = key;
    ++listed;
    pos = end + 1;
  }
  Require(listed == index.size(), "nothing listed twice or missed");
  Require(index.Find(previous + "x") == nullptr, "an unlisted key is not found");
  return 0;
}
