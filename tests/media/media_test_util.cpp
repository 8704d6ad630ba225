#include "tests/media/media_test_util.h"

#include <random>

namespace mt {

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 15];
    }
    return s;
}

std::string PageData(size_t n, uint32_t seed) {
    static const char* kWords[] = {"customer ", "order ",     "2026-12-10 ", "NULL ",     "Kestrel ",
                                   "42 ",       "status=OK ", "amount ",     "\x01\x02 ", "region "};
    std::mt19937 rng(seed);
    std::string out;
    out.reserve(n + 8192);
    while (out.size() < n) {
        std::string page;
        switch (rng() % 4) {
            case 0: page.assign(8192, '\0'); break;
            case 1:
                while (page.size() < 8192) page += static_cast<char>(rng());
                break;
            default:
                while (page.size() < 8192) page += kWords[rng() % 10];
                page.resize(8192);
        }
        out += page;
    }
    out.resize(n);
    return out;
}

}  // namespace mt
