#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "media/CryptoMedia.h"
#include "tests/media/media_test_util.h"
#include "tests/support/Capture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestProcess.h"

namespace {

using Routine = void (*)(void*, std::string, std::string&);

std::string RunRoutine(Routine routine, const std::string& in, std::string& out) {
    return kestest::capturedStdout([&] { routine(nullptr, in, out); });
}

int CountLines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

TEST(MediaTextRoutines, EveryEncryptionIsUndoneByEitherDecryption) {
    const std::string inputs[] = {"", "a short text", mt::PageData(100000, 1)};
    const struct {
        const char* label;
        Routine encrypt;
        Routine decrypt;
    } pairs[] = {
        {"stream/stream", EncryptStream, DecryptStream},
        {"text/text", EncryptText, DecryptText},
        {"stream/text", EncryptStream, DecryptText},
        {"text/stream", EncryptText, DecryptStream},
    };
    for (const auto& p : pairs) {
        for (const std::string& in : inputs) {
            SCOPED_TRACE(testing::Message() << p.label << " " << in.size());
            std::string enc = "kept:", dec = "kept:";
            RunRoutine(p.encrypt, in, enc);
            ASSERT_EQ("kept:", enc.substr(0, 5));
            EXPECT_NE(in, enc.substr(5));
            RunRoutine(p.decrypt, enc.substr(5), dec);
            EXPECT_TRUE(dec == "kept:" + in);
        }
    }
}

TEST(MediaTextRoutines, ProgressLines) {
    const std::string in = mt::PageData(20000, 2);
    std::string enc, out;
    // One line after the last step.
    EXPECT_EQ(1, CountLines(RunRoutine(EncryptStream, in, enc)));
    // One line per 4096-byte step of the encrypted input.
    const int steps = static_cast<int>((enc.size() + 4095) / 4096);
    std::string lines = RunRoutine(DecryptStream, enc, out);
    EXPECT_EQ(steps, CountLines(lines));
    EXPECT_EQ(0u, lines.find("Processed: "));
    // Short texts print nothing; 15 MiB print one line, at the 10 MiB mark.
    out.clear();
    EXPECT_EQ("", RunRoutine(EncryptText, in, out));
    const std::string big = RandomBytes(15u << 20, 3);
    std::string bigEnc;
    EXPECT_EQ(1, CountLines(RunRoutine(EncryptText, big, bigEnc)));
    ASSERT_GE(bigEnc.size(), 15u << 20);
    std::string bigDec;
    EXPECT_EQ(1, CountLines(RunRoutine(DecryptText, bigEnc, bigDec)));
    EXPECT_TRUE(bigDec == big);
}

TEST(MediaTextRoutines, InputThatIsNoEncryptedGzipStreamThrows) {
    for (Routine decrypt : {DecryptStream, DecryptText}) {
        for (const std::string& in : {std::string(), std::string("not a stream at all"), RandomBytes(9000, 4)}) {
            std::string out;
            EXPECT_THROW(RunRoutine(decrypt, in, out), CryptoPP::Exception) << in.size();
        }
    }
}

class MediaFileRoutines : public ::testing::Test {
protected:
    std::string Encrypt(const char* key, bool compress, bool encrypt, const std::string& out = "enc") {
        CryptoMedia media(key);
        return kestest::capturedStdout(
            [&] { media.EncryptFile((dir / "in").c_str(), (dir / out).c_str(), compress, encrypt); });
    }
    std::string Decrypt(const char* key, bool decompress, bool decrypt, const std::string& in = "enc") {
        CryptoMedia media(key);
        return kestest::capturedStdout(
            [&] { media.DecryptFile((dir / in).c_str(), (dir / "dec").c_str(), decompress, decrypt); });
    }
    kestest::TempDir dir;
    const std::string data = mt::PageData(200000, 8);
};

TEST_F(MediaFileRoutines, CompressedAndEncryptedFileDecryptsBackAndIsMediaFormat) {
    kestest::writeFile(dir / "in", data);
    Encrypt("pass phrase", true, true);
    Decrypt("pass phrase", true, true);
    EXPECT_TRUE(kestest::readFile(dir / "dec") == data);
    // A reading media with the same settings reads what the routine wrote.
    CryptoMedia media((dir / "enc").c_str(), true, true, true, 6, "pass phrase");
    std::string back(data.size() + 1, '\0');
    EXPECT_EQ(static_cast<int32_t>(data.size()), media.Read(&back[0], static_cast<int32_t>(back.size())));
    back.resize(data.size());
    EXPECT_TRUE(back == data);
    media.Close();
}

TEST_F(MediaFileRoutines, WithoutKeyTheOutputIsPlainGzip) {
    kestest::writeFile(dir / "in", data);
    Encrypt("", true, true);
    const kestest::RunResult sh = kestest::shell("gunzip -c < '" + dir / "enc" + "' > '" + dir / "plain" + "'");
    ASSERT_EQ(0, sh.status) << sh.err;
    EXPECT_TRUE(kestest::readFile(dir / "plain") == data);
    Decrypt("", true, true);
    EXPECT_TRUE(kestest::readFile(dir / "dec") == data);
}

TEST_F(MediaFileRoutines, BothSwitchesOffCopiesAndCountsEveryPump) {
    kestest::writeFile(dir / "in", data.substr(0, 20000));
    EXPECT_EQ("Processed: 8192\nProcessed: 16384\nProcessed: 20000\n", Encrypt("key", false, false));
    EXPECT_TRUE(kestest::readFile(dir / "enc") == data.substr(0, 20000));
    EXPECT_EQ("Processed: 8192\nProcessed: 16384\nProcessed: 20000\n", Decrypt("key", false, false));
    EXPECT_TRUE(kestest::readFile(dir / "dec") == data.substr(0, 20000));
}

TEST_F(MediaFileRoutines, EncryptionAloneMatchesTheMediaFile) {
    kestest::writeFile(dir / "in", data);
    Encrypt("pass phrase", false, true);
    {
        CryptoMedia media((dir / "media").c_str(), false, false, true, 6, "pass phrase");
        media.Write(data.data(), static_cast<int32_t>(data.size()));
        media.Close();
    }
    EXPECT_TRUE(kestest::readFile(dir / "enc") == kestest::readFile(dir / "media"));
}

TEST_F(MediaFileRoutines, MissingInputAndBadStreamsThrow) {
    EXPECT_THROW(Decrypt("k", true, true, "missing"), CryptoPP::FileStore::OpenErr);
    kestest::writeFile(dir / "in", data);
    // Decrypting under the wrong key gives no gzip stream.
    Encrypt("right", true, true);
    EXPECT_THROW(Decrypt("wrong", true, true), CryptoPP::Exception);
}

}  // namespace
