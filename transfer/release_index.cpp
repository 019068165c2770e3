#include "transfer/release_index.h"

#include <algorithm>

namespace {

constexpr std::string_view kHeader = "kavimor-release-index 1\n";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseSize(std::string_view text, uint64_t* size) {
  if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  *size = value;
  return true;
}

// One "<digest> <size> <key>" line without its LF; empty when well formed.
std::string ParseLine(std::string_view line, ReleaseObject* object) {
  if (line.size() < 65 || line[64] != ' ') return "digest field";
  for (size_t i = 0; i < 64; ++i)
    if (HexValue(line[i]) < 0) return "digest field";
  const size_t sizeEnd = line.find(' ', 65);
  if (sizeEnd == std::string_view::npos) return "no key";
  if (!ParseSize(line.substr(65, sizeEnd - 65), &object->size)) return "size field";
  const std::string_view key = line.substr(sizeEnd + 1);
  if (key.empty()) return "no key";
  for (const char c : key)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "control character in key";
  object->sha256Hex.assign(line.substr(0, 64));
  object->key.assign(key);
  return {};
}

}  // namespace

bool ReleaseIndex::Parse(std::string_view text, ReleaseIndex* out, std::string* error) {
  if (text.substr(0, kHeader.size()) != kHeader) {
    *error = "line 1: not a release index";
    return false;
  }
  ReleaseIndex parsed;
  size_t at = kHeader.size();
  for (int number = 2; at < text.size(); ++number) {
    const size_t end = text.find('\n', at);
    if (end == std::string_view::npos) {
      *error = "line " + std::to_string(number) + ": unterminated";
      return false;
    }
    ReleaseObject object;
    std::string problem = ParseLine(text.substr(at, end - at), &object);
    // Ascending byte order makes a repeated key a local check.
    if (problem.empty() && !parsed.objects_.empty() && parsed.objects_.back().key >= object.key)
      problem = "keys out of order or repeated";
    if (!problem.empty()) {
      *error = "line " + std::to_string(number) + ": " + problem;
      return false;
    }
    parsed.objects_.push_back(std::move(object));
    at = end + 1;
  }
  if (parsed.objects_.empty()) {
    *error = "no objects listed";
    return false;
  }
  *out = std::move(parsed);
  return true;
}

const ReleaseObject* ReleaseIndex::Find(std::string_view key) const {
  const auto at = std::lower_bound(objects_.begin(), objects_.end(), key,
                                   [](const ReleaseObject& o, std::string_view k) { return o.key < k; });
  return at != objects_.end() && at->key == key ? &*at : nullptr;
}

std::string HexOf(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

bool BytesOfHex(std::string_view hex, std::string* bytes) {
  if (hex.size() % 2 != 0) return false;
  std::string result;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    result += static_cast<char>(high * 16 + low);
  }
  *bytes = std::move(result);
  return true;
}
