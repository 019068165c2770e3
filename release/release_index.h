#pragma once
// The signed release index: what the publisher allows the installer to
// accept, one line per object (summary.ini and every package) with its size
// and SHA-256. Portable: parsing only, no Windows calls, so that it builds
// and can be fed arbitrary bytes natively.
//
// Format (ASCII, LF line ends, nothing else), version 2:
//   kavimor-release-index 2\n
//   serial <decimal, 1 or more>\n
//   expires <YYYY-MM-DDTHH:MM:SSZ, UTC>\n
//   <64 lower-case hex digits> <decimal size> <object key>\n   (one or more)
// Version 1 has the same object lines straight after its header line
// "kavimor-release-index 1" and neither serial nor expiry. The key is the
// whole object key and runs to the end of its line; a size or serial has no
// leading zeros and at most 18 digits; keys stand in ascending byte order,
// so none appears twice.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Object names of the index and of its detached signature (raw r||s of an
// ECDSA P-256 signature over SHA-256 of the index bytes), next to
// summary.ini under the release line's key prefix.
inline constexpr char kReleaseIndexName[] = "release-index.txt";
inline constexpr char kReleaseSignatureName[] = "release-index.sig";
// Larger answers are refused before they are read whole.
inline constexpr size_t kReleaseIndexMaxBytes = 1 << 20;

struct ReleaseObject {
  std::string key;
  uint64_t size = 0;
  std::string sha256Hex;  // 64 lower-case hex digits
};

class ReleaseIndex {
 public:
  // False, with the first line that breaks the format in `error`, unless
  // `text` is a whole, well-formed index; `out` is replaced only on success.
  static bool Parse(std::string_view text, ReleaseIndex* out, std::string* error);

  // The entry of `key`, or null when the index does not list it.
  const ReleaseObject* Find(std::string_view key) const;
  // 1 or 2. A version-1 index has serial 0 and no expiry.
  int version() const { return version_; }
  uint64_t serial() const { return serial_; }
  // "YYYY-MM-DDTHH:MM:SSZ": text order is time order.
  const std::string& expires() const { return expires_; }
  size_t size() const { return objects_.size(); }
  bool empty() const { return objects_.empty(); }

 private:
  std::vector<ReleaseObject> objects_;
  int version_ = 0;
  uint64_t serial_ = 0;
  std::string expires_;
};

// A UTC time in the form of an index's expiry.
std::string UtcTimeText(int year, int month, int day, int hour, int minute, int second);

// Lower-case hex of bytes, and back (false on odd length or a non-hex digit).
std::string HexOf(std::string_view bytes);
bool BytesOfHex(std::string_view hex, std::string* bytes);
