// The program's resources as the installer loads them from its own module.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"
#include "ui/kavimor_layout.h"

namespace {

std::string_view ResourceBytes(const wchar_t* type, const wchar_t* name) {
  HRSRC found = FindResourceW(nullptr, name, type);
  if (found == nullptr) return {};
  HGLOBAL loaded = LoadResource(nullptr, found);
  return {static_cast<const char*>(LockResource(loaded)), SizeofResource(nullptr, found)};
}

// A 24-bit bitmap resource: header and bottom-up pixel rows.
struct Picture {
  BITMAPINFOHEADER header{};
  const unsigned char* bits = nullptr;

  explicit Picture(int id) {
    const std::string_view bytes = ResourceBytes(MAKEINTRESOURCEW(2) /* RT_BITMAP */, MAKEINTRESOURCEW(id));
    if (bytes.size() < sizeof header) return;
    std::memcpy(&header, bytes.data(), sizeof header);
    bits = reinterpret_cast<const unsigned char*>(bytes.data()) + header.biSize;
  }
  // Row 0 is the top row of the window.
  COLORREF At(int x, int y) const {
    const int stride = (header.biWidth * 3 + 3) & ~3;
    const unsigned char* p = bits + (header.biHeight - 1 - y) * stride + x * 3;
    return RGB(p[2], p[1], p[0]);
  }
};

bool Reddish(COLORREF c) { return GetRValue(c) >= GetGValue(c) && GetRValue(c) >= GetBValue(c); }
bool StronglyRed(COLORREF c) { return GetRValue(c) > GetGValue(c) + 60 && GetRValue(c) > GetBValue(c) + 60; }

TEST(Resources, StringTableInSimplifiedChineseWithoutString107) {
  const struct {
    UINT id;
    const wchar_t* text;
  } rows[] = {{103, L"201805"},
              {104, L"NOLDAR Trading System"},
              {105, L"NOLDAR Trading System"},
              {106, L"NOLDAR Trading System"}};
  for (const auto& row : rows) {
    wchar_t buffer[260] = {};
    EXPECT_GT(LoadStringW(GetModuleHandleW(nullptr), row.id, buffer, 260), 0) << row.id;
    EXPECT_STREQ(buffer, row.text);
  }
  wchar_t buffer[260] = {};
  EXPECT_EQ(LoadStringW(GetModuleHandleW(nullptr), 107, buffer, 260), 0);
  // Strings 96..111 form block 7, stored for language 2052.
  EXPECT_NE(FindResourceExW(nullptr, MAKEINTRESOURCEW(6) /* RT_STRING */, MAKEINTRESOURCEW(7),
                            MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)),
            nullptr);
}

TEST(Resources, BackgroundPicturesAre500By310With24Bits) {
  for (int id : {101, 104}) {
    SCOPED_TRACE(id);
    const Picture picture(id);
    ASSERT_NE(picture.bits, nullptr);
    EXPECT_EQ(picture.header.biWidth, 500);
    EXPECT_EQ(picture.header.biHeight, 310);
    EXPECT_EQ(picture.header.biBitCount, 24);
    EXPECT_EQ(picture.header.biCompression, static_cast<DWORD>(BI_RGB));

    // What the window gets through LoadBitmapW is the same picture.
    win::Bitmap loaded(LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id)));
    ASSERT_TRUE(loaded);
    BITMAP info{};
    GetObjectW(loaded.get(), sizeof info, &info);
    EXPECT_EQ(info.bmWidth, 500);
    EXPECT_EQ(info.bmHeight, 310);
    win::MemoryDC dc(CreateCompatibleDC(nullptr));
    win::SelectGuard selected(dc.get(), loaded.get());
    for (POINT p : {POINT{0, 0}, POINT{250, 95}, POINT{499, 309}, POINT{17, 250}, POINT{400, 308}}) {
      EXPECT_EQ(GetPixel(dc.get(), p.x, p.y), picture.At(p.x, p.y)) << p.x << "," << p.y;
    }
  }
}

TEST(Resources, InstallingPictureHasFrameRedArtworkWhiteAreaAndRedRow) {
  const Picture picture(104);
  ASSERT_NE(picture.bits, nullptr);
  const COLORREF frame = RGB(140, 94, 184);
  for (int x = 0; x < 500; ++x) {
    ASSERT_EQ(picture.At(x, 0), frame) << x;
    ASSERT_EQ(picture.At(x, 309), frame) << x;
  }
  for (int y = 0; y < 310; ++y) {
    ASSERT_EQ(picture.At(0, y), frame) << y;
    ASSERT_EQ(picture.At(499, y), frame) << y;
  }
  int strong = 0;
  for (int y = 1; y <= 215; ++y) {
    for (int x = 1; x <= 498; ++x) {
      ASSERT_TRUE(Reddish(picture.At(x, y))) << x << "," << y;
      strong += StronglyRed(picture.At(x, y));
    }
  }
  EXPECT_GT(strong, 215 * 498 * 9 / 10);  // red, with a small light emblem
  for (int y = 216; y <= 307; ++y) {
    for (int x = 1; x <= 498; ++x) ASSERT_EQ(picture.At(x, y), RGB(255, 255, 255)) << x << "," << y;
  }
  for (int x = 1; x <= 498; ++x) ASSERT_TRUE(StronglyRed(picture.At(x, 308))) << x;
}

