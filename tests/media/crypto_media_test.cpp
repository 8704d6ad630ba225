#include <gtest/gtest.h>
#include <zlib.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "media/CryptoMedia.h"
#include "media/MediaKey.h"
#include "tests/media/media_test_util.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestProcess.h"

namespace {

// Compares without printing megabytes on a mismatch.
::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
    return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got " << actual.size()
                                         << ", first difference at offset " << i;
}

struct Chain {
    const char* label;
    bool compress;
    bool useGzip;
    const char* key;
};

const Chain kChains[] = {
    {"plain", false, true, ""}, {"aes", false, true, "pass phrase"},
    {"gzip", true, true, ""},   {"gzip_aes", true, true, "a pass phrase longer than sixteen bytes"},
    {"zlib", true, false, ""},  {"zlib_aes", true, false, "k"},
};

// Writes the data in the given write sizes (cycled), then closes and destroys the media.
void WriteMedia(const std::string& path, const Chain& c, const std::string& data, const std::vector<size_t>& sizes,
                int level = 6) {
    CryptoMedia media(path.c_str(), false, c.compress, c.useGzip, level, c.key);
    size_t done = 0;
    for (size_t i = 0; done < data.size(); ++i) {
        size_t n = std::min(sizes[i % sizes.size()], data.size() - done);
        ASSERT_EQ(static_cast<int32_t>(n), media.Write(data.data() + done, static_cast<int32_t>(n)));
        done += n;
    }
    media.Close();
}

// Reads the whole media back in calls of readSize bytes.
std::string ReadMedia(const std::string& path, const Chain& c, int32_t readSize) {
    CryptoMedia media(path.c_str(), true, c.compress, c.useGzip, 6, c.key);
    std::string out;
    std::vector<char> buf(static_cast<size_t>(readSize));
    for (;;) {
        int32_t got = media.Read(buf.data(), readSize);
        EXPECT_GE(got, 0);
        out.append(buf.data(), static_cast<size_t>(got));
        if (got < readSize) break;
    }
    // Once short, every later read returns 0 at once.
    EXPECT_EQ(0, media.Read(buf.data(), readSize));
    EXPECT_TRUE(media.IsEof());
    EXPECT_TRUE(media.IsDrained());
    media.Close();
    return out;
}

std::string KeyHex(const char* keyText) {
    uint8_t key[media_key::kKeySize];
    media_key::MakeKey(keyText, key);
    return mt::Hex(key, sizeof key);
}

std::string OpensslCtr(const char* keyText) {
    return "openssl enc -aes-128-ctr -K " + KeyHex(keyText) + " -iv " +
           mt::Hex(media_key::kInitialCounter, sizeof media_key::kInitialCounter);
}

struct Pattern {
    const char* label;
    size_t length;
    std::vector<size_t> writes;
};

const Pattern kPatterns[] = {
    {"empty", 0, {8192}},
    {"one_20000_write", 20000, {20000}},
    {"odd_writes", 100003, {1, 7, 8191, 8192, 8193, 30000}},
    {"multiple_of_8192", 3 * 8192, {8192}},
    {"large_writes", 1500000, {1 << 20}},
};

void PrintTo(const Chain& c, std::ostream* os) { *os << c.label; }
void PrintTo(const Pattern& p, std::ostream* os) { *os << p.label; }

class CryptoMediaRoundTrip : public ::testing::TestWithParam<std::tuple<Chain, Pattern>> {};

TEST_P(CryptoMediaRoundTrip, ReadGivesBackWhatWriteStored) {
    const Chain& c = std::get<0>(GetParam());
    const Pattern& p = std::get<1>(GetParam());
    kestest::TempDir dir;
    const std::string path = dir / "m.bak";
    const std::string data = mt::PageData(p.length, 7);
    WriteMedia(path, c, data, p.writes);
    for (int32_t readSize : {1, 4097, 8192, 65536, 1 << 21}) {
        if (readSize == 1 && data.size() > 30000) continue;
        EXPECT_TRUE(SameBytes(data, ReadMedia(path, c, readSize))) << "read size " << readSize;
    }
    // Encryption alone changes no length.
    if (!c.compress) {
        EXPECT_EQ(data.size(), kestest::readFile(path).size());
    }
}

INSTANTIATE_TEST_SUITE_P(Chains, CryptoMediaRoundTrip,
                         ::testing::Combine(::testing::ValuesIn(kChains), ::testing::ValuesIn(kPatterns)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).label) + "_" + std::get<1>(info.param).label;
                         });

class CryptoMediaTest : public ::testing::Test {
protected:
    kestest::TempDir dir;
};

