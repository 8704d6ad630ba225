// Data helpers of the media tests; files and processes come from tests/support.
#pragma once

#include <cstdint>
#include <string>

namespace mt {

std::string Hex(const uint8_t* bytes, size_t n);

// Data shaped like database pages: 8 KiB pages that are text-like, random or zero, cut to n.
std::string PageData(size_t n, uint32_t seed);

}  // namespace mt
