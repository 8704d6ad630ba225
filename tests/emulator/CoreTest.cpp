// The emulator's core in-process: catalogue, content and change tracking, and the T-SQL the
// engine sends, computed from the catalogue.
#include "emulator/core/BatchRun.h"
#include "emulator/core/Catalogue.h"
#include "emulator/core/DbContent.h"
#include "emulator/core/Session.h"
#include "emulator/core/Tsql.h"
#include "engine/startup.h"
#include "engine/statements.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdio>

using namespace sqlemu;

namespace {

struct Collect : OutputSink {
    std::vector<Packet> packets;
    void deliver(Packet&& p) override { packets.push_back(std::move(p)); }
    bool cancelled() const override { return false; }
};

// The packets of a batch as text: "info N text", "error N SQLSTATE text", "rows a|b;c|NULL".
std::string describe(const std::vector<Packet>& ps) {
    std::string out;
    for (auto& p : ps) {
        if (!out.empty()) out += "\n";
        if (p.kind == Packet::Rows) {
            out += "rows ";
            for (size_t r = 0; r < p.rows.rows.size(); ++r) {
                if (r) out += ";";
                for (size_t c = 0; c < p.rows.rows[r].size(); ++c) {
                    if (c) out += "|";
                    out += p.rows.rows[r][c] ? *p.rows.rows[r][c] : "NULL";
                }
            }
            continue;
        }
        for (size_t i = 0; i < p.records.size(); ++i) {
            auto& r = p.records[i];
            if (i) out += "\n";
            out += p.kind == Packet::Info ? "info " : "error ";
            out += std::to_string(r.native) + " ";
            if (p.kind == Packet::Error) out += r.sqlstate + " ";
            out += r.text;
        }
    }
    return out;
}

class Core : public ::testing::Test {
protected:
    kestest::TempDir tmp;
    Catalogue cat{tmp.path() + "/root"};
    void SetUp() override { cat.createInstance("MSSQLSERVER", ""); }

    // A database entry with the given files (logical, path, group); no content.
    void addDb(const std::string& name, const std::vector<std::tuple<std::string, std::string, int>>& files,
               DbState state = DbState::Online) {
        DbInfo db;
        db.name = name;
        db.state = state;
        int id = 1;
        for (auto& [logical, path, group] : files) {
            DbFile f;
            f.fileId = id++;
            f.logicalName = logical;
            f.physicalPath = path;
            f.groupId = group;
            f.sizeBytes = kPageSize;
            db.files.push_back(f);
        }
        registerDatabase(cat, "MSSQLSERVER", db);
    }

    std::string run(const std::string& batch) {
        Session s(cat, "MSSQLSERVER", "ODBC Driver 17 for SQL Server", "sa", "msdb");
        Collect c;
        Exec x(s, c);
        runBatch(x, batch);
        return describe(c.packets);
    }

    // A database with real content in folder `dir` (created).
    DbInfo makeDb(const std::string& name, const std::string& dir, uint64_t seed, int dataFiles = 2) {
        EXPECT_EQ(kestest::shell("mkdir -p " + kestest::shellQuote(dir)).status, 0);
        DbInfo db;
        db.name = name;
        db.seed = seed;
        db.currentLsn = 1000;
        db.files = defaultFileTable(name, dir, dir, 1 << 20, 256 << 10, dataFiles);
        db = registerDatabase(cat, "MSSQLSERVER", db);
        generateContent(db);
        return db;
    }
};

}  // namespace

TEST_F(Core, CatalogueRoundTripKeepsOddTextsAndUnsetFolders) {
    cat.update("MSSQLSERVER", [](InstanceInfo& in) {
        in.defaultLogPath.reset();
        in.logins["bob"] = "pa\tss;word\\";
        in.faults["still-executing"] = "";
        in.props["note"] = "two\nlines";
    });
    addDb("Odd Name", {{"odd\tlogical", "/x/odd name.mdf", 1}, {"odd_log", "/x/odd.ldf", 0}});
    InstanceInfo in = cat.read("mssqlserver");  // instance names match case-insensitively
    EXPECT_EQ(parseInstance(serialize(in)).logins, in.logins);
    EXPECT_EQ(in.logins["bob"], "pa\tss;word\\");
    EXPECT_TRUE(in.defaultDataPath.has_value());
    EXPECT_FALSE(in.defaultLogPath.has_value());
    EXPECT_EQ(in.props["note"], "two\nlines");
    EXPECT_TRUE(in.hasFault("still-executing"));
    const DbInfo* db = in.findDatabase("odd NAME");
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->files[0].logicalName, "odd\tlogical");
    EXPECT_EQ(db->files[1].groupId, 0);
    EXPECT_EQ(db->id, 5);
}