TEST_F(CryptoMediaTest, StoredFormIsReadByStandardTools) {
    const std::string raw = mt::PageData(300000, 3);
    kestest::writeFile(dir / "raw", raw);
    const std::string rawPath = "'" + dir / "raw" + "'";
    struct Case {
        Chain chain;
        std::string decode;  // shell command turning the media file (stdin) into the raw stream
    } cases[] = {
        {{"gzip", true, true, ""}, "gunzip -c"},
        {{"gzip", true, true, ""}, "zcat"},
        {{"aes", false, true, "pass phrase"}, OpensslCtr("pass phrase") + " -d"},
        {{"aes_long", false, true, "0123456789abcdefIGNORED"}, OpensslCtr("0123456789abcdef") + " -d"},
        {{"gzip_aes", true, true, "pass phrase"}, OpensslCtr("pass phrase") + " -d | gunzip -c"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.decode);
        const std::string media = dir / "m.bak";
        WriteMedia(media, k.chain, raw, {65536});
        const kestest::RunResult sh = kestest::shell("(" + k.decode + ") < '" + media + "' > '" + dir / "out" + "'");
        ASSERT_EQ(0, sh.status) << sh.err;
        EXPECT_TRUE(SameBytes(raw, kestest::readFile(dir / "out")));
    }
    // The other way round: what openssl makes of a gzip stream is read back by the media.
    const kestest::RunResult sh =
        kestest::shell("gzip -4 -c < " + rawPath + " | " + OpensslCtr("pass phrase") + " > '" + dir / "ext.bak" + "'");
    ASSERT_EQ(0, sh.status) << sh.err;
    EXPECT_TRUE(SameBytes(raw, ReadMedia(dir / "ext.bak", {"gzip_aes", true, true, "pass phrase"}, 65536)));
}

TEST_F(CryptoMediaTest, EncryptedFileEqualsOpensslOutput) {
    // Long enough for the counter to carry out of its low half.
    const std::string raw = mt::PageData(70000, 11);
    kestest::writeFile(dir / "raw", raw);
    for (const char* key : {"pass phrase", "x", "exactly16bytes!!"}) {
        SCOPED_TRACE(key);
        WriteMedia(dir / "m.bak", {"aes", false, true, key}, raw, {20000});
        const kestest::RunResult sh =
            kestest::shell(OpensslCtr(key) + " < '" + dir / "raw" + "' > '" + dir / "ossl" + "'");
        ASSERT_EQ(0, sh.status) << sh.err;
        EXPECT_TRUE(SameBytes(kestest::readFile(dir / "ossl"), kestest::readFile(dir / "m.bak")));
    }
}

TEST_F(CryptoMediaTest, OnlyTheFirstSixteenKeyBytesCount) {
    const std::string raw = mt::PageData(20000, 5);
    WriteMedia(dir / "a", {"", true, true, "0123456789abcdef-one"}, raw, {8192});
    WriteMedia(dir / "b", {"", true, true, "0123456789abcdef-two"}, raw, {8192});
    WriteMedia(dir / "c", {"", true, true, "0123456789abcdeX-one"}, raw, {8192});
    EXPECT_TRUE(SameBytes(kestest::readFile(dir / "a"), kestest::readFile(dir / "b")));
    EXPECT_FALSE(SameBytes(kestest::readFile(dir / "a"), kestest::readFile(dir / "c")));
    EXPECT_EQ("30313233343536373839616263646566", KeyHex("0123456789abcdef-one"));
    // A short text is completed with the fill bytes.
    std::string expected =
        mt::Hex(reinterpret_cast<const uint8_t*>("abc"), 3) + mt::Hex(media_key::kKeyFill + 3, media_key::kKeySize - 3);
    EXPECT_EQ(expected, KeyHex("abc"));
}

TEST_F(CryptoMediaTest, WrongKeyReadsWrongBytesWithoutCompression) {
    const std::string raw = mt::PageData(20000, 5);
    WriteMedia(dir / "m", {"", false, true, "right"}, raw, {8192});
    std::string got = ReadMedia(dir / "m", {"", false, true, "wrong"}, 8192);
    EXPECT_EQ(raw.size(), got.size());
    EXPECT_FALSE(SameBytes(raw, got));
}

TEST_F(CryptoMediaTest, GzipHeaderCarriesLevelInExtraFlags) {
    const struct {
        int level;
        uint8_t extraFlags;
    } cases[] = {{1, 0x04}, {9, 0x02}, {0, 0x00}, {5, 0x00}, {6, 0x00}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.level);
        WriteMedia(dir / "m", {"", true, true, ""}, "some text some text", {100}, k.level);
        const std::string file = kestest::readFile(dir / "m");
        ASSERT_GE(file.size(), 18u);
        const uint8_t header[10] = {0x1f, 0x8b, 0x08, 0, 0, 0, 0, 0, k.extraFlags, 0};
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(header), 10), file.substr(0, 10));
        // The trailer: CRC-32 and length of the raw stream, least significant byte first.
        uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("some text some text"), 19));
        const uint8_t trailer[8] = {
            uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24), 19, 0, 0, 0};
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(trailer), 8), file.substr(file.size() - 8));
    }
}

