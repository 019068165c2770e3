#pragma once
// Pixels of a window as the screen shows them, and PNG files of them.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<COLORREF> pixels;  // row by row, top first

  COLORREF At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
  // Pixels of exactly `color` inside r.
  int Count(const RECT& r, COLORREF color) const;
  // True when the two images differ somewhere inside r.
  bool DiffersIn(const Image& other, const RECT& r) const;
};

// Dark text on a light ground, cut into lines (runs of rows with text) and
// glyphs (runs of columns with text inside a line). A font without the
// text's characters draws every glyph as the same box: `shapes` is then 1.
struct GlyphCount {
  int glyphs = 0;
  int shapes = 0;  // distinct glyph bitmaps
};
GlyphCount CountGlyphs(const Image& image);

// The client area of `hwnd`, read back from its device context.
Image CaptureClient(HWND hwnd);

// 8-bit RGB PNG; false when the file cannot be written.
bool WritePng(const Image& image, const std::string& path);
// Decodes what WritePng wrote (for the round-trip check).
bool ReadPng(const std::string& path, Image& image);

}  // namespace testing_support
