// Reading and checking the manifest's values (see manifest_values.h).
#include "engine/manifest_values.h"

#include <cstdio>
#include <cstring>

#include "engine/ini_text.h"

namespace {

constexpr size_t kStampBuffer = 101;

// Leading blanks, an optional sign, then digits up to the first non-digit;
// no digits give 0. Done by hand so that a stamp too long for 64 bits stops
// growing instead of overflowing.
int64_t ParseStamp(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint64_t value = 0;
  constexpr uint64_t kLimit = static_cast<uint64_t>(INT64_MAX);
  for (; *p >= '0' && *p <= '9'; ++p) {
    const uint64_t next = value * 10 + static_cast<uint64_t>(*p - '0');
    if (next > kLimit + (negative ? 1 : 0) || next / 10 != value) {
      value = kLimit + (negative ? 1 : 0);
      break;
    }
    value = next;
  }
  if (negative) return value > kLimit ? INT64_MIN : -static_cast<int64_t>(value);
  return static_cast<int64_t>(value);
}

std::string Upper(std::string_view value) {
  std::string upper(value);
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return upper;
}

bool IsReservedDeviceName(std::string_view value) {
  // Windows maps these names to devices with any extension ("nul.zip"),
  // ignoring spaces before the extension.
  std::string base = Upper(value.substr(0, value.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"}) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '0' &&
         base[3] <= '9';
}

// The value as a log line shows it: quoted, bytes outside printable ASCII
// as \xNN (a CR LF must not start a line of its own), long ones cut.
std::string Shown(std::string_view value) {
  constexpr size_t kShown = 64;
  std::string out = "\"";
  for (size_t i = 0; i < value.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c < 0x20 || c >= 0x7f || c == '\\' || c == '"') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += value.size() > kShown ? "\"..." : "\"";
  return out;
}

}  // namespace

const char* VersionProblem(std::string_view value, bool required) {
  if (value.empty()) return required ? "empty" : nullptr;
  if (value.size() > kMaxVersionLength) return "longer than 20 characters";
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    // Outside ASCII a byte may be half of a character whose other half is
    // '\\', or a lead byte that swallows the ".zip" after it.
    if (u < 0x20 || u >= 0x7f || std::strchr("/\\:<>\"|?*", c) != nullptr) return "not a plain file name";
    // "BASE~1" is how Windows may spell another file's short name.
    if (c == '~') return "not a plain file name";
  }
  if (value.find("..") != std::string_view::npos || value.back() == '.' || value.back() == ' ' ||
      IsReservedDeviceName(value))
    return "not a plain file name";
  // The package is stored as version + ".zip" beside the fixed downloads.
  const std::string upper = Upper(value);
  for (const char* fixed : {"BASE", "CONFIG", "DEPEND", "SUMMARY"}) {
    if (upper == fixed) return "names another download";
  }
  return nullptr;
}

bool ReadManifest(std::string text, std::string_view packageId, ManifestValues* values, std::string* problem) {
  const IniText ini(std::move(text));
  ManifestValues read;
  read.configStamp = ParseStamp(ini.Get("cfgstamp", "time", "", kStampBuffer).c_str());
  struct Version {
    const char* section;
    bool required;
    std::string* target;
  } const versions[] = {{"fixstamp", true, &read.fixVersion}, {"quant", false, &read.quantVersion}};
  for (const Version& v : versions) {
    // Read whole, so that a value too long is seen as such, not cut.
    *v.target = ini.Get(v.section, packageId, "", std::string::npos);
    if (const char* why = VersionProblem(*v.target, v.required)) {
      *problem = "Manifest value [" + std::string(v.section) + "] " + std::string(packageId) + "=" +
                 Shown(*v.target) + " refused: " + why;
      return false;
    }
  }
  // Both packages are stored under their version's name in one folder,
  // where names match without regard to case: one would replace the other.
  if (!read.quantVersion.empty() && Upper(read.quantVersion) == Upper(read.fixVersion)) {
    *problem = "Manifest value [quant] " + std::string(packageId) + "=" + Shown(read.quantVersion) +
               " refused: same file name as the runtime version";
    return false;
  }
  *values = std::move(read);
  return true;
}
