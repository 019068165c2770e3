#pragma once
// Zip archives built in memory for the extraction tests: stored or deflated
// entries with raw 8-bit names, chosen attributes and DOS times, and faults
// (a wrong CRC, a damaged deflate stream, an unreadable central record).
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace unzip_fixture {

// 2021-03-14 15:26:58 as a DOS date (high word) and time (low word).
constexpr uint32_t kDosTime = (uint32_t((2021 - 1980) << 9 | 3 << 5 | 14) << 16) | (15 << 11 | 26 << 5 | 58 / 2);

struct Entry {
  std::string name;  // bytes as stored (code page 936 for Chinese names)
  std::string data;
  bool folder = false;     // sets the MS-DOS directory attribute 0x10
  bool deflate = true;
  uint32_t dosTime = kDosTime;
  bool wrongCrc = false;       // central and local CRC both off by one
  bool localCrcOff = false;    // only the local header's CRC is off: the header is refused
  bool damageStream = false;   // flips a byte inside the deflate data
  uint16_t commentLength = 0;  // central record claims a comment this long (not written)
};

inline void Put16(std::string& out, uint32_t v) {
  out += char(v & 0xff);
  out += char((v >> 8) & 0xff);
}
inline void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xffff);
  Put16(out, v >> 16);
}

inline std::string RawDeflate(const std::string& data) {
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, static_cast<uLong>(data.size())) + 16, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

inline std::string Build(const std::vector<Entry>& entries) {
  std::string out, central;
  for (const Entry& e : entries) {
    const bool deflate = e.deflate && !e.folder;
    std::string packed = deflate ? RawDeflate(e.data) : e.data;
    if (e.damageStream && packed.size() > 4) packed[packed.size() / 2] ^= 0x5a;
    uint32_t crc = crc32(0L, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size()));
    if (e.wrongCrc) crc += 1;
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const uint16_t method = deflate ? 8 : 0;
    Put32(out, 0x04034b50);
    Put16(out, 20);
    Put16(out, 0);
    Put16(out, method);
    Put32(out, e.dosTime);
    Put32(out, e.localCrcOff ? crc + 1 : crc);
    Put32(out, static_cast<uint32_t>(packed.size()));
    Put32(out, static_cast<uint32_t>(e.data.size()));
    Put16(out, static_cast<uint32_t>(e.name.size()));
    Put16(out, 0);
    out += e.name;
    out += packed;

    Put32(central, 0x02014b50);
    Put16(central, 20);
    Put16(central, 20);
    Put16(central, 0);
    Put16(central, method);
    Put32(central, e.dosTime);
    Put32(central, crc);
    Put32(central, static_cast<uint32_t>(packed.size()));
    Put32(central, static_cast<uint32_t>(e.data.size()));
    Put16(central, static_cast<uint32_t>(e.name.size()));
    Put16(central, 0);
    Put16(central, e.commentLength);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, e.folder ? 0x10 : 0x20);
    Put32(central, offset);
    central += e.name;
  }
  const uint32_t centralOffset = static_cast<uint32_t>(out.size());
  out += central;
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put32(out, static_cast<uint32_t>(central.size()));
  Put32(out, centralOffset);
  Put16(out, 0);
  return out;
}

inline Entry File(std::string name, std::string data, bool deflate = true) {
  Entry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.deflate = deflate;
  return e;
}

// prefix + number + suffix ("n7.txt"), for numbered entries and files.
inline std::string Numbered(const char* prefix, int number, const char* suffix = "") {
  std::string name = prefix;
  name += std::to_string(number);
  name += suffix;
  return name;
}

inline Entry Folder(std::string name) {
  Entry e;
  e.name = std::move(name);
  e.folder = true;
  return e;
}

}  // namespace unzip_fixture
