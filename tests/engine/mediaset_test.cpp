// The media set of a backup: written under temporary names, put in place only by a commit, and
// never at the cost of the previous set or of another run's files.
#include "engine/mediaset.h"
#include "platform/win32/win32.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using kestest::TempDir;

// The folder's names, sorted.
std::vector<std::string> Names(const TempDir& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir / "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do names.push_back(fd.cFileName);
    while (FindNextFileA(h, &fd));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

// A previous set of two media files and its options file.
struct PreviousSet {
    explicit PreviousSet(const TempDir& dir) : a(dir / "s_1.bak"), b(dir / "s_2.bak"), opts(a + "_opts") {
        kestest::writeFile(a, "old a");
        kestest::writeFile(b, "old b");
        kestest::writeFile(opts, "old list");
    }
    std::string a, b, opts;
};

void WriteSet(const PreviousSet& s, bool withOptions) {
    kestest::writeFile(MediaWritePath(s.a), "new a");
    kestest::writeFile(MediaWritePath(s.b), "new b");
    if (withOptions) {
        kestest::writeFile(MediaWritePath(s.opts), "new list");
    }
}

TEST(EngineMediaSet, WrittenAsideAndPutInPlaceOnlyByTheCommit) {
    for (bool keepOptions : {true, false}) {
        SCOPED_TRACE(keepOptions);
        TempDir dir;
        PreviousSet s(dir);
        ASSERT_TRUE(ClaimMediaSet({s.a, s.b}, s.opts));
        EXPECT_EQ(MediaWritePath(s.a), s.a + kTempSuffix);
        EXPECT_EQ(MediaWritePath(dir / "other.bak"), dir / "other.bak");
        WriteSet(s, keepOptions);
        // Until the commit the previous set is whole.
        EXPECT_EQ(kestest::readFile(s.a), "old a");
        EXPECT_EQ(kestest::readFile(s.opts), "old list");
        ASSERT_TRUE(CommitMediaSet(keepOptions));
        EXPECT_EQ(kestest::readFile(s.a), "new a");
        EXPECT_EQ(kestest::readFile(s.b), "new b");
        if (keepOptions)
            EXPECT_EQ(kestest::readFile(s.opts), "new list");
        else
            EXPECT_FALSE(kestest::fileExists(s.opts)) << "an earlier list stayed beside the new set";
        const std::vector<std::string> want = keepOptions
                                                  ? std::vector<std::string>{"s_1.bak", "s_1.bak_opts", "s_2.bak"}
                                                  : std::vector<std::string>{"s_1.bak", "s_2.bak"};
        EXPECT_EQ(Names(dir), want);
        EXPECT_EQ(MediaWritePath(s.a), s.a);  // the set is over
    }
}

TEST(EngineMediaSet, DiscardLeavesTheFolderAsItWas) {
    TempDir dir;
    PreviousSet s(dir);
    const std::vector<std::string> before = Names(dir);
    ASSERT_TRUE(ClaimMediaSet({s.a, s.b, dir / "s_3.bak"}, s.opts));
    WriteSet(s, true);
    DiscardMediaSet();
    EXPECT_EQ(Names(dir), before);
    EXPECT_EQ(kestest::readFile(s.a), "old a");
    EXPECT_EQ(kestest::readFile(s.opts), "old list");
}

// Refusals touch nothing of another run and release what the refused claim took.
TEST(EngineMediaSet, RefusedClaimsTouchNothingOfAnotherRun) {
    TempDir dir;
    PreviousSet s(dir);
    ASSERT_TRUE(CreateDirectoryA((dir / "folder").c_str(), nullptr));
    ASSERT_EQ(symlink("s_1.bak", (dir / "link.bak").c_str()), 0);
    // Another run holds s_2.bak's temporary file and has written into it.
    const std::string othersTemp = s.b + kTempSuffix;
    HANDLE other = CreateFileA(othersTemp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    kestest::writeFile(othersTemp, "the other run's data");
    const struct {
        const char* what;
        std::vector<std::string> files;
    } cases[] = {
        {"a file another run writes", {s.a, s.b}},
        {"a file named twice", {s.a, dir / "x.bak", s.a}},
        {"a file named in two spellings", {s.a, dir / "./s_1.bak"}},
        {"a file named and linked to", {dir / "link.bak", s.a}},
        {"the options file named as a media file", {s.a, s.opts}},
        {"a folder that does not exist", {s.a, dir / "none/x.bak"}},
        {"a folder", {s.a, dir / "folder"}},
        {"a name too long for the file system", {s.a, dir / std::string(256, 'n')}},
        {"no name", {s.a, ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(ClaimMediaSet(c.files, s.opts));
        EXPECT_EQ(Names(dir), (std::vector<std::string>{"folder", "link.bak", "s_1.bak", "s_1.bak_opts", "s_2.bak",
                                                        "s_2.bak" + std::string(kTempSuffix)}));
        EXPECT_EQ(kestest::readFile(othersTemp), "the other run's data");
        EXPECT_EQ(kestest::readFile(s.a), "old a");
    }
    CloseHandle(other);
    // Once its holder is gone, a leftover is no reason to refuse: it is taken over and emptied.
    ASSERT_TRUE(ClaimMediaSet({s.a, s.b}, ""));
    EXPECT_EQ(kestest::readFile(othersTemp), "");
    DiscardMediaSet();
    EXPECT_FALSE(kestest::fileExists(othersTemp));
}

// A link is followed: the set replaces the file it leads to and the link stays. A device is
// written in place and left alone by the commit.
TEST(EngineMediaSet, LinksAndDevices) {
    TempDir dir;
    ASSERT_TRUE(CreateDirectoryA((dir / "real").c_str(), nullptr));
    kestest::writeFile(dir / "real/s.bak", "old");
    ASSERT_EQ(symlink("real/s.bak", (dir / "link.bak").c_str()), 0);
    ASSERT_TRUE(ClaimMediaSet({dir / "link.bak", "/dev/null"}, ""));
    EXPECT_EQ(MediaWritePath(dir / "link.bak"), dir / "real/s.bak" + kTempSuffix);
    EXPECT_EQ(MediaWritePath("/dev/null"), "/dev/null");
    kestest::writeFile(MediaWritePath(dir / "link.bak"), "new");
    ASSERT_TRUE(CommitMediaSet(false));
    char target[256] = {};
    EXPECT_GT(readlink((dir / "link.bak").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "real/s.bak");
    EXPECT_EQ(kestest::readFile(dir / "real/s.bak"), "new");
    EXPECT_TRUE(GetFileAttributesA("/dev/null") & FILE_ATTRIBUTE_DEVICE);
}

// A name at the file system's limit is valid: its temporary file and its record get shorter names
// of their own, the same for every run.
TEST(EngineMediaSet, SuffixedNamesStayWithinTheNameLimit) {
    const std::string longest(255, 'a');
    const std::string cutTail = std::string(254, 'a') + "b";  // differs only past any cut
    for (const char* folder : {"", "/some/folder/"}) {
        SCOPED_TRACE(folder);
        const std::string f = folder;
        EXPECT_EQ(SuffixedName(f + "s.bak", kTempSuffix, 255), f + "s.bak" + kTempSuffix);
        const std::string a = SuffixedName(f + longest, kTempSuffix, 255);
        EXPECT_EQ(a.size(), f.size() + 255);
        EXPECT_EQ(a.compare(0, f.size(), f), 0) << "not in the same folder: " << a;
        EXPECT_EQ(a.substr(a.size() - strlen(kTempSuffix)), kTempSuffix);
        EXPECT_EQ(a, SuffixedName(f + longest, kTempSuffix, 255)) << "not the same for every run";
        EXPECT_NE(a, SuffixedName(f + cutTail, kTempSuffix, 255)) << "two files share a temporary name";
        EXPECT_NE(a, SuffixedName(f + longest, kRecordSuffix, 255));
    }
    // Just over the limit with the suffix.
    const std::string name(255 - strlen(kTempSuffix) + 1, 'c');
    EXPECT_EQ(SuffixedName(name, kTempSuffix, 255).size(), 255u);
}

// A record is whole or it is none: a cut anywhere, or a changed byte, leaves no record.
TEST(EngineMediaSet, CommitRecordReadsBackWholeOrNotAtAll) {
    CommitRecord r;
    r.id = "20240102030405.006-0000abcd-1";
    r.renames = {{"/b k/a 1.bak.kestrune-tmp", "/b k/a 1.bak"}, {"/x/12:3\n4.bak.t", "/x/12:3\n4.bak"}};
    r.renames.emplace_back("/x/line\nbreak.t", std::string("/x/line\nbreak"));
    r.renames.emplace_back(std::string("/x/new\nline.t"), std::string("/x/new\nline"));
    r.removals = {"/b k/a 1.bak_opts"};
    const std::string text = FormatCommitRecord(r);
    CommitRecord back;
    ASSERT_TRUE(ParseCommitRecord(text, &back));
    EXPECT_EQ(back.id, r.id);
    EXPECT_EQ(back.renames, r.renames);
    EXPECT_EQ(back.removals, r.removals);
    for (size_t n = 0; n < text.size(); ++n) {
        CommitRecord none;
        EXPECT_FALSE(ParseCommitRecord(text.substr(0, n), &none)) << "a record cut at " << n << " counts";
        std::string changed = text;
        changed[n] ^= 0x01;
        EXPECT_FALSE(ParseCommitRecord(changed, &none)) << "a record changed at " << n << " counts";
    }
    EXPECT_FALSE(ParseCommitRecord(text + "x", &back));
    CommitRecord empty;
    EXPECT_FALSE(ParseCommitRecord(FormatCommitRecord(empty), &back)) << "a record that renames nothing";
}

// What an interrupted commit left: two final files, their temporary files and records. Only a
// whole commit of this set's own temporary files is completed; anything else loses its records
// and leaves the files to the next backup.
TEST(EngineMediaSet, RollForwardCompletesOnlyAWholeCommit) {
    enum Left { kWhole, kFirstRenamed, kOneRecord, kCutRecord, kForeignTemp };
    const struct {
        const char* what;
        Left left;
        bool completed;
    } cases[] = {
        {"every record, nothing renamed yet", kWhole, true},
        {"every record, the first file renamed", kFirstRenamed, true},
        {"the second record not yet written", kOneRecord, false},
        {"a record cut short", kCutRecord, false},
        {"a record naming another file's temporary file", kForeignTemp, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        PreviousSet s(dir);
        const std::string ta = s.a + kTempSuffix, tb = s.b + kTempSuffix, other = dir / "other.bak";
        kestest::writeFile(ta, "new a");
        kestest::writeFile(tb, "new b");
        kestest::writeFile(other, "not the set's");
        CommitRecord r;
        r.id = "1";
        r.renames = {{ta, s.a}, {c.left == kForeignTemp ? other : tb, s.b}};
        r.removals = {s.opts};
        const std::string text = FormatCommitRecord(r);
        kestest::writeFile(s.a + kRecordSuffix, c.left == kCutRecord ? text.substr(0, text.size() - 3) : text);
        if (c.left != kOneRecord) kestest::writeFile(s.b + kRecordSuffix, text);
        if (c.left == kFirstRenamed) {
            ASSERT_TRUE(MoveFileExA(ta.c_str(), s.a.c_str(), MOVEFILE_REPLACE_EXISTING));
        }

        // A run that names only the second file finds the whole set through the record beside it.
        const std::vector<std::string> named = c.left == kOneRecord   ? std::vector<std::string>{s.a}
                                               : c.left == kCutRecord ? std::vector<std::string>{s.a, s.b}
                                                                      : std::vector<std::string>{s.b};
        ASSERT_TRUE(RollForwardMediaSets(named));
        EXPECT_FALSE(kestest::fileExists(s.a + kRecordSuffix));
        EXPECT_FALSE(kestest::fileExists(s.b + kRecordSuffix));
        EXPECT_EQ(kestest::readFile(other), "not the set's");
        if (c.completed) {
            EXPECT_EQ(kestest::readFile(s.a), "new a");
            EXPECT_EQ(kestest::readFile(s.b), "new b");
            EXPECT_FALSE(kestest::fileExists(s.opts)) << "the earlier list stayed beside the new set";
            EXPECT_EQ(Names(dir), (std::vector<std::string>{"other.bak", "s_1.bak", "s_2.bak"}));
        } else {
            EXPECT_EQ(kestest::readFile(s.a), "old a");
            EXPECT_EQ(kestest::readFile(s.b), "old b");
            EXPECT_EQ(kestest::readFile(s.opts), "old list");
            EXPECT_TRUE(kestest::fileExists(ta) && kestest::fileExists(tb))
                << "an unfinished set is the next backup's to discard";
        }
        // Done once: a second look finds nothing to do.
        const std::vector<std::string> after = Names(dir);
        ASSERT_TRUE(RollForwardMediaSets({s.a, s.b}));
        EXPECT_EQ(Names(dir), after);
    }
}

// Whichever thread ends the process, the temporary files of a set not committed go with it.
void ClaimWriteAndEnd(const std::string& a) {
    if (!ClaimMediaSet({a}, a + "_opts")) exit(1);
    kestest::writeFile(MediaWritePath(a), "half a set");
    HANDLE t = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { ExitProcess(7); }, nullptr, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    exit(2);
}

TEST(EngineMediaSetDeathTest, AnEndingFromAnyThreadRemovesTheTemporaryFiles) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    // The child of a death test runs this test again from its start: it writes into the parent's
    // folder, which it finds in the environment, so that the parent looks at what it left.
    const char kShared[] = "KES_MEDIASET_DEATH_DIR";
    if (const char* folder = getenv(kShared)) {
        ClaimWriteAndEnd(std::string(folder) + "/s_1.bak");
        return;
    }
    TempDir dir;
    const std::string a = dir / "s_1.bak";
    kestest::writeFile(a, "old a");
    setenv(kShared, dir.path().c_str(), 1);
    EXPECT_EXIT(ClaimWriteAndEnd(a), ::testing::ExitedWithCode(7), "");
    unsetenv(kShared);
    EXPECT_EQ(Names(dir), std::vector<std::string>{"s_1.bak"});
    EXPECT_EQ(kestest::readFile(a), "old a");
}

}  // namespace
