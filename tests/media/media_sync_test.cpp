// A media's flush puts what was written on the disk. Run with the file-system fault shim preloaded,
// failing every fsync of a file whose name holds "unsyncable" with EIO (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "media/CryptoMedia.h"
#include "media/FileMedia.h"
#include "tests/media/media_test_util.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

namespace {

class MediaSync : public ::testing::Test {
protected:
    void SetUp() override {
        if (!getenv("KES_IOFAULT")) GTEST_SKIP() << "needs the fault shim preloaded";
    }
    kestest::TempDir dir;
};

// What a flush of a writing media gives: true when it succeeded.
struct Kind {
    const char* what;
    std::function<bool(const std::string& path, bool write)> flushOk;
};

bool PlainFlush(const std::string& path, bool write, int32_t compress) {
    FileMedia m(path.c_str(), write ? 1 : 0, compress, compress ? 6 : 1, 0);
    EXPECT_NE(nullptr, m.file) << path;
    if (!m.file) return false;
    if (write) {
        EXPECT_EQ(10, m.Write("some bytes", 10));
    }
    errno = 0;
    const bool ok = m.Flush() == 0;
    if (!ok) {
        EXPECT_EQ(EIO, errno);
    }
    m.Close();
    return ok;
}

bool ChainFlush(const std::string& path, bool write, bool compress, const char* key) {
    CryptoMedia m(path.c_str(), !write, compress, true, 6, key);
    if (write) {
        EXPECT_EQ(10, m.Write("some bytes", 10));
    }
    try {
        m.Flush(true);
    } catch (const CryptoPP::FileSink::WriteErr&) {
        EXPECT_EQ(EIO, m.OutputError());
        return false;
    }
    return true;
}

const Kind kKinds[] = {
    {"plain", [](const std::string& p, bool w) { return PlainFlush(p, w, 0); }},
    {"zlib", [](const std::string& p, bool w) { return PlainFlush(p, w, 1); }},
    {"gzip", [](const std::string& p, bool w) { return ChainFlush(p, w, true, ""); }},
    {"encrypted", [](const std::string& p, bool w) { return ChainFlush(p, w, false, "k3y"); }},
    {"gzip + encrypted", [](const std::string& p, bool w) { return ChainFlush(p, w, true, "k3y"); }},
};

// A writing media's flush fails when its file cannot be synced, and a device or a pipe, which
// cannot be synced, is no failure; a reading media's flush does not sync.
TEST_F(MediaSync, FlushSyncsTheWrittenFile) {
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // so that opening it to write does not wait
    ASSERT_GE(reader, 0);
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.what);
        EXPECT_FALSE(k.flushOk(dir / "unsyncable.bak", true));
        EXPECT_TRUE(k.flushOk(dir / "synced.bak", true));
        EXPECT_TRUE(k.flushOk("/dev/null", true));
        EXPECT_TRUE(k.flushOk(fifo, true));
        char drain[4096];
        while (read(reader, drain, sizeof drain) > 0) {
        }
    }
    close(reader);
    // A reading FileMedia holds its file through the same stream a writing one syncs.
    const std::string stored = dir / "unsyncable-in.bak";
    kestest::writeFile(stored, "some bytes");
    for (int32_t compress : {0, 1}) {
        SCOPED_TRACE(compress);
        EXPECT_TRUE(PlainFlush(stored, false, compress));
    }
}

}  // namespace
