#include "support/SysUtils.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

using kestest::TempDir;

namespace {

TEST(SupportFiles, WriteThenReadGivesTheSameBytes) {
    TempDir dir;
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    const std::string cases[] = {
        std::string("\0abc\0", 5),  // zero bytes, the first one included
        "line 1\r\nline 2\r\n",     // CR LF kept as it is
        "\x1a"
        "after the old end mark\x1a",
        "\n\r\n\r",
        all,
    };
    for (const std::string& text : cases) {
        std::string path = dir / "opts";
        ASSERT_TRUE(WriteTextFile(path, text));
        std::string back = "previous";
        ASSERT_TRUE(ReadFileToString(path, back));
        EXPECT_EQ(back, text);
    }
}

TEST(SupportFiles, EmptyTextLeavesTheFileAlone) {
    TempDir dir;
    std::string path = dir / "opts";
    EXPECT_TRUE(WriteTextFile(path, ""));
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "an empty text created a file";
    kestest::writeFile(path, "kept");
    EXPECT_TRUE(WriteTextFile(path, ""));
    EXPECT_EQ(kestest::readFile(path), "kept");
    EXPECT_TRUE(WriteTextFile(path, "new"));  // a shorter text replaces the file whole
    EXPECT_EQ(kestest::readFile(path), "new");
    EXPECT_FALSE(WriteTextFile(dir / "no/such/folder", "x"));
    // A full disk shows only when the buffered bytes are written out, at the close.
    errno = 0;
    EXPECT_FALSE(WriteTextFile("/dev/full", "x"));
    EXPECT_EQ(errno, ENOSPC);
}

TEST(SupportFiles, ReadAbsentEmptyAndUnreadable) {
    TempDir dir;
    std::string out = "junk";
    EXPECT_TRUE(ReadFileToString(dir / "absent", out));
    EXPECT_EQ(out, "");
    kestest::writeFile(dir / "empty", "");
    out = "junk";
    EXPECT_TRUE(ReadFileToString(dir / "empty", out));
    EXPECT_EQ(out, "");
    out = "kept";
    EXPECT_FALSE(ReadFileToString(dir.path(), out));  // exists, but no file to read
    EXPECT_EQ(out, "kept");
}

TEST(SupportFiles, FileExistsAndSizes) {
    TempDir dir;
    std::string file = dir / "f";
    kestest::writeFile(file, "abc");
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(FileExists(dir.path()));
    EXPECT_FALSE(FileExists(dir / "missing"));

    std::string big = dir / "big";
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, (5LL << 30) + 7), 0);  // sparse, past 32 bits
    close(fd);
    EXPECT_EQ(GetFileSize64(big), (5LL << 30) + 7);
    EXPECT_EQ(GetFileSize64(dir / "missing"), -1);

    uint32_t size = 0, c = 0, a = 0, m = 0;
    EXPECT_TRUE(getfileinfo(file.c_str(), nullptr, &size, &c, &a, &m));
    EXPECT_EQ(size, 3u);
    EXPECT_NE(m, 0u);
    EXPECT_FALSE(getfileinfo((dir / "missing").c_str(), nullptr, &size, &c, &a, &m));
}

TEST(SupportSystem, ElevationAndVersion) {
    EXPECT_EQ(IsElevated(), geteuid() == 0);
    EXPECT_TRUE(IsVistaOrGreater());
}

TEST(SupportStrings, SplitString) {
    struct Case {
        const char* text;
        const char* delims;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"a,,b", ",", {"a", "b"}},
        {",a,", ",", {"a"}},
        {"", ",", {}},
        {",,,", ",", {}},
        {"2@/backups", "@", {"2", "/backups"}},
        {"a.bak, b.bak;c", ",;", {"a.bak", " b.bak", "c"}},
        {"no delimiter", ",", {"no delimiter"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> out{"kept"};
        SplitString(c.text, c.delims, out);
        std::vector<std::string> expected{"kept"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(out, expected) << "[" << c.text << "]";
    }
    std::string text = "x,y";
    std::vector<std::string> out;
    SplitString(text.c_str(), ",", out);
    EXPECT_EQ(text, "x,y");  // the caller's text is not cut up
}

TEST(SupportStrings, RTrim) {
    const std::pair<std::string, std::string> cases[] = {
        {"name \t\r\n", "name"},        {"   ", ""},          {"", ""},
        {"in side  ", "in side"},       {"keep\v\f", "keep"}, {" lead", " lead"},
        {"caf\xc3\xa9", "caf\xc3\xa9"}, {"x\xa0", "x\xa0"},
    };
    for (const auto& c : cases) {
        std::string s = c.first;
        RTrim(s);
        EXPECT_EQ(s, c.second) << "[" << c.first << "]";
    }
}

}  // namespace