TEST_F(Core, FailedUpdateLeavesCatalogueUnchanged) {
    EXPECT_THROW(cat.update("MSSQLSERVER",
                            [](InstanceInfo& in) {
                                in.version = "16.0.1000.6";
                                throw std::runtime_error("no");
                            }),
                 std::runtime_error);
    EXPECT_EQ(cat.read("MSSQLSERVER").version, "15.0.2000.5");
    EXPECT_THROW(cat.read("NOPE"), CatalogueError);
}

TEST_F(Core, UpdatesFromSeveralProcessesAreNotLost) {
    cat.update("MSSQLSERVER", [](InstanceInfo& in) { in.props["n"] = "0"; });
    const int kProcs = 4, kEach = 50;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < kEach; ++i)
                cat.update("MSSQLSERVER",
                           [](InstanceInfo& in) { in.props["n"] = std::to_string(std::stoi(in.props["n"]) + 1); });
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) {
        int st = 0;
        waitpid(k, &st, 0);
        EXPECT_EQ(st, 0);
    }
    EXPECT_EQ(cat.read("MSSQLSERVER").props["n"], std::to_string(kProcs * kEach));
}

TEST_F(Core, ContentIsDeterministicMixedAndIndependentOfLocation) {
    DbInfo a = makeDb("A", tmp.path() + "/a", 7);
    DbInfo b = makeDb("B", tmp.path() + "/b", 7);
    DbInfo c = makeDb("C", tmp.path() + "/c", 8);
    EXPECT_EQ(contentChecksum(a), contentChecksum(b));  // same seed and layout, other names and folders
    EXPECT_NE(contentChecksum(a), contentChecksum(c));

    // The data file holds text-like, random and zero pages.
    std::string data = kestest::readFile(a.files[0].physicalPath);
    ASSERT_EQ(data.size(), a.files[0].sizeBytes);
    int zero = 0, text = 0, other = 0;
    for (size_t off = 0; off < data.size(); off += kPageSize) {
        std::string page = data.substr(off, kPageSize);
        if (page.find_first_not_of('\0') == std::string::npos)
            ++zero;
        else if (page.find("customer") != std::string::npos || page.find("order") != std::string::npos)
            ++text;
        else
            ++other;
    }
    EXPECT_GT(zero, 0);
    EXPECT_GT(text, 0);
    EXPECT_GT(other, 0);

    // Moving a file does not change the digest; changing one byte does.
    std::string moved = tmp.path() + "/elsewhere.mdf";
    ASSERT_EQ(std::rename(a.files[0].physicalPath.c_str(), moved.c_str()), 0);
    a.files[0].physicalPath = moved;
    EXPECT_EQ(contentChecksum(a), contentChecksum(b));
    DbFileHandle h(b.files[2].physicalPath, true);
    h.write(100, "x", 1);
    EXPECT_NE(contentChecksum(a), contentChecksum(b));
}

// Touch records what differential and log backups need: replaying its records onto a copy of the
// files taken before gives exactly the content after.
TEST_F(Core, TouchRecordsChangedPagesAndAReplayableLog) {
    DbInfo db = makeDb("T", tmp.path() + "/t", 3);
    std::string before = contentChecksum(db);
    std::string copyDir = tmp.path() + "/copy";
    ASSERT_EQ(kestest::shell("cp -r " + kestest::shellQuote(tmp / "t") + " " + kestest::shellQuote(copyDir)).status, 0);

    uint64_t lsn = touchDatabase(cat, "MSSQLSERVER", "T", 40);
    EXPECT_EQ(lsn, 1040u);
    DbInfo now = *cat.read("MSSQLSERVER").findDatabase("T");
    EXPECT_EQ(now.currentLsn, 1040u);
    std::string after = contentChecksum(now);
    EXPECT_NE(before, after);

    ChangeTracker tr(cat, "MSSQLSERVER", db.id);
    auto changed = tr.changedPages();
    EXPECT_FALSE(changed.empty());
    EXPECT_LE(changed.size(), 40u);
    EXPECT_TRUE(std::is_sorted(changed.begin(), changed.end()));
    EXPECT_EQ(tr.logRecordCount(), 40u);
    for (auto& ref : changed) EXPECT_FALSE(now.file(static_cast<int>(ref.fileId))->isLog());

    DbInfo copy = now;
    for (auto& f : copy.files) f.physicalPath = copyDir + f.physicalPath.substr(f.physicalPath.rfind('/'));
    EXPECT_EQ(contentChecksum(copy), before);
    uint64_t last = 1000;
    tr.forEachLogRecord([&](const LogRecord& r) {
        EXPECT_GT(r.lsn, last);  // in LSN order
        last = r.lsn;
        writePage(copy, r.ref, r.image.data());
        return true;
    });
    EXPECT_EQ(contentChecksum(copy), after);

    // A differential's pages give the same result from the pre-touch copy.
    ASSERT_EQ(kestest::shell("rm -rf " + kestest::shellQuote(copyDir) + " && cp -r " + kestest::shellQuote(tmp / "t") +
                             " " + kestest::shellQuote(copyDir))
                  .status,
              0);
    tr.clearLog();
    EXPECT_EQ(tr.logRecordCount(), 0u);
    EXPECT_EQ(tr.changedPages().size(), changed.size());
    tr.clearChangedPages();
    EXPECT_TRUE(tr.changedPages().empty());
}