TEST(Resources, ReadyPictureIsRedWithEmblemAndDarkerHills) {
  const Picture picture(101);
  ASSERT_NE(picture.bits, nullptr);
  int light = 0;
  int lightBelowTop = 0;
  for (int y = 0; y < 310; ++y) {
    for (int x = 0; x < 500; ++x) {
      const COLORREF c = picture.At(x, y);
      ASSERT_TRUE(Reddish(c)) << x << "," << y;
      if (GetGValue(c) > 180) {
        ++light;
        if (y > 170 || x < 150 || x > 350) ++lightBelowTop;
      }
    }
  }
  EXPECT_GT(light, 500);             // an emblem exists...
  EXPECT_EQ(lightBelowTop, 0);       // ...in the upper middle only
  // Vertical gradient: the sky darkens downwards; the hills along the bottom
  // are darker than the sky just above them.
  EXPECT_GT(GetRValue(picture.At(10, 5)), GetRValue(picture.At(10, 200)));
  EXPECT_LT(GetRValue(picture.At(250, 305)), GetRValue(picture.At(250, 220)));
}

// The emblem's pixels: in the rows above the hills the artwork is a plain
// vertical gradient, so every pixel that differs from its row's colour at
// the left edge belongs to the emblem (edge blends included).
std::vector<POINT> EmblemPixels(const Picture& picture) {
  std::vector<POINT> pixels;
  for (int y = 1; y < 140; ++y) {
    const COLORREF row = picture.At(2, y);
    for (int x = 2; x < 498; ++x)
      if (picture.At(x, y) != row) pixels.push_back(POINT{x, y});
  }
  return pixels;
}

TEST(Resources, OneSmoothEmblemInBothPicturesClearOfEveryTextRectangle) {
  const Picture ready(101);
  const Picture installing(104);
  ASSERT_NE(ready.bits, nullptr);
  ASSERT_NE(installing.bits, nullptr);
  const std::vector<POINT> emblem = EmblemPixels(ready);
  ASSERT_GT(emblem.size(), 1000u);

  // The same emblem, pixel for pixel, in both pictures: it neither jumps
  // nor shrinks when the installation starts.
  const std::vector<POINT> other = EmblemPixels(installing);
  ASSERT_EQ(other.size(), emblem.size());
  int blended = 0;
  for (size_t i = 0; i < emblem.size(); ++i) {
    const POINT p = emblem[i];
    ASSERT_TRUE(other[i].x == p.x && other[i].y == p.y) << p.x << "," << p.y;
    ASSERT_EQ(installing.At(p.x, p.y), ready.At(p.x, p.y)) << p.x << "," << p.y;
    // Anti-aliased: the outermost pixels of the ring mix its colour with the
    // background instead of stepping from one to the other.
    const int g = GetGValue(ready.At(p.x, p.y));
    if (g > GetGValue(ready.At(2, p.y)) + 8 && g < 200) ++blended;
  }
  EXPECT_GT(blended, 100);

  // Every rectangle any state draws text or a button in, at 500 x 310.
  const DlgLayout l = ComputeLayout(RECT{0, 0, 500, 310});
  const struct {
    const char* name;
    RECT rect;
  } texts[] = {
      {"package tag", l.tagRect},         {"main button", l.installRect},
      {"custom toggle", l.customRect},    {"browse button", l.browseRect},
      {"folder label", kPathLabelRect},   {"folder box", kFolderBoxRect},
      {"waiting line", l.busyRect},       {"step line", l.statusRect},
      {"close box", RECT{483, 7, 493, 17}},
      {"failure text", FailureTextRect(l.statusRect, 60)},
  };
  for (const auto& t : texts) {
    for (const POINT p : emblem) EXPECT_FALSE(PtInRect(&t.rect, p)) << t.name << " at " << p.x << "," << p.y;
  }
}

TEST(Resources, IconAndAdministratorManifest) {
  HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(102), IMAGE_ICON,
                                             32, 32, 0));
  ASSERT_NE(icon, nullptr);
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(icon, &info));
  BITMAP colour{};
  GetObjectW(info.hbmColor, sizeof colour, &colour);
  EXPECT_EQ(colour.bmWidth, 32);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  DestroyIcon(icon);

  const std::string_view manifest = ResourceBytes(MAKEINTRESOURCEW(24) /* RT_MANIFEST */, MAKEINTRESOURCEW(1));
  ASSERT_FALSE(manifest.empty());
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\""), std::string_view::npos);
}

}  // namespace
