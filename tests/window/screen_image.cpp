#include "window/screen_image.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "platform/handles.h"

namespace testing_support {

int Image::Count(const RECT& r, COLORREF color) const {
  int n = 0;
  for (int y = r.top; y < r.bottom && y < height; ++y)
    for (int x = r.left; x < r.right && x < width; ++x)
      if (At(x, y) == color) ++n;
  return n;
}

bool Image::DiffersIn(const Image& other, const RECT& r) const {
  for (int y = r.top; y < r.bottom && y < height && y < other.height; ++y)
    for (int x = r.left; x < r.right && x < width && x < other.width; ++x)
      if (At(x, y) != other.At(x, y)) return true;
  return false;
}

Image CaptureClient(HWND hwnd) {
  Image image;
  RECT client{};
  GetClientRect(hwnd, &client);
  image.width = client.right;
  image.height = client.bottom;
  if (image.width <= 0 || image.height <= 0) return image;

  win::WindowDC windowDC(hwnd);
  win::MemoryDC memory(CreateCompatibleDC(windowDC.get()));
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = image.width;
  info.bmiHeader.biHeight = -image.height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  win::Bitmap dib(CreateDIBSection(windowDC.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!dib || bits == nullptr) return Image{};
  {
    win::SelectGuard select(memory.get(), dib.get());
    BitBlt(memory.get(), 0, 0, image.width, image.height, windowDC.get(), 0, 0, SRCCOPY);
    GdiFlush();
  }
  const auto* bgra = static_cast<const uint8_t*>(bits);
  image.pixels.resize(static_cast<size_t>(image.width) * image.height);
  for (size_t i = 0; i < image.pixels.size(); ++i)
    image.pixels[i] = RGB(bgra[i * 4 + 2], bgra[i * 4 + 1], bgra[i * 4]);
  return image;
}

GlyphCount CountGlyphs(const Image& image) {
  auto dark = [&](int x, int y) {
    const COLORREF c = image.At(x, y);
    return GetRValue(c) + GetGValue(c) + GetBValue(c) < 3 * 110;
  };
  auto rowHasText = [&](int y) {
    for (int x = 0; x < image.width; ++x)
      if (dark(x, y)) return true;
    return false;
  };
  GlyphCount count;
  std::set<std::string> shapes;
  int y = 0;
  while (y < image.height) {
    if (!rowHasText(y)) {
      ++y;
      continue;
    }
    const int top = y;
    while (y < image.height && rowHasText(y)) ++y;
    const int bottom = y;
    std::string shape;
    for (int x = 0; x <= image.width; ++x) {
      std::string column;
      bool any = false;
      for (int row = top; x < image.width && row < bottom; ++row) {
        column.push_back(dark(x, row) ? '#' : '.');
        any = any || column.back() == '#';
      }
      if (any) {
        shape += column + '|';
      } else if (!shape.empty()) {
        ++count.glyphs;
        shapes.insert(shape);
        shape.clear();
      }
    }
  }
  count.shapes = static_cast<int>(shapes.size());
  return count;
}

namespace {

void PutU32(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v >> 24));
  out.push_back(static_cast<char>(v >> 16));
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

uint32_t GetU32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void Chunk(std::string& out, const char type[4], const std::string& data) {
  PutU32(out, static_cast<uint32_t>(data.size()));
  std::string body(type, 4);
  body += data;
  out += body;
  PutU32(out, static_cast<uint32_t>(
                  crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

}  // namespace

bool WritePng(const Image& image, const std::string& path) {
  if (image.width <= 0 || image.height <= 0) return false;
  std::string raw;
  raw.reserve(static_cast<size_t>(image.height) * (1 + image.width * 3));
  for (int y = 0; y < image.height; ++y) {
    raw.push_back('\0');  // filter: none
    for (int x = 0; x < image.width; ++x) {
      const COLORREF c = image.At(x, y);
      raw.push_back(static_cast<char>(GetRValue(c)));
      raw.push_back(static_cast<char>(GetGValue(c)));
      raw.push_back(static_cast<char>(GetBValue(c)));
    }
  }
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(packedSize, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                9) != Z_OK)
    return false;
  packed.resize(packedSize);

  std::string header;
  PutU32(header, static_cast<uint32_t>(image.width));
  PutU32(header, static_cast<uint32_t>(image.height));
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace

  std::string file("\x89PNG\r\n\x1a\n", 8);
  Chunk(file, "IHDR", header);
  Chunk(file, "IDAT", packed);
  Chunk(file, "IEND", "");

  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  return std::fclose(out) == 0 && ok;
}

bool ReadPng(const std::string& path, Image& image) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  std::string file;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) file.append(buffer, n);
  std::fclose(in);
  if (file.size() < 8 || file.compare(0, 8, std::string("\x89PNG\r\n\x1a\n", 8)) != 0) return false;

  std::string packed;
  size_t pos = 8;
  int width = 0, height = 0;
  while (pos + 12 <= file.size()) {
    const auto* p = reinterpret_cast<const unsigned char*>(file.data() + pos);
    const uint32_t length = GetU32(p);
    if (pos + 12 + length > file.size()) return false;
    const std::string type(file.data() + pos + 4, 4);
    const uint32_t crc = GetU32(p + 8 + length);
    if (crc32(0, p + 4, length + 4) != crc) return false;
    if (type == "IHDR") {
      width = static_cast<int>(GetU32(p + 8));
      height = static_cast<int>(GetU32(p + 12));
      if (p[16] != 8 || p[17] != 2) return false;
    } else if (type == "IDAT") {
      packed.append(file.data() + pos + 8, length);
    }
    pos += 12 + length;
  }
  if (width <= 0 || height <= 0) return false;
  uLongf rawSize = static_cast<uLongf>(height) * (1 + width * 3);
  std::string raw(rawSize, '\0');
  if (uncompress(reinterpret_cast<Bytef*>(raw.data()), &rawSize,
                 reinterpret_cast<const Bytef*>(packed.data()), static_cast<uLong>(packed.size())) != Z_OK ||
      rawSize != raw.size())
    return false;
  image.width = width;
  image.height = height;
  image.pixels.assign(static_cast<size_t>(width) * height, 0);
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const unsigned char*>(raw.data()) + static_cast<size_t>(y) * (1 + width * 3);
    if (row[0] != 0) return false;  // only what WritePng writes
    for (int x = 0; x < width; ++x)
      image.pixels[static_cast<size_t>(y) * width + x] = RGB(row[1 + x * 3], row[2 + x * 3], row[3 + x * 3]);
  }
  return true;
}

}  // namespace testing_support
