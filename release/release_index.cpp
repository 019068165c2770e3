#include "release/release_index.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::string_view kHeaderV1 = "kavimor-release-index 1\n";
constexpr std::string_view kHeaderV2 = "kavimor-release-index 2\n";

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

// "YYYY-MM-DDTHH:MM:SSZ" with every field in its range (a day up to 31 in
// any month: the text is only ever compared, never converted).
bool IsUtcTime(std::string_view text) {
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kShape[i]) return false;
  }
  auto field = [&](size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
  return field(5) >= 1 && field(5) <= 12 && field(8) >= 1 && field(8) <= 31 && field(11) <= 23 &&
         field(14) <= 59 && field(17) <= 59;
}

// The line "<name> <value>" at `at`; advances `at` past its LF.
bool TakeField(std::string_view text, size_t* at, std::string_view name, std::string_view* value) {
  const size_t end = text.find('\n', *at);
  if (end == std::string_view::npos) return false;
  const std::string_view line = text.substr(*at, end - *at);
  if (line.size() <= name.size() + 1 || line.substr(0, name.size()) != name || line[name.size()] != ' ')
    return false;
  *value = line.substr(name.size() + 1);
  *at = end + 1;
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
  ReleaseIndex parsed;
  size_t at = 0;
  int number = 2;
  if (text.substr(0, kHeaderV1.size()) == kHeaderV1) {
    parsed.version_ = 1;
    at = kHeaderV1.size();
  } else if (text.substr(0, kHeaderV2.size()) == kHeaderV2) {
    parsed.version_ = 2;
    at = kHeaderV2.size();
    std::string_view value;
    if (!TakeField(text, &at, "serial", &value) || !ParseSize(value, &parsed.serial_) || parsed.serial_ == 0) {
      *error = "line 2: serial field";
      return false;
    }
    if (!TakeField(text, &at, "expires", &value) || !IsUtcTime(value)) {
      *error = "line 3: expires field";
      return false;
    }
    parsed.expires_.assign(value);
    number = 4;
  } else {
    *error = "line 1: not a release index";
    return false;
  }
  for (; at < text.size(); ++number) {
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

std::string UtcTimeText(int year, int month, int day, int hour, int minute, int second) {
  char text[32] = {};
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, hour, minute, second);
  return text;
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