TEST_F(Core, RegisterReplacesADatabaseAndRemovesFilesNotReused) {
    DbInfo a = makeDb("R", tmp.path() + "/r", 1, 1);
    DbInfo repl = a;
    repl.id = 0;
    repl.familyGuid.clear();
    repl.files[0].physicalPath = tmp.path() + "/r/R_new.mdf";
    DbInfo stored = registerDatabase(cat, "MSSQLSERVER", repl);
    EXPECT_EQ(stored.id, a.id);
    EXPECT_NE(stored.familyGuid, a.familyGuid);
    EXPECT_NE(access(a.files[1].physicalPath.c_str(), F_OK), -1);  // reused: kept
    EXPECT_EQ(access(a.files[0].physicalPath.c_str(), F_OK), -1);  // not reused: removed
    EXPECT_EQ(cat.read("MSSQLSERVER").databases.size(), 1u);
    EXPECT_TRUE(dropDatabase(cat, "MSSQLSERVER", "r"));
    EXPECT_FALSE(dropDatabase(cat, "MSSQLSERVER", "r"));
    EXPECT_EQ(access(a.files[1].physicalPath.c_str(), F_OK), -1);
}

TEST_F(Core, VersionQueryGivesMajorTimesHundredPlusMinor) {
    const std::pair<const char*, const char*> cases[] = {
        {"15.0.2000.5", "rows 1500"}, {"16.0.1000.6", "rows 1600"}, {"10.50.1600", "rows 1050"}, {"9.0", "rows NULL"}};
    for (auto& [version, expected] : cases) {
        cat.update("MSSQLSERVER", [&](InstanceInfo& in) { in.version = version; });
        EXPECT_EQ(run(kVersionQuery), expected) << version;
    }
}

TEST_F(Core, MoveClauseQueryFollowsThePathForms) {
    struct Case {
        const char* name;
        std::vector<std::tuple<std::string, std::string, int>> files;
        std::string expected;
    };
    std::string big(125, 'x');
    std::vector<std::tuple<std::string, std::string, int>> many;
    for (int i = 0; i < 20; ++i) many.emplace_back(big + std::to_string(i), "/d/" + big + ".mdf", 1);
    std::string manyList;
    for (int i = 0; i < 20; ++i) manyList += ", MOVE ''" + big + std::to_string(i) + "'' TO ''%DATA%" + big + ".mdf''";
    const Case cases[] = {
        {"Unix",
         {{"Sales", "/var/opt/data/Sales.mdf", 1}, {"Sales_log", "/var/opt/log/Sales_log.ldf", 0}},
         "rows , MOVE ''Sales'' TO ''%DATA%Sales.mdf'', MOVE ''Sales_log'' TO ''%LOG%Sales_log.ldf''"},
        {"Drive",
         {{"D1", "C:\\Program Files\\SQL\\DATA\\D1 data.mdf", 2}, {"D1_log", "E:\\logs\\D1.ldf", 0}},
         "rows , MOVE ''D1'' TO ''%DATA%D1 data.mdf'', MOVE ''D1_log'' TO ''%LOG%D1.ldf''"},
        // A drive path written with "/" is searched for "\" and found wanting, as on the server.
        {"DriveSlash",
         {{"Q", "C:/data/q.mdf", 1}},
         "error 536 42000 Invalid length parameter passed to the right function.\nrows "},
        // A quote in a name is written four times by REPLACE: one quote doubled once resolved.
        {"Quote", {{"it's", "/d/it's.mdf", 1}}, "rows , MOVE ''it''''s'' TO ''%DATA%it''''s.mdf''"},
        // An NVARCHAR(MAX) list is not cut.
        {"Long", many, "rows " + manyList},
    };
    for (auto& c : cases) {
        addDb(c.name, c.files);
        EXPECT_EQ(run(MoveClauseQuery(c.name)), c.expected) << c.name;
    }
    // The same list in an NVARCHAR(4000) is cut there, as on the server.
    std::string cut = MoveClauseQuery("Long");
    const size_t type = cut.find("NVARCHAR(MAX)");
    ASSERT_NE(type, std::string::npos) << cut;
    cut.replace(type, 13, "NVARCHAR(4000)");
    EXPECT_EQ(run(cut), "rows " + manyList.substr(0, 4000));
}

