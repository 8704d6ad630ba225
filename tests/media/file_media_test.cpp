#include <gtest/gtest.h>

#include <errno.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "media/FileMedia.h"
#include "tests/media/media_test_util.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestProcess.h"

namespace {

class FileMediaTest : public ::testing::Test {
protected:
    kestest::TempDir dir;
    const std::string path = dir / "m.bak";

    std::string ReadAll(int32_t compress, uint32_t readSize, int32_t closeResult = 0) {
        FileMedia media(path.c_str(), 0, compress, 1, 0);
        EXPECT_NE(nullptr, media.file);
        std::string out;
        std::vector<char> buf(readSize);
        for (;;) {
            int32_t got = media.Read(buf.data(), readSize);
            out.append(buf.data(), static_cast<size_t>(got));
            if (got < static_cast<int32_t>(readSize)) break;
        }
        EXPECT_EQ(0, media.Read(buf.data(), readSize));
        EXPECT_EQ(closeResult, media.Close());
        return out;
    }
};

TEST(FileMediaModeText, FollowsTheSettings) {
    const struct {
        int32_t mode, compress, level, strategy;
        const char* text;
    } cases[] = {
        {0, 0, 1, 0, "rb"},   {1, 0, 1, 0, "wb"},   {2, 0, 1, 0, "ab"},   {7, 0, 1, 0, "rb"},  {-1, 0, 1, 0, "rb"},
        {1, 0, 0, 0, "wbT"},  {1, 1, 0, 2, "wbT"},  {0, 0, 0, 0, "rb"},   {0, 1, 6, 0, "rb6"}, {1, 1, 9, 1, "wb9f"},
        {1, 1, 1, 2, "wb1h"}, {2, 1, 5, 3, "ab5R"}, {1, 1, 12, 4, "wbF"}, {1, 1, 3, 5, "wb3"}, {1, 0, 9, 2, "wb"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, FileMedia::ModeText(c.mode, c.compress, c.level, c.strategy))
            << c.mode << " " << c.compress << " " << c.level << " " << c.strategy;
}

TEST_F(FileMediaTest, OpenModes) {
    kestest::writeFile(path, "old");
    {
        FileMedia media(path.c_str(), 2, 0, 1, 0);
        ASSERT_NE(nullptr, media.file);
        EXPECT_EQ(4, media.Write("+new", 4));
        EXPECT_EQ(0, media.Close());
    }
    EXPECT_EQ("old+new", kestest::readFile(path));
    {
        // Any mode other than 1 and 2 reads.
        FileMedia media(path.c_str(), 5, 0, 1, 0);
        ASSERT_NE(nullptr, media.file);
        char buf[16];
        EXPECT_EQ(0, media.Write("x", 1));
        EXPECT_EQ(7, media.Read(buf, 16));
        EXPECT_EQ(0, media.Close());
    }
    {
        FileMedia media(path.c_str(), 1, 0, 1, 0);
        ASSERT_NE(nullptr, media.file);
        EXPECT_EQ(0, media.Write("", 0));
        EXPECT_EQ(0, media.Flush());
        EXPECT_EQ("", kestest::readFile(path));
        EXPECT_EQ(0, media.Close());
    }
    for (int32_t compress : {0, 1}) {
        FileMedia missing((dir / "missing").c_str(), 0, compress, 1, 0);
        EXPECT_EQ(nullptr, missing.file);
        FileMedia noFolder((dir / "no/folder").c_str(), 1, compress, 6, 0);
        EXPECT_EQ(nullptr, noFolder.file);
    }
}

TEST_F(FileMediaTest, PlainFileHoldsTheRawStreamAndReadsStopAtItsEnd) {
    const std::string data = mt::PageData(100000, 1);
    {
        FileMedia media(path.c_str(), 1, 0, 1, 0);
        EXPECT_EQ(60000, media.Write(data.data(), 60000));
        EXPECT_EQ(0, media.Flush());
        EXPECT_EQ(60000u, kestest::readFile(path).size());
        EXPECT_EQ(40000, media.Write(data.data() + 60000, 40000));
        EXPECT_EQ(0, media.Close());
    }
    EXPECT_TRUE(kestest::readFile(path) == data);
    FileMedia media(path.c_str(), 0, 0, 1, 0);
    std::vector<char> buf(65536);
    EXPECT_EQ(65536, media.Read(buf.data(), 65536));
    EXPECT_EQ(100000 - 65536, media.Read(buf.data(), 65536));
    EXPECT_EQ(0, media.Read(buf.data(), 65536));
    EXPECT_EQ(0, media.Close());
}

TEST_F(FileMediaTest, CompressedFileIsGzipThatStandardToolsRead) {
    const std::string data = mt::PageData(300000, 2);
    const struct {
        int32_t level, strategy;
    } settings[] = {{1, 0}, {6, 0}, {9, 0}, {5, 1}, {3, 2}, {4, 3}, {2, 4}, {12, 0}};
    for (const auto& s : settings) {
        SCOPED_TRACE(testing::Message() << s.level << "/" << s.strategy);
        {
            FileMedia media(path.c_str(), 1, 1, s.level, s.strategy);
            ASSERT_NE(nullptr, media.file);
            for (size_t done = 0; done < data.size(); done += 65536)
                ASSERT_EQ(static_cast<int32_t>(std::min<size_t>(65536, data.size() - done)),
                          media.Write(data.data() + done,
                                      static_cast<uint32_t>(std::min<size_t>(65536, data.size() - done))));
            EXPECT_EQ(0, media.Close());
        }
        const std::string stored = kestest::readFile(path);
        ASSERT_GE(stored.size(), 18u);
        EXPECT_EQ("\x1f\x8b", stored.substr(0, 2));
        EXPECT_LT(stored.size(), data.size());
        const kestest::RunResult sh = kestest::shell("zcat < '" + path + "' > '" + dir / "out" + "'");
        ASSERT_EQ(0, sh.status) << sh.err;
        EXPECT_TRUE(kestest::readFile(dir / "out") == data);
        EXPECT_TRUE(ReadAll(1, 8192) == data);
        EXPECT_TRUE(ReadAll(1, 777) == data);
    }
}

TEST_F(FileMediaTest, CompressedWriteAtLevelZeroStoresTheRawStream) {
    const std::string data = mt::PageData(50000, 3);
    {
        FileMedia media(path.c_str(), 1, 1, 0, 0);
        ASSERT_NE(nullptr, media.file);
        EXPECT_EQ(50000, media.Write(data.data(), 50000));
        EXPECT_EQ(0, media.Close());
    }
    EXPECT_TRUE(kestest::readFile(path) == data);
    EXPECT_TRUE(ReadAll(1, 8192) == data);
}

TEST_F(FileMediaTest, CompressedFlushIsASyncPointAndAppendAddsAMember) {
    const std::string data = mt::PageData(80000, 4);
    {
        FileMedia media(path.c_str(), 1, 1, 6, 0);
        EXPECT_EQ(30000, media.Write(data.data(), 30000));
        EXPECT_EQ(0, media.Flush());
        // Everything written so far can be read back from the file while the media is open.
        FileMedia reader(path.c_str(), 0, 1, 6, 0);
        std::vector<char> buf(40000);
        EXPECT_EQ(30000, reader.Read(buf.data(), 40000));
        EXPECT_TRUE(std::string(buf.data(), 30000) == data.substr(0, 30000));
        reader.Close();
        EXPECT_EQ(10000, media.Write(data.data() + 30000, 10000));
        EXPECT_EQ(0, media.Close());
    }
    {
        FileMedia media(path.c_str(), 2, 1, 6, 0);
        EXPECT_EQ(40000, media.Write(data.data() + 40000, 40000));
        EXPECT_EQ(0, media.Close());
    }
    EXPECT_TRUE(ReadAll(1, 65536) == data);
}

TEST_F(FileMediaTest, WriteErrorsShowInFlushAndClose) {
    if (!kestest::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    for (int32_t compress : {0, 1}) {
        SCOPED_TRACE(compress);
        FileMedia flushed("/dev/full", 1, compress, 6, 0);
        ASSERT_NE(nullptr, flushed.file);
        flushed.Write("some bytes", 10);
        errno = 0;
        EXPECT_EQ(EOF, flushed.Flush());
        EXPECT_EQ(ENOSPC, errno);
        EXPECT_EQ(EOF, flushed.Close());  // what the failed flush lost is not forgotten
        FileMedia closed("/dev/full", 1, compress, 6, 0);
        closed.Write("some bytes", 10);
        EXPECT_EQ(EOF, closed.Close());
    }
}

size_t OpenDescriptors() {
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd"); it != std::filesystem::directory_iterator();
         ++it)
        ++n;
    return n;
}

// A media that a path drops without its Close gives back its file (and the gzip stream's own
// descriptor); one that was closed is not closed twice.
TEST_F(FileMediaTest, DroppedMediaReleasesItsFiles) {
    kestest::writeFile(path, std::string());
    const size_t before = OpenDescriptors();
    for (int32_t mode : {0, 1}) {
        for (int32_t compress : {0, 1}) {
            for (bool close : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "mode " << mode << " compress " << compress << " close " << close);
                {
                    FileMedia media(path.c_str(), mode, compress, 6, 0);
                    ASSERT_NE(nullptr, media.file);
                    EXPECT_LT(before, OpenDescriptors());
                    if (mode == 1) {
                        EXPECT_EQ(5, media.Write("bytes", 5));
                    }
                    if (close) {
                        EXPECT_EQ(0, media.Close());
                    }
                }
                EXPECT_EQ(before, OpenDescriptors());
            }
        }
    }
}

// A damaged compressed file fails at the latest when it is closed, also when the damage is in
// the trailer that only the end checks read, or when the reader stopped before the end.
TEST_F(FileMediaTest, DamagedCompressedFileFailsItsClose) {
    const std::string data = mt::PageData(200000, 5);
    {
        FileMedia media(path.c_str(), 1, 1, 6, 0);
        media.Write(data.data(), static_cast<uint32_t>(data.size()));
        ASSERT_EQ(0, media.Close());
    }
    const std::string good = kestest::readFile(path);
    std::string middle = good, crc = good;
    middle[middle.size() / 2] ^= 0x55;
    crc[crc.size() - 8] ^= 0x01;
    const struct {
        const char* what;
        std::string stored;
    } cases[] = {
        {"a byte in the middle", middle},
        {"the CRC in the trailer", crc},
        {"the last bytes cut off", good.substr(0, good.size() - 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kestest::writeFile(path, c.stored);
        ReadAll(1, 8192, EOF);
    }
    // A reader that stops early: the rest is checked at the close, and a good file passes.
    const std::string* const early[] = {&good, &crc};
    for (const std::string* stored : early) {
        kestest::writeFile(path, *stored);
        FileMedia media(path.c_str(), 0, 1, 1, 0);
        char buf[1000];
        const int32_t got = media.Read(buf, sizeof buf);  // a small file's damage may show here already
        if (stored == &good) {
            EXPECT_EQ(1000, got);
        }
        EXPECT_EQ(stored == &good ? 0 : EOF, media.Close());
    }
}

}  // namespace
