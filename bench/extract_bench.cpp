// Extracts one archive with TUnzip and reports, on one line, the entry
// count, bytes written, elapsed seconds and the process's peak memory.
// Run by bench/extract.sh under Wine; not a test.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>

#include "transfer/tunzip.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: extract_bench <archive> <destination>\n");
    return 2;
  }
  LARGE_INTEGER frequency{}, start{}, end{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const bool ok = TUnzip::UnzipTo(argv[1], argv[2]);
  QueryPerformanceCounter(&end);
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  std::printf("result=%s seconds=%.3f peak_working_set_kb=%llu peak_private_kb=%llu\n", ok ? "ok" : "failed",
              double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart),
              static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024),
              static_cast<unsigned long long>(memory.PeakPagefileUsage / 1024));
  return ok ? 0 : 1;
}
