#pragma once
// Blank trimming shared by the object-store layer's portable parsers (header
// values, error documents); header-only so that each parser still builds on
// its own, natively for fuzzing as well.
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

}  // namespace AlibabaCloud::OSS
