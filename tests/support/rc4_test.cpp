#include "support/RC4.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <string>

extern std::string g_supportSelf;

namespace {

std::string fromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string crypt(const std::string& in, const std::string& key) {
    std::string out(in.size(), '\0');
    EXPECT_EQ(RC4Crypt(in.data(), static_cast<int32_t>(in.size()), &out[0], key), 0);
    return out;
}

TEST(SupportRC4, PublishedKeystreams) {
    // RFC 6229 (offset 0) and a plaintext example; the keystream is the cipher of zero bytes.
    struct Case {
        const char* key;
        std::string plain;
        const char* cipherHex;
    };
    const Case cases[] = {
        {"0102030405", std::string(32, '\0'), "b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919"},
        {"0102030405060708090a0b0c0d0e0f10", std::string(32, '\0'),
         "9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c"},
        {"4b6579", "Plaintext", "bbf316e8d940af0ad3"},
    };
    for (const Case& c : cases) EXPECT_EQ(crypt(c.plain, c.key), fromHex(c.cipherHex)) << c.key;
}

TEST(SupportRC4, RoundTripExactLengthNoTerminator) {
    const std::string key = "00112233445566778899aabbccddeeff0011";  // 36 digits, 18 bytes
    static const char raw[] = "MOVE N'data' TO N'%DATA%\\d.mdf'\0\r\n\x1a";
    std::string data(raw, sizeof raw - 1);
    std::string once = crypt(data, key);
    EXPECT_NE(once, data);
    EXPECT_EQ(crypt(once, key), data);

    char out[8];
    memset(out, '#', sizeof out);
    EXPECT_EQ(RC4Crypt("abc", 3, out, key), 0);
    EXPECT_EQ(out[3], '#');  // exactly len bytes
    memset(out, '#', sizeof out);
    EXPECT_EQ(RC4Crypt("abc", 0, out, key), 0);
    EXPECT_EQ(RC4Crypt("abc", -4, out, key), 0);
    EXPECT_EQ(out[0], '#');  // nothing written

    std::string longest(512, 'a');
    EXPECT_EQ(crypt(data, longest).size(), data.size());  // the longest key text is accepted
}

TEST(SupportRC4, MalformedKeyTextEndsTheProcess) {
    struct Case {
        std::string key;
        std::string message;
    };
    const Case cases[] = {
        {"abc", "Hex key must have an even number of characters."},
        {std::string(513, 'a'), "Hex key must have an even number of characters."},  // odd is tested first
        {std::string(514, 'a'), "Hex key cannot be longer than 512 characters long"},
        {"00A1", "Hex key contains letter outside range 0-9 or a-z: A"},
        {"0g", "Hex key contains letter outside range 0-9 or a-z: g"},
        {"", "Hex key must not be empty."},
    };
    for (const Case& c : cases) {
        kestest::RunResult r = kestest::run({g_supportSelf, "--child", "rc4", c.key});
        EXPECT_EQ(r.status, 1) << c.key.substr(0, 8);
        EXPECT_EQ(r.out, c.message) << c.key.substr(0, 8);
    }
}

}  // namespace

int supportRc4Child(const std::string& keyText) {
    char out[4];
    RC4Crypt("abc", 3, out, keyText);
    fputs("no exit", stdout);
    return 0;
}
