// The file a download is written into, read back through the system.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "network/oss_stream.h"
#include "platform/handles.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace {

namespace OSS = AlibabaCloud::OSS;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;

TEST(FileStream, WritesEveryPieceInOrderOverWhatWasThere) {
  const ScratchDir dir("file_stream");
  const std::string target = dir / "package.zip";
  testing_support::WriteFileBytes(target, std::string(5000, 'x'));  // an older, longer download
  const struct {
    const char* label;
    std::vector<std::string> pieces;
  } rows[] = {
      {"nothing written", {}},
      {"one piece", {"PK\x03\x04"}},
      {"pieces of every size", {"a", std::string(70000, 'b'), "", std::string(3, '\0'), "end"}},
  };
  for (const auto& row : rows) {
    std::string expected;
    {
      OSS::FileStream stream(target);
      ASSERT_TRUE(stream.IsOpen()) << row.label;
      for (const std::string& piece : row.pieces) {
        EXPECT_TRUE(stream.Write(piece.data(), piece.size())) << row.label;
        expected += piece;
        // Others may read the file while it is being written.
        EXPECT_EQ(ReadFileBytes(target), expected) << row.label;
      }
    }
    EXPECT_EQ(ReadFileBytes(target), expected) << row.label;
  }
}

TEST(BoundedFileStream, RefusesThePieceThatWouldPassTheBoundAndEverythingAfter) {
  const ScratchDir dir("bounded_stream");
  const std::string target = dir / "package.zip";
  const struct {
    const char* label;
    int64_t bound;
    std::vector<size_t> pieces;
    size_t accepted;  // pieces taken before the first refusal
  } rows[] = {
      {"exactly the bound", 100, {40, 60}, 2},
      {"one byte over, in the last piece", 100, {40, 61}, 1},
      {"one byte over, then more", 100, {100, 1, 1}, 1},
      {"first piece over", 100, {101}, 0},
      {"empty object", 0, {0, 1}, 1},
      {"no bound", -1, {1 << 20, 1 << 20}, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    size_t written = 0;
    {
      OSS::BoundedFileStream stream(target, row.bound);
      ASSERT_TRUE(stream.IsOpen());
      for (size_t i = 0; i < row.pieces.size(); ++i) {
        const std::string piece(row.pieces[i], 'p');
        EXPECT_EQ(stream.Write(piece.data(), piece.size()), i < row.accepted) << i;
        if (i < row.accepted) written += piece.size();
      }
      EXPECT_EQ(stream.Passed(), row.accepted < row.pieces.size());
    }
    // Nothing past the bound reached the disk.
    EXPECT_EQ(ReadFileBytes(target).size(), written);
  }
}

TEST(FileStream, PathsAreCodePage936) {
  const ScratchDir dir("file_stream_gbk");
  const std::wstring folder = WideFromCodePage(dir.path(), kGbkCodePage, MAX_PATH) + L"\\" + Wide(u8"卡维");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  {
    OSS::FileStream stream(dir.path() + "\\" + Gbk(u8"卡维") + "\\" + Gbk(u8"运行库.zip"));
    ASSERT_TRUE(stream.IsOpen());
    EXPECT_TRUE(stream.Write("zip", 3));
  }
  EXPECT_EQ(testing_support::ReadWideFileBytes(folder + L"\\" + Wide(u8"运行库.zip")), "zip");
}

TEST(FileStream, APlaceThatCannotHoldTheFileRefusesEveryWrite) {
  const ScratchDir dir("file_stream_refused");
  ASSERT_TRUE(CreateDirectoryA((dir / "taken").c_str(), nullptr));
  for (const std::string& path : {dir / "taken", dir / "no folder\\package.zip", std::string()}) {
    OSS::FileStream stream(path);
    EXPECT_FALSE(stream.IsOpen()) << path;
    EXPECT_FALSE(stream.Write("x", 1)) << path;
  }
}

}  // namespace
