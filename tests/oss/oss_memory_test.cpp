// A package download streams: the memory it needs does not grow with the
// object's size.
#include <windows.h>
#include <psapi.h>

#include "oss/oss_fixture.h"

#include "engine/app_context.h"
#include "engine/client.h"
#include "support/message_sink.h"

namespace oss_test {
namespace {

// Makes a zero-filled object of `size` bytes without writing them (the
// file is sparse where the file system allows).
void PutZeroObject(const std::string& root, const std::string& name, int64_t size) {
  HANDLE file = CreateFileA((root + "\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LARGE_INTEGER end;
  end.QuadPart = size;
  EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
  EXPECT_TRUE(SetEndOfFile(file));
  CloseHandle(file);
}

struct Peaks {
  SIZE_T workingSet;
  SIZE_T privateBytes;
};

Peaks PeakMemory() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return {counters.PeakWorkingSetSize, counters.PeakPagefileUsage};
}

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

TEST_F(OssServerTest, PeakMemoryOfAGibibyteDownloadDoesNotDependOnItsSize) {
  constexpr int64_t kSmall = 8ll << 20;
  constexpr int64_t kLarge = 1ll << 30;
  PutZeroObject(root_->path(), "small.zip", kSmall);
  PutZeroObject(root_->path(), "large.zip", kLarge);
  testing_support::ScratchDir staging("oss_memory_staging");
  GetAppContext().stagingDir = staging.path();
  testing_support::MessageSink sink;
  const auto oss = Client(OSS::ClientConfiguration());
  IClient client;
  client.bucket = kBucket;
  client.ossClient = oss.get();
  client.plannedDownloads = 5;

  ASSERT_TRUE(client.DownloadObject("small.zip", staging.path() + "/small.zip"));
  EXPECT_EQ(FileSize(staging.path() + "\\small.zip"), kSmall);
  const Peaks before = PeakMemory();
  ASSERT_TRUE(client.DownloadObject("large.zip", staging.path() + "/large.zip"));
  const Peaks after = PeakMemory();
  client.ossClient = nullptr;
  EXPECT_EQ(FileSize(staging.path() + "\\large.zip"), kLarge);
  std::printf("peak working set %zu -> %zu KiB, peak private %zu -> %zu KiB\n",
              before.workingSet / 1024, after.workingSet / 1024, before.privateBytes / 1024,
              after.privateBytes / 1024);
  // 128 times the bytes may not cost more than a few buffers more.
  EXPECT_LT(after.workingSet - before.workingSet, SIZE_T{8} << 20);
  EXPECT_LT(after.privateBytes - before.privateBytes, SIZE_T{8} << 20);
  EXPECT_LT(after.privateBytes, SIZE_T{32} << 20);
}

}  // namespace
}  // namespace oss_test
