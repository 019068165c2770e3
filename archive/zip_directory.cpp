#include "archive/zip_directory.h"

#include <algorithm>
#include <map>

namespace zipdir {

namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr size_t kEndSize = 22;
constexpr size_t kCentralSize = 46;

uint16_t U16(std::string_view b, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
uint32_t U32(std::string_view b, size_t at) { return U16(b, at) | static_cast<uint32_t>(U16(b, at + 2)) << 16; }

struct Stretch {
  const Entry* entry;
  uint64_t begin;
  uint64_t end;
};

// Entries in archive order with their stretches; false on overlap or on a
// stretch outside [0, directory offset).
bool Stretches(const Directory& d, std::vector<Stretch>& out) {
  out.clear();
  for (const Entry& e : d.entries) out.push_back({&e, e.localOffset, 0});
  std::sort(out.begin(), out.end(), [](const Stretch& a, const Stretch& b) { return a.begin < b.begin; });
  for (size_t i = 0; i < out.size(); ++i) {
    out[i].end = i + 1 < out.size() ? out[i + 1].begin : d.offset;
    const uint64_t least = kCentralSize - 16 + out[i].entry->name.size() + out[i].entry->compressedSize;
    if (out[i].end <= out[i].begin || out[i].end - out[i].begin < least || out[i].end > d.offset) return false;
  }
  return true;
}

bool SameEntry(const Entry& a, const Entry& b) {
  return a.name == b.name && a.crc == b.crc && a.compressedSize == b.compressedSize &&
         a.uncompressedSize == b.uncompressedSize && a.method == b.method && a.flags == b.flags &&
         a.versionNeeded == b.versionNeeded && a.time == b.time && a.date == b.date;
}

}  // namespace

bool FindEndRecord(std::string_view tail, uint64_t archiveSize, Directory& directory) {
  if (tail.size() < kEndSize || tail.size() > archiveSize) return false;
  const uint64_t tailStart = archiveSize - tail.size();
  // From the back: the first signature whose comment ends the archive.
  for (size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
    if (U32(tail, at) != kEndSignature) continue;
    if (at + kEndSize + U16(tail, at + 20) != tail.size()) continue;
    const uint16_t disk = U16(tail, at + 4);
    const uint16_t startDisk = U16(tail, at + 6);
    const uint16_t here = U16(tail, at + 8);
    const uint16_t total = U16(tail, at + 10);
    const uint32_t size = U32(tail, at + 12);
    const uint32_t offset = U32(tail, at + 16);
    if (disk != 0 || startDisk != 0 || here != total || total == 0xFFFF || size == 0xFFFFFFFF ||
        offset == 0xFFFFFFFF)
      return false;
    if (static_cast<uint64_t>(offset) + size != tailStart + at) return false;
    directory.offset = offset;
    directory.size = size;
    directory.count = total;
    directory.entries.clear();
    return true;
  }
  return false;
}

bool ParseDirectory(std::string_view bytes, Directory& directory) {
  directory.entries.clear();
  if (bytes.size() != directory.size) return false;
  size_t at = 0;
  for (uint32_t i = 0; i < directory.count; ++i) {
    if (bytes.size() - at < kCentralSize || U32(bytes, at) != kCentralSignature) return false;
    const size_t n = U16(bytes, at + 28);
    const size_t m = U16(bytes, at + 30);
    const size_t k = U16(bytes, at + 32);
    if (bytes.size() - at - kCentralSize < n + m + k) return false;
    Entry e;
    e.versionNeeded = U16(bytes, at + 6);
    e.flags = U16(bytes, at + 8);
    e.method = U16(bytes, at + 10);
    e.time = U16(bytes, at + 12);
    e.date = U16(bytes, at + 14);
    e.crc = U32(bytes, at + 16);
    e.compressedSize = U32(bytes, at + 20);
    e.uncompressedSize = U32(bytes, at + 24);
    e.localOffset = U32(bytes, at + 42);
    e.name.assign(bytes.substr(at + kCentralSize, n));
    directory.entries.push_back(std::move(e));
    at += kCentralSize + n + m + k;
  }
  return at == bytes.size();
}

bool PlanAssembly(const Directory& fresh, const Directory& older, Plan& plan) {
  plan = Plan();
  std::vector<Stretch> wanted;
  std::vector<Stretch> had;
  if (!Stretches(fresh, wanted) || !Stretches(older, had)) return false;
  // A name the older archive holds twice says nothing about which of the
  // two a new entry is: such entries are fetched.
  std::map<std::string, const Stretch*> byName;
  for (const Stretch& s : had) {
    const auto [at, fresh] = byName.emplace(s.entry->name, &s);
    if (!fresh) at->second = nullptr;
  }
  uint64_t next = 0;  // first byte not yet planned
  auto fetchUpTo = [&](uint64_t end) {
    if (end <= next) return;
    if (!plan.fetches.empty() && plan.fetches.back().last + 1 == next)
      plan.fetches.back().last = end - 1;
    else
      plan.fetches.push_back({next, end - 1});
    next = end;
  };
  for (const Stretch& s : wanted) {
    const auto found = byName.find(s.entry->name);
    if (found == byName.end() || found->second == nullptr || !SameEntry(*s.entry, *found->second->entry) ||
        found->second->end - found->second->begin != s.end - s.begin)
      continue;
    fetchUpTo(s.begin);
    plan.copies.push_back({found->second->begin, s.begin, s.end - s.begin});
    plan.reused += s.end - s.begin;
    next = s.end;
  }
  fetchUpTo(fresh.offset);
  return true;
}

}  // namespace zipdir