TEST_F(CryptoMediaTest, LevelOutsideZeroToNineFailsAtConstructionLeavingEmptyFile) {
    for (int level : {10, -1}) {
        for (bool compress : {true, false}) {
            for (bool useGzip : {true, false}) {
                SCOPED_TRACE(testing::Message() << level << compress << useGzip);
                const std::string path = dir / "m";
                kestest::writeFile(path, "old content");
                EXPECT_THROW(CryptoMedia(path.c_str(), false, compress, useGzip, level, "key"),
                             CryptoPP::InvalidArgument);
                EXPECT_TRUE(kestest::fileExists(path));
                EXPECT_EQ("", kestest::readFile(path));
            }
        }
    }
}

TEST_F(CryptoMediaTest, CallsInTheWrongDirectionThrowTheirTexts) {
    const std::string path = dir / "m";
    char buf[16] = {};
    {
        CryptoMedia writer(path.c_str(), false, true, true, 6, "k");
        try {
            writer.Read(buf, 16);
            FAIL() << "no throw";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ("Media is not writable in Read Mode.", e.what());
        }
        // The media is left as it was.
        EXPECT_EQ(3, writer.Write("abc", 3));
        writer.Close();
    }
    CryptoMedia reader(path.c_str(), true, true, true, 6, "k");
    try {
        reader.Write(buf, 16);
        FAIL() << "no throw";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("Media is not open in write mode.", e.what());
    }
    EXPECT_EQ(3, reader.Read(buf, 16));
    EXPECT_EQ("abc", std::string(buf, 3));
}

TEST_F(CryptoMediaTest, FilesThatCannotBeOpenedThrowFromTheConstructor) {
    EXPECT_THROW(CryptoMedia((dir / "missing").c_str(), true, false, true, 6, ""), CryptoPP::FileStore::OpenErr);
    EXPECT_THROW(CryptoMedia((dir / "no/such/dir").c_str(), false, true, true, 6, "k"), CryptoPP::FileSink::OpenErr);
}

TEST_F(CryptoMediaTest, WriteErrorsOfTheFileReachTheCaller) {
    if (!kestest::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::string data = mt::PageData(3 << 20, 4);
    {
        CryptoMedia media("/dev/full", false, false, true, 6, "k");
        EXPECT_EQ(0, media.Write(data.data(), 0));
        EXPECT_EQ(100, media.Write(data.data(), 100));
        EXPECT_THROW(media.Flush(true), CryptoPP::FileSink::WriteErr);
    }
    {
        CryptoMedia media("/dev/full", false, false, true, 6, "");
        EXPECT_THROW(media.Write(data.data(), static_cast<int32_t>(data.size())), CryptoPP::FileSink::WriteErr);
    }
    CryptoMedia media("/dev/full", false, true, true, 6, "");
    media.Write(data.data(), 1000);
    EXPECT_THROW(media.Close(), CryptoPP::FileSink::WriteErr);
}

TEST_F(CryptoMediaTest, DamagedCompressedFileFailsWithTheLibrarysException) {
    const std::string raw = mt::PageData(50000, 9);
    const Chain gz = {"gzip", true, true, ""};
    WriteMedia(dir / "good", gz, raw, {8192});
    const std::string good = kestest::readFile(dir / "good");
    struct Damage {
        const char* label;
        std::string file;
    } damages[] = {
        {"bad magic", "\x1f\x8c" + good.substr(2)},
        {"bad crc", good.substr(0, good.size() - 8) + std::string(1, char(good[good.size() - 8] ^ 1)) +
                        good.substr(good.size() - 7)},
        {"bad length", good.substr(0, good.size() - 4) + std::string(1, char(good[good.size() - 4] ^ 1)) +
                           good.substr(good.size() - 3)},
        {"cut short", good.substr(0, good.size() / 2)},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.label);
        kestest::writeFile(dir / "bad", d.file);
        EXPECT_THROW(
            {
                CryptoMedia media((dir / "bad").c_str(), true, true, true, 6, "");
                std::vector<char> buf(8192);
                while (media.Read(buf.data(), 8192) == 8192) {
                }
                media.Close();
            },
            CryptoPP::Exception);
    }
}

