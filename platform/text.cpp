#include "platform/text.h"

#include <windows.h>

namespace {

std::wstring ToWide(const char* data, int length, unsigned codePage) {
  if (length == 0) return {};
  const int units = MultiByteToWideChar(codePage, 0, data, length, nullptr, 0);
  if (units <= 0) return {};
  std::wstring out(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(codePage, 0, data, length, out.data(), units);
  return out;
}

std::string ToNarrow(const wchar_t* data, int length, unsigned codePage) {
  if (length == 0) return {};
  const int bytes = WideCharToMultiByte(codePage, 0, data, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(codePage, 0, data, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring Wide(std::u8string_view utf8) {
  return ToWide(reinterpret_cast<const char*>(utf8.data()), static_cast<int>(utf8.size()), CP_UTF8);
}

std::string Gbk(std::u8string_view utf8) {
  const std::wstring wide = Wide(utf8);
  return ToNarrow(wide.data(), static_cast<int>(wide.size()), kGbkCodePage);
}

std::wstring WideFromCodePage(std::string_view text, unsigned codePage, size_t capacity) {
  std::wstring out = ToWide(text.data(), static_cast<int>(text.size()), codePage);
  if (out.size() + 1 > capacity) return {};
  return out;
}

std::string NarrowToCodePage(std::wstring_view text, unsigned codePage, size_t capacity) {
  std::string out = ToNarrow(text.data(), static_cast<int>(text.size()), codePage);
  if (out.size() + 1 > capacity) return {};
  return out;
}
