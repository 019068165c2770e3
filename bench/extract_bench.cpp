// Extracts one archive with TUnzip, as the installer does, and reports on
// one line the result, the extraction's own seconds and the process's peak
// memory. Run by bench/extract.sh under Wine; not a test.
//   extract_bench <archive> <destination> [threads, 0: the installer's choice]
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>

#include "archive/tunzip.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: extract_bench <archive> <destination> [threads]\n");
    return 2;
  }
  const unsigned threads = argc == 4 ? static_cast<unsigned>(std::atoi(argv[3])) : 0;
  LARGE_INTEGER frequency{}, start{}, end{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  TUnzip unzip;
  const bool ok = unzip.Open(argv[1]) && unzip.ExtractAll(argv[2], threads);
  QueryPerformanceCounter(&end);
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  std::printf("result=%s extraction_seconds=%.3f peak_working_set_kb=%llu peak_private_kb=%llu\n", ok ? "ok" : "failed",
              double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart),
              static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024),
              static_cast<unsigned long long>(memory.PeakPagefileUsage / 1024));
  return ok ? 0 : 1;
}