TEST_F(CryptoMediaTest, HardFlushMakesEverythingWrittenSoFarDecodable) {
    const std::string raw = mt::PageData(40000, 13);
    const std::string path = dir / "m";
    CryptoMedia media(path.c_str(), false, true, true, 6, "");
    media.Write(raw.data(), 30000);
    media.Flush(true);
    // The file now ends in an empty stored block, and inflating it yields all 30000 bytes.
    const std::string partial = kestest::readFile(path);
    ASSERT_GE(partial.size(), 4u);
    EXPECT_EQ(std::string("\x00\x00\xff\xff", 4), partial.substr(partial.size() - 4));
    z_stream z;
    std::memset(&z, 0, sizeof z);
    ASSERT_EQ(Z_OK, inflateInit2(&z, 31));
    std::string out(40000, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(partial.data()));
    z.avail_in = static_cast<uInt>(partial.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&z, Z_SYNC_FLUSH);
    EXPECT_TRUE(rc == Z_OK || rc == Z_BUF_ERROR) << rc;
    EXPECT_EQ(30000u, z.total_out);
    EXPECT_TRUE(SameBytes(raw.substr(0, 30000), out.substr(0, 30000)));
    inflateEnd(&z);
    media.Write(raw.data() + 30000, 10000);
    media.Close();
    EXPECT_TRUE(SameBytes(raw, ReadMedia(path, {"gzip", true, true, ""}, 8192)));
}

// Closing a reading media with compression checks the whole gzip member, also the part its reader
// left unread: a good file closes, a damaged trailer or a cut file throws.
TEST_F(CryptoMediaTest, CloseChecksTheWholeMember) {
    const std::string raw = mt::PageData(200000, 17);
    WriteMedia(dir / "m", {"", true, true, ""}, raw, {8192});
    const std::string good = kestest::readFile(dir / "m");
    std::string crc = good;
    crc[crc.size() - 8] ^= 0x01;
    const struct {
        const char* what;
        std::string stored;
        bool throws;
    } cases[] = {
        {"good", good, false},
        {"a damaged CRC", crc, true},
        {"the last bytes cut off", good.substr(0, good.size() - 4), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kestest::writeFile(dir / "m", c.stored);
        for (int32_t first : {100, 300000}) {
            CryptoMedia media((dir / "m").c_str(), true, true, true, 6, "");
            std::vector<char> buf(static_cast<size_t>(first));
            try {
                media.Read(buf.data(), first);
                media.Close();
                EXPECT_FALSE(c.throws) << "read " << first;
            } catch (const CryptoPP::Exception&) {
                EXPECT_TRUE(c.throws) << "read " << first;
            }
        }
    }
}

// A writing media whose file cannot take its last bytes fails its Close, with the system's reason.
TEST_F(CryptoMediaTest, FullDiskAtTheEndFailsTheClose) {
    for (const Chain& c : kChains) {
        SCOPED_TRACE(c.label);
        CryptoMedia media("/dev/full", false, c.compress, c.useGzip, 6, c.key);
        EXPECT_EQ(1000, media.Write(mt::PageData(1000, 3).data(), 1000));
        EXPECT_THROW(media.Close(), CryptoPP::FileSink::WriteErr);
        EXPECT_EQ(ENOSPC, media.OutputError());
    }
}

// A writing media named "tcp://..." sends to the fixed address 127.0.0.1:8080.
TEST_F(CryptoMediaTest, TcpNameSendsTheStoredFormToLocalPort8080) {
    const int fd = kestest::bindTcp(8080, false);
    if (fd < 0) GTEST_SKIP() << "port 8080 is in use";
    const std::string raw = mt::PageData(100000, 21);
    // Bound but not listening: the connect is refused and the first data to reach the sink fails.
    {
        CryptoMedia media("tcp://refused", false, false, true, 6, "k");
        EXPECT_THROW(media.Write(raw.data(), 100), CryptoPP::FileSink::WriteErr);
    }
    ASSERT_EQ(0, ::listen(fd, 1));
    for (const char* name : {"tcp://host:1234", "TCP://ignored"}) {
        SCOPED_TRACE(name);
        std::string received;
        std::thread peer([&] {
            int c = ::accept(fd, nullptr, nullptr);
            char buf[65536];
            ssize_t r;
            while ((r = ::recv(c, buf, sizeof buf, 0)) > 0) received.append(buf, static_cast<size_t>(r));
            ::close(c);
        });
        WriteMedia(dir / "m", {"file", true, true, "k"}, raw, {30000});
        {
            CryptoMedia media(name, false, true, true, 6, "k");
            EXPECT_EQ(30000, media.Write(raw.data(), 30000));
            EXPECT_EQ(70000, media.Write(raw.data() + 30000, 70000));
            media.Close();
        }
        peer.join();
        EXPECT_TRUE(SameBytes(kestest::readFile(dir / "m"), received));
        EXPECT_FALSE(kestest::fileExists(name));
    }
    ::close(fd);
}

}  // namespace
