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

unsigned SystemCodePage() { return GetACP(); }

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

std::optional<std::string> ExactlyInCodePage(std::wstring_view text, unsigned codePage) {
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  BOOL usedDefault = FALSE;
  const int bytes = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), length,
                                        nullptr, 0, nullptr, &usedDefault);
  if (bytes <= 0 || usedDefault) return std::nullopt;
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), length, out.data(), bytes,
                      nullptr, &usedDefault);
  // A round trip catches what the flag does not (a character the code page
  // maps to another one on the way back).
  if (usedDefault || ToWide(out.data(), bytes, codePage) != text) return std::nullopt;
  return out;
}

std::string LogTextOfPath(std::wstring_view widePath) {
  return ToNarrow(widePath.data(), static_cast<int>(widePath.size()), kGbkCodePage);
}

std::string LogTextOfPath(std::string_view systemPath) {
  const unsigned codePage = SystemCodePage();
  if (codePage == kGbkCodePage) return std::string(systemPath);
  return LogTextOfPath(ToWide(systemPath.data(), static_cast<int>(systemPath.size()), codePage));
}

std::vector<size_t> PathSeparators(std::string_view path, unsigned codePage) {
  std::vector<size_t> separators;
  for (size_t pos = 0; pos < path.size(); ++pos) {
    if (IsDBCSLeadByteEx(codePage, static_cast<BYTE>(path[pos])) && pos + 1 < path.size()) {
      ++pos;  // the trail byte, whatever its value
      continue;
    }
    if (path[pos] == '\\') separators.push_back(pos);
  }
  return separators;
}
