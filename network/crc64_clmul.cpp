// CRC-64/XZ with carry-less multiplication (PCLMULQDQ), for processors that
// have it: four 16-byte lanes are folded forward 64 bytes at a time, then
// into one, and the last 16 bytes and the tail go through the tables. The
// slicing tables manage about 1.5 GB/s; this runs several times faster, so
// the checksum of a download no longer competes with the network.
//
// The fold constants are x^e mod P in the reflected bit order of this CRC:
// (191, 127) move a lane forward by 16 bytes, (575, 511) by 64 bytes. This
// unit alone is compiled for PCLMULQDQ; it is called only when the
// processor reports the instruction.
#include "network/crc64.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#include <wmmintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

namespace AlibabaCloud::OSS::detail {

bool HaveCarrylessMultiply() {
#if defined(_MSC_VER)
  int info[4] = {};
  __cpuid(info, 1);
  const unsigned ecx = static_cast<unsigned>(info[2]);
#else
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
#endif
  return (ecx & (1u << 1)) != 0;  // PCLMULQDQ
}

namespace {
inline __m128i Fold(__m128i lane, __m128i constants) {
  return _mm_xor_si128(_mm_clmulepi64_si128(lane, constants, 0x00),
                       _mm_clmulepi64_si128(lane, constants, 0x11));
}
inline __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
}  // namespace

uint64_t Crc64RawCarryless(uint64_t state, const unsigned char* p, size_t size) {
  if (size < 64) return Crc64RawTables(state, p, size);
  const __m128i by16 = _mm_set_epi64x(static_cast<long long>(0xDABE95AFC7875F40ull),
                                      static_cast<long long>(0xE05DD497CA393AE4ull));
  const __m128i by64 = _mm_set_epi64x(static_cast<long long>(0x081F6054A7842DF4ull),
                                      static_cast<long long>(0x6AE3EFBB9DD441F3ull));
  // The register enters as if it had been XORed into the first eight bytes.
  __m128i x0 = _mm_xor_si128(Load(p), _mm_set_epi64x(0, static_cast<long long>(state)));
  __m128i x1 = Load(p + 16);
  __m128i x2 = Load(p + 32);
  __m128i x3 = Load(p + 48);
  p += 64;
  size -= 64;
  while (size >= 64) {
    x0 = _mm_xor_si128(Fold(x0, by64), Load(p));
    x1 = _mm_xor_si128(Fold(x1, by64), Load(p + 16));
    x2 = _mm_xor_si128(Fold(x2, by64), Load(p + 32));
    x3 = _mm_xor_si128(Fold(x3, by64), Load(p + 48));
    p += 64;
    size -= 64;
  }
  __m128i x = _mm_xor_si128(Fold(x0, by16), x1);
  x = _mm_xor_si128(Fold(x, by16), x2);
  x = _mm_xor_si128(Fold(x, by16), x3);
  while (size >= 16) {
    x = _mm_xor_si128(Fold(x, by16), Load(p));
    p += 16;
    size -= 16;
  }
  alignas(16) unsigned char last[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(last), x);
  return Crc64RawTables(Crc64RawTables(0, last, sizeof last), p, size);
}

}  // namespace AlibabaCloud::OSS::detail

#else

namespace AlibabaCloud::OSS::detail {
bool HaveCarrylessMultiply() { return false; }
uint64_t Crc64RawCarryless(uint64_t state, const unsigned char* p, size_t size) {
  return Crc64RawTables(state, p, size);
}
}  // namespace AlibabaCloud::OSS::detail

#endif
