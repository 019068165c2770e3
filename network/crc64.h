#pragma once
// CRC-64/XZ (ECMA-182 polynomial, reflected, all-ones start and final xor),
// the checksum the object store reports in x-oss-hash-crc64ecma. Portable:
// no Windows in here.
#include <cstddef>
#include <cstdint>

namespace AlibabaCloud::OSS {

// Continues a checksum: `previous` is the result for the bytes before
// `data` (0 to start). CalcCRC64(CalcCRC64(0, a), b) equals the checksum of
// a followed by b.
uint64_t CalcCRC64(uint64_t previous, const void* data, size_t size);

namespace detail {
// The register without its start and final complement, through the
// slicing tables, and through carry-less multiplication where the
// processor has it (HaveCarrylessMultiply).
uint64_t Crc64RawTables(uint64_t state, const unsigned char* p, size_t size);
uint64_t Crc64RawCarryless(uint64_t state, const unsigned char* p, size_t size);
bool HaveCarrylessMultiply();
}  // namespace detail

}  // namespace AlibabaCloud::OSS