TEST_F(Core, MoveClauseQueryOfAMissingOrRestoringDatabase) {
    EXPECT_EQ(run(MoveClauseQuery("nosuch")), "error 208 42S02 Invalid object name '[nosuch]..sysfiles'.");
    addDb("Busy", {{"Busy", "/d/Busy.mdf", 1}}, DbState::Restoring);
    EXPECT_EQ(run(MoveClauseQuery("Busy")),
              "error 927 42000 Database 'Busy' cannot be opened. It is in the middle of a restore.");
}

TEST_F(Core, ResolutionQueryUsesTheDefaultFoldersOrGivesNull) {
    cat.update("MSSQLSERVER", [](InstanceInfo& in) {
        in.defaultDataPath = "/srv/data/";
        in.defaultLogPath = "D:\\Logs\\";
    });
    std::string list = ", MOVE ''S'' TO ''%DATA%S.mdf'', MOVE ''S''''x'' TO ''%LOG%S_log.ldf''";
    EXPECT_EQ(run(ResolveClausesQuery(list)),
              "rows , MOVE 'S' TO '/srv/data/S.mdf', MOVE 'S''x' TO 'D:\\Logs\\S_log.ldf'");
    EXPECT_EQ(run(ResolveClausesQuery("")), "rows ");
    cat.update("MSSQLSERVER", [](InstanceInfo& in) { in.defaultLogPath.reset(); });
    EXPECT_EQ(run(ResolveClausesQuery(list)), "rows NULL");
}

TEST_F(Core, MessagesAndErrorsInBatchOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {"PRINT 'a' PRINT 'b'", "info 0 a\ninfo 0 b"},
        {"RAISERROR('%d%% of %s', 0, 1, 10, 'x') WITH NOWAIT", "info 50000 10% of x"},
        {"RAISERROR('bad', 16, 1) PRINT 'goes on'", "error 50000 42000 bad\ninfo 0 goes on"},
        {"RAISERROR('bad', 16, 1) RAISERROR('worse', 16, 2)", "error 50000 42000 bad\nerror 50000 42000 worse"},
        {"RAISERROR('x', 20, 1)",
         "error 2754 42000 Error severity levels greater than 18 can only be specified by members of the sysadmin "
         "role, using the WITH LOG option."},
        {"WAITFOR DELAY '00:00:00.05' PRINT 'waited'", "info 0 waited"},
        {"WAITFOR DELAY '00:61:00'",
         "error 148 42000 Incorrect time syntax in time string '00:61:00' used with WAITFOR."},
        {"SELECT 1 AS a, 'b' c, NULL", "rows 1|b|NULL"},
        {"SELECT CAST('12x' AS INT) PRINT 'not reached'",
         "error 245 42000 Conversion failed when converting the varchar value '12x' to data type int."},
        {"IF EXISTS(SELECT 1 FROM sys.databases WHERE name='msdb' AND user_access=0) PRINT 'yes' ELSE PRINT 'no'",
         "info 0 yes"},
        {"IF NOT EXISTS(SELECT 1 FROM sys.databases WHERE name='gone') BEGIN PRINT 'x'; PRINT 'y' END",
         "info 0 x\ninfo 0 y"},
        {"SELECT name FROM sys.databases WHERE database_id > 2 ORDER BY name DESC", "rows msdb;model"},
        {"SELECT 'a', 'b' UNION ALL SELECT 'c', 'd'", "rows a|b;c|d"},
        {"SELECT 2 AS n UNION SELECT 1 UNION SELECT 2 ORDER BY n", "rows 1;2"},
        {"SELECT 1 UNION ALL SELECT 1, 2",
         "error 205 42000 All queries combined using a UNION, INTERSECT or EXCEPT operator must have an equal number "
         "of expressions in their target lists."},
        {"SELECT LEN(REPLICATE('x', 10000)), LEN(REPLICATE(CAST('x' AS VARCHAR(MAX)), 10000)), DATALENGTH('v ' + "
         "CHAR(13) + CHAR(10))",
         "rows 8000|10000|4"},
        {"SELECT CONCAT('a', NULL, 1), 'a' + NULL", "rows a1|NULL"},
        {"SELECT CAST(' -12 ' AS INT), CAST('  ' AS INT), CAST(N'7' AS INT) + 1", "rows -12|0|8"},
        {"SELECT CAST('2147483648' AS INT)",
         "error 248 42000 The conversion of the varchar value '2147483648' overflowed an int column."},
        {"SELECT 1 + N'x'",
         "error 245 42000 Conversion failed when converting the nvarchar value 'x' to data type int."},
    };
    for (auto& [batch, expected] : cases) EXPECT_EQ(run(batch), expected) << batch;
}

