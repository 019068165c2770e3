#pragma once
// The end record and central directory of a zip archive read from bytes in
// memory (the tail of a package the object store sent), and the plan that
// builds a new package from an older one: every entry whose central record
// and stretch of the archive match an entry of the older package is copied
// from it, and only the rest is fetched. Portable: no Windows in here.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zipdir {

struct Entry {
  std::string name;
  uint16_t versionNeeded = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t time = 0;
  uint16_t date = 0;
  uint32_t crc = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint32_t localOffset = 0;
};

struct Directory {
  uint64_t offset = 0;  // of the central directory in the archive
  uint64_t size = 0;
  uint32_t count = 0;
  std::vector<Entry> entries;
};

// Finds the end record in `tail`, the last tail.size() bytes of an archive
// of `archiveSize` bytes: the directory's place, size and entry count. False
// when there is none, it does not fit the archive, or it is Zip64.
bool FindEndRecord(std::string_view tail, uint64_t archiveSize, Directory& directory);

// Reads directory.count central records from `bytes` (the directory itself).
// False when a record is damaged or the count does not fill the size exactly.
bool ParseDirectory(std::string_view bytes, Directory& directory);

struct Copy {
  uint64_t from = 0;  // offset in the older archive
  uint64_t to = 0;    // offset in the new one
  uint64_t length = 0;
};
struct Range {
  uint64_t first = 0;  // inclusive
  uint64_t last = 0;   // inclusive
};
struct Plan {
  std::vector<Copy> copies;
  std::vector<Range> fetches;  // merged, in order; one request each
  uint64_t reused = 0;         // bytes copied
};

// Every entry owns the stretch from its local header to the next entry's
// (or the directory): its header, data and any descriptor. An entry of the
// new archive is copied when the older one has an entry of the same name,
// CRC-32, sizes, method, flags, version and time whose stretch has the
// same length (a name the older archive lists twice matches nothing); the
// rest of [0, directory offset) is fetched. False when the
// entries' stretches overlap or leave the archive (then fetch it whole).
bool PlanAssembly(const Directory& fresh, const Directory& older, Plan& plan);

}  // namespace zipdir
