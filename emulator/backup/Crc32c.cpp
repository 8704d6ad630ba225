#include "emulator/backup/Crc32c.h"

#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace sqlemu::backup {
namespace {

struct Tables {
    uint32_t t[8][256];
    Tables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};

const Tables& tables() {
    static const Tables* tab = new Tables;
    return *tab;
}

uint32_t softCrc(uint32_t crc, const unsigned char* p, size_t len) {
    const Tables& T = tables();
    while (len >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        v ^= crc;
        crc = T.t[7][v & 0xFF] ^ T.t[6][(v >> 8) & 0xFF] ^ T.t[5][(v >> 16) & 0xFF] ^ T.t[4][(v >> 24) & 0xFF] ^
              T.t[3][(v >> 32) & 0xFF] ^ T.t[2][(v >> 40) & 0xFF] ^ T.t[1][(v >> 48) & 0xFF] ^ T.t[0][v >> 56];
        p += 8;
        len -= 8;
    }
    while (len--) crc = (crc >> 8) ^ T.t[0][(crc ^ *p++) & 0xFF];
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t hardCrc(uint32_t crc, const unsigned char* p, size_t len) {
    uint64_t c = crc;
    while (len >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = _mm_crc32_u64(c, v);
        p += 8;
        len -= 8;
    }
    uint32_t c32 = static_cast<uint32_t>(c);
    while (len--) c32 = _mm_crc32_u8(c32, *p++);
    return c32;
}
bool haveHardware() {
    static const bool yes = __builtin_cpu_supports("sse4.2");
    return yes;
}
#endif

}  // namespace

uint32_t crc32c(uint32_t crc, const void* data, size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
#if defined(__x86_64__)
    if (haveHardware()) return ~hardCrc(crc, p, len);
#endif
    return ~softCrc(crc, p, len);
}

// For the tests: the table path on its own.
uint32_t crc32cPortable(uint32_t crc, const void* data, size_t len) {
    return ~softCrc(~crc, static_cast<const unsigned char*>(data), len);
}

}  // namespace sqlemu::backup
