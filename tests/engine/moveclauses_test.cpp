#include "engine/moveclauses.h"
#include "support/RC4.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

using kestest::TempDir;

std::string Rc4(const std::string& in) {
    std::string out(in.size(), '\0');
    RC4Crypt(in.data(), static_cast<int32_t>(in.size()), &out[0], kOptionsKeyText);
    return out;
}

TEST(EngineOptionsFile, StoresTheCipherTextByteForByte) {
    TempDir dir;
    // Lists chosen so that the cipher text holds the bytes a text-mode file would mangle or stop at,
    // and a list that holds them itself.
    const std::string awkward("\0\r\n\x1a\r\r\n\0\x1a", 9);
    const std::string lists[] = {
        Rc4(awkward + "tail"),
        std::string(", MOVE ''Sales'' TO ''%DATA%Sales.mdf'', MOVE ''Sales_log'' TO ''%LOG%Sales_log.ldf''"),
        awkward,
        std::string(4000, 'x'),
    };
    for (const std::string& list : lists) {
        const std::string path = dir / "a.bak_opts";
        ASSERT_TRUE(WriteOptionsFile(path, list));
        const std::string stored = kestest::readFile(path);
        EXPECT_EQ(list.size(), stored.size());
        EXPECT_EQ(Rc4(list), stored);
        std::string back;
        ASSERT_TRUE(ReadOptionsFile(path, &back));
        EXPECT_EQ(list, back);
    }
    // The first list's cipher text is exactly the awkward bytes.
    ASSERT_TRUE(WriteOptionsFile(dir / "b_opts", lists[0]));
    EXPECT_EQ(0, kestest::readFile(dir / "b_opts").compare(0, awkward.size(), awkward));
}

TEST(EngineOptionsFile, EmptyListWritesNothingAndAbsentFileReadsEmpty) {
    TempDir dir;
    ASSERT_TRUE(WriteOptionsFile(dir / "x_opts", ""));
    EXPECT_FALSE(kestest::fileExists(dir / "x_opts"));

    ASSERT_TRUE(WriteOptionsFile(dir / "y_opts", "old"));
    ASSERT_TRUE(WriteOptionsFile(dir / "y_opts", ""));
    std::string back;
    ASSERT_TRUE(ReadOptionsFile(dir / "y_opts", &back));
    EXPECT_EQ("old", back);

    back = "stale";
    ASSERT_TRUE(ReadOptionsFile(dir / "missing_opts", &back));
    EXPECT_EQ("", back);
}

TEST(EngineOptionsFile, RefusesWhatNoBackupWrites) {
    TempDir dir;
    struct {
        size_t size;
        bool accepted;
    } sizes[] = {{1 << 20, true}, {kOptionsFileMax, true}, {kOptionsFileMax + 1, false}};
    for (const auto& c : sizes) {
        const std::string path = dir / "big_opts";
        kestest::writeFile(path, std::string(c.size, 'q'));
        std::string back = "unchanged";
        EXPECT_EQ(c.accepted, ReadOptionsFile(path, &back)) << c.size;
        if (c.accepted)
            EXPECT_EQ(Rc4(std::string(c.size, 'q')), back);
        else
            EXPECT_EQ("unchanged", back);
    }
    // A folder in the file's place cannot be read.
    ASSERT_EQ(0, mkdir((dir / "d_opts").c_str(), 0700));
    std::string back;
    EXPECT_FALSE(ReadOptionsFile(dir / "d_opts", &back));
}

TEST(EngineOptionsFile, WrittenOnlyAfterAFullBackupIntoFiles) {
    struct {
        char action, type;
        const char* host;
        const char* first;
        bool want;
    } cases[] = {
        {'B', 'F', "", "/bk/a.bak", true},
        {'B', 'D', "", "/bk/a.bak", false},
        {'B', 'L', "", "/bk/a.trn", false},
        {'B', 'F', "elsewhere", "/bk/a.bak", false},
        {'B', 'F', "", "tcp://10.1.1.9:7000", false},
        {'B', 'F', "", "TCP://10.1.1.9:7000", false},
        {'R', 'F', "", "/bk/a.bak", false},
        {'V', 'F', "", "/bk/a.bak", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.want, OptionsFileWanted(c.action, c.type, c.host, c.first))
            << c.action << c.type << c.host << c.first;
}

TEST(EngineOptionsFile, Names) {
    EXPECT_EQ("/bk/Sales_1.bak_opts", OptionsFileName("/bk/Sales_1.bak"));
    EXPECT_EQ("tcp://h:7000_opts", OptionsFileName("tcp://h:7000"));
}

}  // namespace
