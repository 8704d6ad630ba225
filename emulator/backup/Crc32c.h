// CRC-32C (Castagnoli), the checksum of every record of a backup stream. Uses the processor's
// instruction where there is one, else a slicing-by-8 table; both give the same values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sqlemu::backup {

// Continues `crc` (0 to start) over len bytes.
uint32_t crc32c(uint32_t crc, const void* data, size_t len);
// The table path alone (the tests compare it with the instruction path).
uint32_t crc32cPortable(uint32_t crc, const void* data, size_t len);

}  // namespace sqlemu::backup
