// INI values read the way the system's profile functions read them (see
// ini_text.h). The text is scanned afresh for every value: manifests are a
// few lines, and one pass keeps no structure that could grow with hostile
// input.
#include "engine/ini_text.h"

#include <algorithm>
#include <optional>

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// Code page 936: a byte from 0x81 to 0xFE starts a two-byte character. The
// second byte is 0x40 or above, so it is never a line end, '=', '[' or a
// quotation mark, but it may be ']' or a letter.
size_t CharLength(std::string_view text, size_t at) {
  const auto c = static_cast<unsigned char>(text[at]);
  return (c >= 0x81 && c <= 0xFE && at + 1 < text.size()) ? 2 : 1;
}

// White space as the system trims it: ASCII white space and 0x1A (the old
// end-of-file mark).
size_t BlankLength(std::string_view text, size_t at) {
  const char c = text[at];
  return (c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a') ? 1 : 0;
}

// `text` without blanks at either end, taken whole characters at a time.
std::string_view Trim(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t blank = BlankLength(text, begin);
    if (blank == 0) break;
    begin += blank;
  }
  size_t end = begin;
  for (size_t at = begin; at < text.size();) {
    const size_t length = CharLength(text, at);
    if (BlankLength(text, at) == 0) end = at + length;
    at += length;
  }
  return text.substr(begin, end - begin);
}

// Position of the last single-byte `c`, not a second byte of a character.
size_t FindLast(std::string_view text, char c) {
  size_t found = std::string_view::npos;
  for (size_t at = 0; at < text.size(); at += CharLength(text, at)) {
    if (text[at] == c) found = at;
  }
  return found;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive for ASCII letters only; a two-byte character matches
// only itself (its second byte may look like a letter).
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t at = 0; at < a.size();) {
    const size_t length = CharLength(a, at);
    if (length != CharLength(b, at)) return false;
    if (length == 2) {
      if (a.compare(at, 2, b.substr(at, 2)) != 0) return false;
    } else if (LowerAscii(a[at]) != LowerAscii(b[at])) {
      return false;
    }
    at += length;
  }
  return true;
}

size_t CountChars(std::string_view text) {
  size_t count = 0;
  for (size_t at = 0; at < text.size(); at += CharLength(text, at)) ++count;
  return count;
}

// The first `chars` characters of `text`, then cut to `bytes` bytes without
// splitting a character.
std::string_view Prefix(std::string_view text, size_t chars, size_t bytes) {
  size_t at = 0;
  for (size_t n = 0; n < chars && at < text.size(); ++n) {
    const size_t length = CharLength(text, at);
    if (at + length > bytes) break;
    at += length;
  }
  return text.substr(0, std::min(at, bytes));
}

// What the buffer receives: the system copies at most bufferSize - 1
// characters, and when the value was quoted and that copy reached the
// closing quote, it drops the last character copied (for a value exactly
// one character too long, that is a character of the value, not the quote).
std::string CopyToBuffer(std::string_view value, size_t bufferSize) {
  bool quoted = false;
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    quoted = true;
    value.remove_prefix(1);
  }
  const size_t length = CountChars(value);
  size_t chars = std::min(bufferSize - 1, length);
  if (quoted && bufferSize >= length && chars > 0) --chars;
  return std::string(Prefix(value, chars, bufferSize - 1));
}

}  // namespace

IniText::IniText(std::string text) : text_(std::move(text)) {
  if (std::string_view(text_).substr(0, kUtf8Mark.size()) == kUtf8Mark) text_.erase(0, kUtf8Mark.size());
}

std::string IniText::Get(std::string_view section, std::string_view key, std::string_view fallback,
                         size_t bufferSize) const {
  if (bufferSize == 0) return {};
  section = Trim(section);
  key = Trim(key);
  const std::string_view text(text_);
  bool inSection = false;
  bool sectionSeen = false;
  std::optional<std::string_view> value;
  bool keyFound = false;
  for (size_t next = 0; next < text.size() && !keyFound;) {
    const size_t start = next;
    size_t end = text.find_first_of("\r\n", start);
    end = (end == std::string_view::npos) ? text.size() : end + 1;
    next = end;
    const std::string_view line = Trim(text.substr(start, end - start));
    if (line.empty()) continue;

    if (line[0] == '[') {
      const size_t close = FindLast(line, ']');
      if (close != std::string_view::npos) {
        // Only the first section of a name is searched.
        if (inSection) break;
        inSection = !sectionSeen && SameName(Trim(line.substr(1, close - 1)), section);
        sectionSeen = sectionSeen || inSection;
        continue;
      }
    }
    if (!inSection) continue;
    const size_t equals = line.find('=');
    const std::string_view name = Trim(line.substr(0, equals));
    if (!SameName(name, key)) continue;
    keyFound = true;
    if (equals != std::string_view::npos) value = Trim(line.substr(equals + 1));
  }
  if (!value) return std::string(Prefix(fallback, bufferSize - 1, bufferSize - 1));
  return CopyToBuffer(*value, bufferSize);
}