TEST_F(Core, AnythingNotUnderstoodIsASyntaxErrorAndNothingRuns) {
    const std::pair<const char*, const char*> cases[] = {
        {"PRINT 'a' SELEC 1", "error 102 42000 Incorrect syntax near 'SELEC'."},
        {"PRINT 'a' SELECT", "error 102 42000 Incorrect syntax near 'SELECT'."},
        {"SELECT 1 +", "error 102 42000 Incorrect syntax near '+'."},
        {"SELECT 1 = 1", "error 102 42000 Incorrect syntax near '='."},
        {"BACKUP DATABASE [x] TO DISK='y'", "error 102 42000 Incorrect syntax near 'DISK'."},
        {"WAITFOR 1", "error 102 42000 Incorrect syntax near '1'."},
        {"PRINT 'a", "error 105 42000 Unclosed quotation mark after the character string 'a'."},
        {"PRINT 'a' SET @x = 1", "error 137 42000 Must declare the scalar variable \"@x\"."},
        {"SELECT NOSUCHFN(1)", "error 195 42000 'NOSUCHFN' is not a recognized built-in function name."},
        {"SELECT @@VERSION x, 1 y FROM", "error 102 42000 Incorrect syntax near 'FROM'."},
    };
    const std::string deep =
        "error 191 42000 Some part of your SQL statement is nested too deeply. Rewrite the query or break it up into "
        "smaller queries.";
    EXPECT_EQ(run("SELECT " + std::string(5000, '(') + "1" + std::string(5000, ')')), deep);
    EXPECT_EQ(run("IF " + std::string(500, '(') + "1" + std::string(500, ')') + "=1 PRINT 'x'"), deep);
    EXPECT_EQ(run("IF " + std::string(40, '(') + "1" + std::string(40, ')') + "=1 PRINT 'x'"), "info 0 x");
    for (auto& [batch, expected] : cases) EXPECT_EQ(run(batch), expected) << batch;
}

namespace {
// A statement plugged in the way the backup half plugs in BACKUP and RESTORE.
struct EchoStmt : Statement {
    std::string word;
    void execute(Exec& x) override {
        x.info(3211, 0, 1, "10 percent processed.");
        if (word == "fail") {
            x.error(3201, 16, 1, "Cannot open backup device 'd'.");
            throw SqlError(3013, 16, 1, "EMUTEST is terminating abnormally.");
        }
        x.info(3014, 0, 1, "EMUTEST " + word + " done.");
    }
};
const StatementRegistrar declines("EMUTEST", [](Parser& p) -> std::unique_ptr<Statement> {
    p.expectKeyword("EMUTEST");
    return p.acceptKeyword("OTHER") ? std::make_unique<EchoStmt>() : nullptr;
});
const StatementRegistrar echo("EMUTEST", [](Parser& p) -> std::unique_ptr<Statement> {
    p.expectKeyword("EMUTEST");
    auto s = std::make_unique<EchoStmt>();
    s->word = p.name();
    return s;
});
}  // namespace

