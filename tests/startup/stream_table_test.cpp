// The job record and the stream table that main derives from the settings.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "config/Config.h"
#include "engine/job.h"
#include "support/Log.h"
#include "tests/support/TempDir.h"

namespace {

void Set(char* field, size_t width, const std::string& v) {
    ASSERT_LT(v.size(), width);
    std::memset(field, 0, width);
    std::memcpy(field, v.data(), v.size());
}
#define SET(field, v) Set(g_config.field, sizeof g_config.field, v)

class StreamTable : public testing::Test {
protected:
    void SetUp() override {
        Log::SetLogLevel(Log::LOG_INFO);
        g_streamFiles.clear();
        SET(Action, "B");
        SET(BKType, "F");
        SET(DB, "Sales");
        SET(Host, "");
        g_config.RPort = 8080;
    }

    std::string Touch(const std::string& name) {
        std::ofstream(dir_ / name) << "x";
        return dir_ / name;
    }

    // FillJobInfo, then BuildStreamTable with its log lines captured.
    int Build(const std::string& files, std::string* log = nullptr) {
        SET(Files, files);
        FillJobInfo();
        testing::internal::CaptureStdout();
        int n = BuildStreamTable();
        std::fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        if (log) *log = out;
        return n;
    }

    std::vector<std::string> Entries() const {
        std::vector<std::string> v;
        int k = 1;
        for (const auto& e : g_streamFiles) {
            EXPECT_EQ(e.first, k++) << "stream numbers are 1..n without gaps";
            v.push_back(e.second);
        }
        return v;
    }

