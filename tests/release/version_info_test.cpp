// A built installer file as Windows sees it from outside: the version record
// that the file's properties and the administrator prompt show, and the
// program's own resources. The file comes from KAVIMOR_CHECKED_EXE, so the
// same checks run on the test build and on the release build.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace {

std::wstring CheckedExe() {
  const char* path = std::getenv("KAVIMOR_CHECKED_EXE");
  if (path == nullptr) return {};
  const int units = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), units);
  wide.resize(wide.size() - 1);
  return wide;
}

// The whole version record, read the way Explorer reads it.
class VersionRecord {
 public:
  explicit VersionRecord(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return;
    data_.resize(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data_.data())) data_.clear();
  }
  bool Loaded() const { return !data_.empty(); }

  template <typename T>
  const T* Value(const std::wstring& subBlock, UINT* length = nullptr) const {
    void* value = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(data_.data(), subBlock.c_str(), &value, &size) || size == 0) return nullptr;
    if (length != nullptr) *length = size;
    return static_cast<const T*>(value);
  }

 private:
  std::vector<unsigned char> data_;
};

class ShippedFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(exe_.empty()) << "KAVIMOR_CHECKED_EXE names no file";
    ASSERT_NE(GetFileAttributesW(exe_.c_str()), INVALID_FILE_ATTRIBUTES) << "missing: " << exe_.c_str();
  }
  const std::wstring exe_ = CheckedExe();
};

TEST_F(ShippedFile, FixedVersionIs9_5_9_1ForFileAndProduct) {
  const VersionRecord record(exe_);
  ASSERT_TRUE(record.Loaded());
  const auto* fixed = record.Value<VS_FIXEDFILEINFO>(L"\\");
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(5, 9));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(1, 9));
  EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(5, 9));
  EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(1, 9));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "no debug, pre-release or patched flag";
}

TEST_F(ShippedFile, VersionStringsInTheLanguageTheRecordNames) {
  const VersionRecord record(exe_);
  ASSERT_TRUE(record.Loaded());
  // Explorer takes the first translation and reads the strings under it.
  UINT length = 0;
  const auto* translation = record.Value<WORD>(L"\\VarFileInfo\\Translation", &length);
  ASSERT_NE(translation, nullptr);
  ASSERT_GE(length, 4u);
  EXPECT_EQ(translation[0], 0x0804);  // simplified Chinese, as the string table
  EXPECT_EQ(translation[1], 1200);    // UTF-16
  wchar_t block[64] = {};
  swprintf(block, 64, L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);

  const std::wstring fileName = exe_.substr(exe_.find_last_of(L"\\/") + 1);
  const struct {
    const wchar_t* name;
    std::wstring text;
  } rows[] = {
      {L"CompanyName", L"Tavrel Information"},
      {L"ProductName", L"NOLDAR Trading System"},
      {L"FileDescription", L"NOLDAR Trading System Installer"},
      {L"FileVersion", L"9.5.9.1"},
      {L"ProductVersion", L"9.5.9.1"},
      // The record must name the file as it is shipped.
      {L"OriginalFilename", fileName},
      {L"InternalName", L"kavimor_installer"},
      {L"LegalCopyright", L"Copyright (C) Tavrel Information. All rights reserved."},
  };
  for (const auto& row : rows) {
    const wchar_t* text = record.Value<wchar_t>(std::wstring(block) + row.name);
    ASSERT_NE(text, nullptr) << row.name;
    EXPECT_EQ(std::wstring(text), row.text) << row.name;
  }
}

TEST_F(ShippedFile, CarriesTheProgramsResources) {
  win::Library module(LoadLibraryExW(exe_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_TRUE(module);
  enum : WORD { kBitmap = 2, kIconGroup = 14, kVersion = 16, kManifest = 24 };
  const struct {
    WORD type;
    WORD id;
  } rows[] = {{kBitmap, 101}, {kBitmap, 104}, {kIconGroup, 102}, {kManifest, 1}, {kVersion, 1}};
  for (const auto& row : rows)
    EXPECT_NE(FindResourceW(module.get(), MAKEINTRESOURCEW(row.id), MAKEINTRESOURCEW(row.type)), nullptr)
        << row.type << "/" << row.id;
  const struct {
    UINT id;
    const wchar_t* text;
  } strings[] = {{103, L"201805"},
                 {104, L"NOLDAR Trading System"},
                 {105, L"NOLDAR Trading System"},
                 {106, L"NOLDAR Trading System"}};
  for (const auto& row : strings) {
    wchar_t buffer[260] = {};
    LoadStringW(module.get(), row.id, buffer, 260);
    EXPECT_STREQ(buffer, row.text) << row.id;
  }
}

}  // namespace
