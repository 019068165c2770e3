#include "network/crc64.h"

#include <array>

namespace AlibabaCloud::OSS {
namespace {

constexpr uint64_t kReflectedPoly = 0xC96C5795D7870F42ull;

// Eight tables so that the hot loop takes eight bytes per step: a package
// download checks every byte and must keep up with the network.
struct Tables {
  std::array<std::array<uint64_t, 256>, 8> t{};
  constexpr Tables() {
    for (uint64_t n = 0; n < 256; ++n) {
      uint64_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kReflectedPoly : c >> 1;
      t[0][n] = c;
    }
    for (size_t n = 0; n < 256; ++n)
      for (size_t k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  }
};

constexpr Tables kTables{};

}  // namespace

uint64_t detail::Crc64RawTables(uint64_t crc, const unsigned char* p, size_t size) {
  const auto& t = kTables.t;
  while (size >= 8) {
    // Little-endian assembly by hand keeps this independent of the host's
    // byte order and alignment rules.
    uint64_t v = crc ^ (uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 |
                        uint64_t{p[3]} << 24 | uint64_t{p[4]} << 32 | uint64_t{p[5]} << 40 |
                        uint64_t{p[6]} << 48 | uint64_t{p[7]} << 56);
    crc = t[7][v & 0xFF] ^ t[6][(v >> 8) & 0xFF] ^ t[5][(v >> 16) & 0xFF] ^
          t[4][(v >> 24) & 0xFF] ^ t[3][(v >> 32) & 0xFF] ^ t[2][(v >> 40) & 0xFF] ^
          t[1][(v >> 48) & 0xFF] ^ t[0][v >> 56];
    p += 8;
    size -= 8;
  }
  while (size-- > 0) crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint64_t CalcCRC64(uint64_t previous, const void* data, size_t size) {
  static const bool carryless = detail::HaveCarrylessMultiply();
  const unsigned char* p = static_cast<const unsigned char*>(data);
  return ~(carryless ? detail::Crc64RawCarryless(~previous, p, size)
                     : detail::Crc64RawTables(~previous, p, size));
}

}  // namespace AlibabaCloud::OSS
