// The file a download is written into, read back through the system.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/text.h"
#include "support/test_support.h"
#include "transfer/oss_stream.h"

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