    kestest::TempDir dir_;
};

using Strings = std::vector<std::string>;

TEST_F(StreamTable, FilesForms) {
    struct Case {
        const char* files;
        const char* bkType;
        int count;
        Strings entries;
    } cases[] = {
        {"3@D:\\bk\\", "F", 3, {"D:\\bk/Sales_1.bak", "D:\\bk/Sales_2.bak", "D:\\bk/Sales_3.bak"}},
        {"2@/srv/bk/", "L", 2, {"/srv/bk/Sales_1.trn", "/srv/bk/Sales_2.trn"}},
        {"2@D:\\bk\"", "D", 2, {"D:\\bk/Sales_1.bak", "D:\\bk/Sales_2.bak"}},
        // Three single steps in order: separator, double quote, single quote.
        {"1@D:\\bk\\\"", "F", 1, {"D:\\bk\\/Sales_1.bak"}},
        {"1@/bk/'", "F", 1, {"/bk//Sales_1.bak"}},
        {"1@/bk/\"'", "F", 1, {"/bk/\"/Sales_1.bak"}},
        {"1@ /bk", "F", 1, {" /bk/Sales_1.bak"}},
        {"2@tcp://10.1.1.9:7000", "F", 2, {"tcp://10.1.1.9:7000", "tcp://10.1.1.9:7000"}},
        // Counts that are no count: the text itself is the one entry.
        {"0@D:\\bk", "F", 1, {"0@D:\\bk"}},
        {"-2@D:\\bk", "F", 1, {"-2@D:\\bk"}},
        {"D:\\a@b\\x.bak", "F", 1, {"D:\\a@b\\x.bak"}},
        {"2@D:\\x@y", "F", 1, {"2@D:\\x@y"}},
        {"@@2@@/bk", "F", 2, {"/bk/Sales_1.bak", "/bk/Sales_2.bak"}},
        // A comma in the folder splits the generated names.
        {"2@/b,k", "F", 4, {"/b", "k/Sales_1.bak", "/b", "k/Sales_2.bak"}},
        // Lists: runs of commas count as one, blanks stay.
        {"a.bak, b.bak", "F", 2, {"a.bak", " b.bak"}},
        {",,a.bak,,,b.bak,", "F", 2, {"a.bak", "b.bak"}},
    };
    for (const Case& c : cases) {
        g_streamFiles.clear();
        SET(BKType, c.bkType);
        EXPECT_EQ(Build(c.files), c.count) << c.files;
        EXPECT_EQ(Entries(), c.entries) << c.files;
    }
}

TEST_F(StreamTable, ClampsTheCountAndKeepsEveryEntry) {
    std::string log;
    EXPECT_EQ(Build("a1,a2,a3,a4,a5,a6,a7,a8,a9,a10,a11", &log), 8);
    EXPECT_EQ(g_streamFiles.size(), 11u);
    EXPECT_EQ(g_streamFiles[11], "a11");
    EXPECT_NE(log.find("]  Stream count is set to 8, since the requested count [11] is invalid.\n"), std::string::npos)
        << log;

    g_streamFiles.clear();
    EXPECT_EQ(Build(",,,,,", &log), 1);
    EXPECT_TRUE(g_streamFiles.empty());
    EXPECT_NE(log.find("]  Stream count is set to 1, since the requested count [0] is invalid.\n"), std::string::npos)
        << log;

    g_streamFiles.clear();
    EXPECT_EQ(Build("8@/bk", &log), 8);
    EXPECT_EQ(log.find("Stream count is set"), std::string::npos) << log;
}

TEST_F(StreamTable, HugeCountIsBoundedWithoutExhaustingMemory) {
    for (const char* files : {"5000000@/bk", "99999999999@/bk"}) {
        g_streamFiles.clear();
        std::string log;
        EXPECT_EQ(Build(files, &log), 8) << files;
        ASSERT_EQ(g_streamFiles.size(), static_cast<size_t>(kMaxGeneratedStreams)) << files;
        for (int k = 1; k <= 8; ++k) EXPECT_EQ(g_streamFiles[k], "/bk/Sales_" + std::to_string(k) + ".bak");
        std::string requested = std::strchr(files, '@') ? std::string(files, std::strchr(files, '@')) : "";
        if (requested.size() < 10) {  // the count that fits an int is named as typed
            EXPECT_NE(log.find("since the requested count [" + requested + "] is invalid."), std::string::npos) << log;
        }
    }
}

TEST_F(StreamTable, BackupTakesRestoreServiceFromFirstTcpEntry) {
    struct Case {
        const char* files;
        const char* host;  // the Host setting
        int rport;
        const char* wantHost;
        int wantPort;
    } cases[] = {
        {"2@tcp://10.1.1.9:7000", "", 8080, "10.1.1.9", 7000},
        {"tcp://server9", "", 8080, "server9", 0},
        {"tcp://srv:x", "", 8080, "srv", 0},
        {"tcp://h:1,tcp://other:2", "", 8080, "h", 1},
        {"2@tcp://10.1.1.9:7000", "peer", 9000, "peer", 9000},  // Host set: nothing changes
        {"a.bak,tcp://h:1", "", 8080, "", 8080},                // only the first entry counts
        {"TCP://h:1", "", 8080, "", 8080},                      // the prefix is lower case
    };
    for (const Case& c : cases) {
        g_streamFiles.clear();
        SET(Host, c.host);
        g_config.RPort = c.rport;
        EXPECT_GE(Build(c.files), 1) << c.files;
        EXPECT_EQ(g_job.host, c.wantHost) << c.files;
        EXPECT_EQ(g_job.port, c.wantPort) << c.files;
    }
}

TEST_F(StreamTable, RestoreAndVerifyNeedTheirFiles) {
    std::string a = Touch("a.bak"), b = Touch("b.bak");
    std::string nine;
    for (int i = 1; i <= 9; ++i) nine += Touch("f" + std::to_string(i)) + ",";

    struct Case {
        const char* action;
        std::string files;
        int result;
        std::string missing;  // the name the error names
        size_t stored;        // entries in the table afterwards
    } cases[] = {
        {"R", a + "," + b, 2, "", 2},
        {"V", a + ",tcp://h:1,s3://bucket/k,bs://c", 4, "", 4},
        {"R", "2@tcp://10.1.1.9:7000", 2, "", 2},
        {"R", a + "," + dir_ / "gone.bak," + b, -1, dir_ / "gone.bak", 2},
        {"V", a + ", " + b, -1, " " + b, 2},  // the blank is part of the name
        {"R", "TCP://h:1", -1, "TCP://h:1", 1},
        {"R", dir_.path(), -1, dir_.path(), 1},                // a folder is no file
        {"V", nine + dir_ / "tenth", -1, dir_ / "tenth", 10},  // also beyond the eighth
    };
    for (const Case& c : cases) {
        g_streamFiles.clear();
        SET(Action, c.action);
        std::string log;
        EXPECT_EQ(Build(c.files, &log), c.result) << c.files;
        EXPECT_EQ(g_streamFiles.size(), c.stored) << c.files;
        if (c.result < 0) {
            EXPECT_NE(log.find("]  File[" + c.missing + "] does NOT exist.\n"), std::string::npos) << log;
        } else {
            EXPECT_EQ(log.find("does NOT exist"), std::string::npos) << log;
        }
    }
}

TEST(JobInfo, FilledFromSettings) {
    struct Case {
        const char* action;
        const char* bkType;
        bool backup, database;
    } cases[] = {
        {"B", "F", true, true},  {"B", "L", true, false}, {"b", "D", false, true},
        {"R", "l", false, true}, {"V", "", false, true},
    };
    for (const Case& c : cases) {
        SET(Action, c.action);
        SET(BKType, c.bkType);
        SET(Files, "3@/bk");
        SET(Instance, ".\\INST");
        SET(DB, "Sales");
        SET(User, "sa");
        SET(Pass, "pw");
        SET(Host, "peer");
        g_config.IsTrustedConn = false;
        g_config.RPort = 7001;
        g_config.LPort = 7002;
        FillJobInfo();
        EXPECT_EQ(g_job.isBackup, c.backup) << c.action;
        EXPECT_EQ(g_job.isDatabase, c.database) << c.bkType;
        EXPECT_FALSE(g_job.trustedConnection);
        EXPECT_EQ(g_job.files, "3@/bk");
        EXPECT_EQ(g_job.server, ".\\INST");
        EXPECT_EQ(g_job.database, "Sales");
        EXPECT_EQ(g_job.user, "sa");
        EXPECT_EQ(g_job.password, "pw");
        EXPECT_EQ(g_job.host, "peer");
        EXPECT_EQ(g_job.port, 7001);
        EXPECT_EQ(g_job.listenPort, 7002);
    }
}

}  // namespace
