// The end record and central directory reader of the package cache over an
// arbitrary archive, and the assembly plan it makes. Beyond what the
// sanitizers catch: an accepted directory lies inside the archive and ends
// where its end record begins; a plan covers the bytes before the
// directory exactly once, in order, each by a copy or a fetch; planned
// against itself every entry is copied in place, and against an older
// archive with one entry changed that entry is fetched instead.
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "archive/zip_directory.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

void CheckCoverage(const zipdir::Plan& plan, uint64_t end) {
  uint64_t next = 0;
  uint64_t reused = 0;
  size_t copy = 0;
  size_t fetch = 0;
  bool lastFetched = false;
  while (copy < plan.copies.size() || fetch < plan.fetches.size()) {
    if (copy < plan.copies.size() && plan.copies[copy].to == next) {
      Require(plan.copies[copy].length > 0, "a copy moves bytes");
      next += plan.copies[copy].length;
      reused += plan.copies[copy].length;
      ++copy;
      lastFetched = false;
    } else {
      Require(fetch < plan.fetches.size() && plan.fetches[fetch].first == next, "no gap, no overlap");
      Require(plan.fetches[fetch].last >= next, "a range holds a byte");
      Require(!lastFetched, "adjacent ranges merged into one request");
      next = plan.fetches[fetch].last + 1;
      ++fetch;
      lastFetched = true;
    }
  }
  Require(next == end, "the plan reaches the directory");
  Require(reused == plan.reused, "reused bytes add up");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view archive(reinterpret_cast<const char*>(data), size);
  const size_t tailLength = size < 65536 ? size : 65536;
  zipdir::Directory directory;
  if (!zipdir::FindEndRecord(archive.substr(size - tailLength), size, directory)) return 0;
  Require(directory.offset + directory.size <= size, "the directory lies inside the archive");
  if (!zipdir::ParseDirectory(archive.substr(directory.offset, directory.size), directory)) return 0;
  Require(directory.entries.size() == directory.count, "every counted record read");

  zipdir::Plan plan;
  if (!zipdir::PlanAssembly(directory, directory, plan)) return 0;
  CheckCoverage(plan, directory.offset);
  for (const zipdir::Copy& c : plan.copies) Require(c.from == c.to, "against itself, copied in place");

  if (directory.entries.empty()) return 0;
  zipdir::Directory older = directory;
  older.entries[0].crc ^= 1;
  Require(zipdir::PlanAssembly(directory, older, plan), "the same stretches plan again");
  CheckCoverage(plan, directory.offset);
  std::set<std::string> names;
  for (const zipdir::Entry& e : directory.entries) names.insert(e.name);
  if (names.size() == directory.entries.size())
    for (const zipdir::Copy& c : plan.copies)
      Require(c.to != directory.entries[0].localOffset, "a changed entry is not copied");
  return 0;
}