TEST_F(Core, RegisteredStatementsParseRunAndReport) {
    EXPECT_EQ(run("EMUTEST hello; PRINT 'next'"),
              "info 3211 10 percent processed.\ninfo 3014 EMUTEST hello done.\ninfo 0 next");
    EXPECT_EQ(run("EMUTEST fail PRINT 'after'"),
              "info 3211 10 percent processed.\nerror 3201 42000 Cannot open backup device 'd'.\n"
              "error 3013 42000 EMUTEST is terminating abnormally.\ninfo 0 after");
    EXPECT_EQ(run("EMUTEST 'x'"), "error 102 42000 Incorrect syntax near 'x'.");
    EXPECT_EQ(run("IF 1=1 EMUTEST hello"), "info 3211 10 percent processed.\ninfo 3014 EMUTEST hello done.");
    EXPECT_EQ(run("SELECT 1 EMUTEST"), "error 102 42000 Incorrect syntax near 'EMUTEST'.");  // reserved: no alias
}

TEST_F(Core, BatchFaults) {
    cat.update("MSSQLSERVER", [](InstanceInfo& in) {
        in.faults["long-message"] = "520";
        in.faults["error-3014"] = "WAITFOR";
    });
    std::string out = run("PRINT 'p'");
    ASSERT_EQ(out.substr(0, 11), "info 50000 ");
    EXPECT_EQ(out.find('\n'), 11u + 520u);
    EXPECT_EQ(out.substr(out.find('\n')), "\ninfo 0 p");
    out = run("WAITFOR DELAY '00:00:00'");
    EXPECT_EQ(out.substr(out.find('\n') + 1),
              "error 3013 42000 RESTORE DATABASE is terminating abnormally.\n"
              "error 3014 01000 RESTORE DATABASE successfully processed 0 pages in 0.001 seconds (0.000 MB/sec).");
}

// The conditions of the single-user wrappers that the engine puts around its statements.
TEST_F(Core, WrapperConditionsReadTheDatabaseState) {
    addDb("Std", {{"Std", "/d/Std.mdf", 1}});
    const std::string single =
        "IF EXISTS(SELECT 1 FROM sys.databases WHERE name='std' AND user_access=1) PRINT 'single'";
    const std::string standby =
        "IF EXISTS(SELECT 1 FROM sys.databases WHERE name='Std' AND is_read_only=1 AND is_in_standby=1 AND state=0) "
        "PRINT 'standby'";
    EXPECT_EQ(run(single + " " + standby), "");
    cat.update("MSSQLSERVER", [](InstanceInfo& in) {
        in.findDatabase("Std")->state = DbState::Standby;
        in.findDatabase("Std")->userAccess = UserAccess::Single;
    });
    EXPECT_EQ(run(single + "; " + standby + "; "), "info 0 single\ninfo 0 standby");
    cat.update("MSSQLSERVER", [](InstanceInfo& in) { in.findDatabase("Std")->state = DbState::Restoring; });
    EXPECT_EQ(run(standby), "");
}

TEST_F(Core, SessionsAreAliveWhileTheyLast) {
    std::string id;
    {
        Session s(cat, "MSSQLSERVER", "ODBC Driver 17 for SQL Server", "sa", "msdb");
        id = s.id();
        EXPECT_TRUE(cat.sessionAlive("MSSQLSERVER", id));
        Session other(cat, "MSSQLSERVER", "ODBC Driver 17 for SQL Server", "sa", "msdb");
        EXPECT_NE(other.id(), id);
        pid_t pid = fork();
        if (pid == 0) _exit(cat.sessionAlive("MSSQLSERVER", id) ? 0 : 1);  // seen from another process
        int st = 1;
        waitpid(pid, &st, 0);
        EXPECT_EQ(st, 0);
    }
    EXPECT_FALSE(cat.sessionAlive("MSSQLSERVER", id));
    EXPECT_FALSE(cat.sessionAlive("MSSQLSERVER", "12-3"));
}

TEST_F(Core, BatchRunHandsOutPacketsWhileTheBatchRuns) {
    Session s(cat, "MSSQLSERVER", "ODBC Driver 17 for SQL Server", "sa", "msdb");
    {
        BatchRun run(s, "PRINT 'a' WAITFOR DELAY '00:10:00' PRINT 'never'");
        Packet p;
        ASSERT_TRUE(run.next(p));
        EXPECT_EQ(describe({p}), "info 0 a");
        run.stop();  // ends the wait
        EXPECT_TRUE(run.rest().empty());
    }
    BatchRun run(s, "SELECT 1 RAISERROR('e', 16, 1)");
    EXPECT_EQ(describe(run.rest()), "rows 1\nerror 50000 42000 e");
}
