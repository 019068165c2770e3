#pragma once
// Text conversions of the installer. The program's own 8-bit texts (log
// lines, INI values, resource texts) are code page 936; paths are 8-bit text
// in the system's ANSI code page, because that is what the 8-bit system
// calls that produce and consume them use (936 on a mainland system, 950 in
// Taiwan and Hong Kong, 932 in Japan). Window texts are UTF-16. Chinese
// literals live in the sources as UTF-8 (u8"...") and are turned into GBK
// where they are used.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr unsigned kGbkCodePage = 936;
constexpr unsigned kBig5CodePage = 950;

// The code page the 8-bit system calls of this process use (GetACP).
unsigned SystemCodePage();

// UTF-8 literal -> code page 936 bytes. Characters GBK lacks become '?'.
std::string Gbk(std::u8string_view utf8);

// UTF-8 literal -> UTF-16.
std::wstring Wide(std::u8string_view utf8);

// 8-bit text of the given code page -> UTF-16, for fixed buffers: gives the
// converted text only when it fits `capacity` units with its terminator, and
// the empty text otherwise (texts that do not fit are skipped, not cut).
std::wstring WideFromCodePage(std::string_view text, unsigned codePage, size_t capacity);

// UTF-16 -> 8-bit text of the given code page; empty when the result would
// need more than `capacity` bytes with its terminator.
std::string NarrowToCodePage(std::wstring_view text, unsigned codePage, size_t capacity);

// UTF-16 -> 8-bit text of the given code page, only when every character
// has its own form there: no '?' and no look-alike stand-in. A path must
// never name a folder other than the one meant.
std::optional<std::string> ExactlyInCodePage(std::wstring_view text, unsigned codePage);

// A path of the system's code page as the install log writes it: GBK, with
// '?' for characters GBK lacks (in the log only). Unchanged on a code page
// 936 system.
std::string LogTextOfPath(std::string_view systemPath);
std::string LogTextOfPath(std::wstring_view widePath);

// Offsets of the backslashes of an 8-bit path that separate its parts. In
// the double-byte code pages (936, 950, 932) the second byte of a character
// may be 0x5C, the backslash byte; such a byte belongs to the character
// (乗 in 936, 許 in 950, ソ in 932) and is not a separator.
std::vector<size_t> PathSeparators(std::string_view path, unsigned codePage);
