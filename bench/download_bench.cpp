// Downloads one object through the installer's object-store layer into a
// file, the way DownloadObject does, and prints what it took:
//   download_bench <endpoint> <bucket> <key> <key id> <key secret> <file>
//   -> "bytes=<n> seconds=<s> peak_private_kib=<k> peak_working_set_kib=<k>"
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <memory>

#include "transfer/oss_sdk.h"

namespace OSS = AlibabaCloud::OSS;

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: download_bench endpoint bucket key id secret file\n");
    return 2;
  }
  OSS::InitializeSdk();
  const OSS::ClientConfiguration conf;
  OSS::OssClient client(argv[1], argv[4], argv[5], conf);
  OSS::GetObjectRequest request(argv[2], argv[3]);
  const std::string path = argv[6];
  request.setResponseStreamFactory([&path]() -> std::shared_ptr<OSS::ResponseStream> {
    return std::make_shared<OSS::FileStream>(path);
  });
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  int64_t bytes = 0;
  {
    const OSS::GetObjectOutcome outcome = client.GetObject(request);
    if (!outcome.isSuccess()) {
      std::fprintf(stderr, "download failed: %s %s\n", outcome.error().Code().c_str(),
                   outcome.error().Message().c_str());
      return 1;
    }
    bytes = outcome.result().Metadata().ContentLength();
  }
  QueryPerformanceCounter(&end);
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  std::printf("bytes=%lld seconds=%.3f peak_private_kib=%zu peak_working_set_kib=%zu\n",
              static_cast<long long>(bytes),
              static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart),
              counters.PeakPagefileUsage / 1024, counters.PeakWorkingSetSize / 1024);
  OSS::ShutdownSdk();
  return 0;
}
