#pragma once
// Values out of INI text, read as GetPrivateProfileStringA reads them from a
// file, for the manifest the installer downloads. Portable (no Win32) so
// that it builds natively for fuzzing; the Wine tests hold it against the
// real profile functions.
//
// What it reproduces: a line ends at CR or LF; blanks (ASCII white space
// and 0x1A) around lines, names and values are dropped; the section name is
// what lies between '[' and the line's last ']', blanks dropped; the first
// section of a name is the only one searched and its first key of a name
// wins; names match without regard to ASCII case; one pair of enclosing
// quotation marks (' or ") is removed; a line without '=' names a key with
// no value, which reads as absent. A UTF-8 byte-order mark is skipped.
// Bytes are kept as they are otherwise (the system decodes a file with
// that mark as UTF-8 and one without it in the ANSI code page; for ASCII
// text both agree), and two-byte characters of code page 936 are never
// split or taken for ']'.
#include <cstddef>
#include <string>
#include <string_view>

class IniText {
 public:
  explicit IniText(std::string text);

  // The value of `key` in `section` as it comes into a buffer of
  // `bufferSize` bytes: at most bufferSize - 1 bytes (never half a
  // double-byte character); `fallback` when the key is absent or has no
  // value. bufferSize 0 gives "".
  std::string Get(std::string_view section, std::string_view key, std::string_view fallback,
                  size_t bufferSize) const;

 private:
  std::string text_;
};
