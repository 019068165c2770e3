#pragma once
// Blank trimming and ASCII letter case shared by the object-store layer's
// portable parsers (header names and values, error documents); header-only
// so that each parser still builds on its own, natively for fuzzing as well.
#include <string_view>

namespace AlibabaCloud::OSS {

// `s` without leading and trailing blanks, tabs, CRs and LFs.
inline std::string_view Trim(std::string_view s) {
  const char* ws = " \t\r\n";
  const size_t first = s.find_first_not_of(ws);
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(ws);
  return s.substr(first, last - first + 1);
}

// `c` with A-Z lowered; every other byte as it is.
inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace AlibabaCloud::OSS
