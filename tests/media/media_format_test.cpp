// The stored form of encrypted media, pinned by bytes worked out with other tools (openssl), not
// from the program's own constants: a change to the key rule or the counter block would leave
// every existing encrypted backup unreadable, and must fail here first.
#include <gtest/gtest.h>

#include <string>

#include "media/CryptoMedia.h"
#include "tests/media/media_test_util.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

namespace {

std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

TEST(MediaFormat, KeyStreamOfEachPassPhraseShape) {
    // Zero bytes encrypt to the key stream itself. Blocks 0 and 15 count up in the low 64 bits of
    // the counter block 4B5354524E450001 FFFFFFFFFFFFFFF0; block 16 is the carry into the high half
    // (4B5354524E450002 0000000000000000).
    struct Case {
        const char* passPhrase;
        const char* block0;
        const char* block15;
        const char* block16;
    } cases[] = {
        // Shorter than 16 bytes: completed with zero bytes.
        {"abc", "7780b8cac2898214d18fd314fb21468a", "50898f0739b28fe451b00d7adf5b0d93",
         "a82c84455128142ca1708a77b9c38221"},
        {"exactly16bytes!!", "4806932506f7a4903c6cd5a64c80c1dd", "343768a7caeba962375c86a8ccffd081",
         "0ea2755c8ef602e402dd3f2820152742"},
        // Longer: only the first 16 bytes count.
        {"0123456789abcdef and the rest", "57a574931424a9e0f6ac6a0d95dbe2a6", "9c1287d3763f14114cc5521c10d46481",
         "31e91a0dfb8789634e44e0b4fd7f8de2"},
    };
    kestest::TempDir dir;
    const std::string zeros(17 * 16 + 5, '\0');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.passPhrase);
        const std::string path = dir / "m.bak";
        {
            CryptoMedia media(path.c_str(), false, false, true, 6, c.passPhrase);
            ASSERT_EQ(static_cast<int32_t>(zeros.size()),
                      media.Write(zeros.data(), static_cast<int32_t>(zeros.size())));
            media.Close();
        }
        const std::string stored = kestest::readFile(path);
        ASSERT_EQ(zeros.size(), stored.size());
        auto block = [&](size_t k) { return mt::Hex(reinterpret_cast<const uint8_t*>(stored.data()) + 16 * k, 16); };
        EXPECT_EQ(c.block0, block(0));
        EXPECT_EQ(c.block15, block(15));
        EXPECT_EQ(c.block16, block(16));
    }
}

TEST(MediaFormat, ReadsAFileMadeByGzipAndOpenssl) {
    // printf 'Kestrune media format\n' | gzip -n -9 |
    //   openssl enc -aes-128-ctr -K 70617373207068726173650000000000 -iv 4b5354524e450001fffffffffffffff0
    const std::string stored =
        Unhex("f5fce5e91aba1766adf0745beea463c57553252c4547faf9fe71980cd53c93988667a30febf8f40b699c");
    kestest::TempDir dir;
    const std::string path = dir / "m.bak";
    kestest::writeFile(path, stored);
    CryptoMedia media(path.c_str(), true, true, true, 6, "pass phrase");
    char buf[64];
    int32_t got = media.Read(buf, sizeof buf);
    media.Close();
    EXPECT_EQ("Kestrune media format\n", std::string(buf, got > 0 ? static_cast<size_t>(got) : 0));
}

}  // namespace
