#pragma once
// Text conversions of the installer. Every 8-bit text of the program (paths,
// log lines, INI values, registry data written through the 8-bit calls) is
// code page 936; window texts are UTF-16. Chinese literals live in the
// sources as UTF-8 (u8"...") and are turned into GBK where they are used.
#include <cstddef>
#include <string>
#include <string_view>

constexpr unsigned kGbkCodePage = 936;
constexpr unsigned kBig5CodePage = 950;

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
