// The emulated instance through the real unixODBC driver manager. Every case runs the small
// client (emuclient) or isql as a child process with its own ODBCSYSINI, an empty HOME and its
// own data root, and compares what the application sees.
#include "engine/startup.h"
#include "engine/statements.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <pwd.h>
#include <algorithm>
#include <thread>

using kestest::RunResult;

namespace {

const std::string kPrefix17 = "[Microsoft][ODBC Driver 17 for SQL Server][SQL Server]";

std::string hostName() {
    char buf[256] = {0};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

std::string userName() {
    passwd* pw = getpwuid(geteuid());
    return pw ? pw->pw_name : "root";
}

class Odbc : public ::testing::Test {
protected:
    kestest::TempDir tmp;
    std::string root = tmp.path() + "/root";
    kestest::Env env;

    void SetUp() override {
        ASSERT_EQ(mkdir((tmp.path() + "/home").c_str(), 0755), 0);
        env = {{"ODBCSYSINI", tmp.path() + "/odbc"}, {"HOME", tmp.path() + "/home"}, {"SQLEMU_ROOT", root}};
        sqlemu({"odbc-register", tmp.path() + "/odbc"});
        sqlemu({"instance", "create", "MSSQLSERVER"});
    }

    RunResult sqlemuResult(std::vector<std::string> args) {
        args.insert(args.begin(), SQLEMU_BIN);
        return kestest::run(args, env);
    }
    std::string sqlemu(std::vector<std::string> args) {
        RunResult r = sqlemuResult(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    std::string client(std::vector<std::string> args) {
        args.insert(args.begin(), EMUCLIENT_BIN);
        RunResult r = kestest::run(args, env);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    static std::string cs(const std::string& server = ".", const std::string& auth = "Trusted_Connection=yes;",
                          const std::string& driver = "ODBC Driver 17 for SQL Server") {
        return "DRIVER={" + driver + "};SERVER=" + server + ";DATABASE=msdb;" + auth;
    }
    // The walk of one batch on a trusted connection to the default instance.
    std::string walk(const std::string& batch, std::vector<std::string> opts = {}) {
        opts.insert(opts.end(), {"run", cs(), batch});
        return client(opts);
    }
    static std::string wrap(const std::string& body) {
        return "connect: SQL_SUCCESS\n" + body + "disconnect: SQL_SUCCESS\n";
    }
};

}  // namespace

TEST_F(Odbc, DriverListFollowsTheRegistration) {
    struct Case {
        std::vector<std::string> args;
        std::string drivers;
    };
    const Case cases[] = {
        {{}, "driver: ODBC Driver 17 for SQL Server\ndriver: ODBC Driver 18 for SQL Server\n"},
        {{"ODBC Driver 13.1 for SQL Server"},
         "driver: ODBC Driver 17 for SQL Server\ndriver: ODBC Driver 18 for SQL Server\ndriver: ODBC Driver 13.1 for "
         "SQL Server\n"},
        {{"--only", "ODBC Driver 18 for SQL Server", "SQL Server"},
         "driver: ODBC Driver 18 for SQL Server\ndriver: SQL Server\n"},
    };
    int n = 0;
    for (auto& c : cases) {
        std::string dir = tmp.path() + "/reg" + std::to_string(n++);
        std::vector<std::string> args = {"odbc-register", dir};
        args.insert(args.end(), c.args.begin(), c.args.end());
        sqlemu(args);
        env["ODBCSYSINI"] = dir;
        EXPECT_EQ(client({"drivers"}), c.drivers);
        std::string ini = kestest::readFile(dir + "/odbcinst.ini");
        size_t threading = 0;
        for (size_t p = 0; (p = ini.find("Threading = 0\n", p)) != std::string::npos; ++p) ++threading;
        EXPECT_EQ(threading, static_cast<size_t>(std::count(c.drivers.begin(), c.drivers.end(), '\n'))) << ini;
        EXPECT_NE(ini.find("Driver = /"), std::string::npos) << ini;
    }
    EXPECT_EQ(sqlemuResult({"odbc-register", tmp.path() + "/x", "--only"}).status, 2);
}

TEST_F(Odbc, ConnectsToLocalInstancesAndRefusesOthers) {
    sqlemu({"instance", "create", "NAMED"});
    sqlemu({"login", "add", "MSSQLSERVER", "bob", "s;cret"});
    sqlemu({"login", "add", "MSSQLSERVER", "amy", "pw"});
    const std::string ok = "connect: SQL_SUCCESS\ndisconnect: SQL_SUCCESS\n";
    const std::string network =
        "connect: SQL_ERROR\ndiag: 08001 2 [Microsoft][ODBC Driver 17 for SQL Server]A network-related or "
        "instance-specific error has occurred while establishing a connection to SQL Server. Server is not found or "
        "not accessible. Check if instance name is correct and if SQL Server is configured to allow remote "
        "connections. For more information see SQL Server Books Online.\n";
    auto refused = [](const std::string& user, const std::string& driver = "ODBC Driver 17 for SQL Server") {
        return "connect: SQL_ERROR\ndiag: 28000 18456 [Microsoft][" + driver + "][SQL Server]Login failed for user '" +
               user + "'.\n";
    };
    const std::pair<std::string, std::string> cases[] = {
        {cs("."), ok},
        {cs("(local)"), ok},
        {cs("localhost"), ok},
        {cs("127.0.0.1"), ok},
        {cs("tcp:127.0.0.1,1433"), ok},
        {cs(hostName()), ok},
        {cs(hostName() + "\\NAMED"), ok},
        {cs(".\\named"), ok},
        {cs("otherhost"), network},
        {cs("10.1.2.3"), network},
        {cs(".\\NOPE"), network},
        {cs(".", "UID=amy;PWD=pw;"), ok},
        {cs(".", "UID=bob;PWD=s;cret;"), refused("bob")},  // the ";" ends the value, as in any connection string
        {cs(".", "UID=bob;PWD={s;cret};"), ok},
        {cs(".", "UID=amy;PWD=PW;"), refused("amy")},
        {cs(".", "UID=eve;PWD=pw;"), refused("eve")},
        {cs(".", "UID=amy;PWD=x;", "ODBC Driver 18 for SQL Server"), refused("amy", "ODBC Driver 18 for SQL Server")},
        {"DRIVER={ODBC Driver 17 for SQL Server};SERVER=.;DATABASE=nosuch;Trusted_Connection=yes;",
         "connect: SQL_ERROR\ndiag: 42000 4060 " + kPrefix17 +
             "Cannot open database \"nosuch\" requested by the login. The login failed.\ndiag: 28000 18456 " +
             kPrefix17 + "Login failed for user '" + userName() + "'.\n"},
    };
    for (auto& [conn, expected] : cases) EXPECT_EQ(client({"run", conn}), expected) << conn;

    // Without SQLEMU_ROOT the driver finds the data root in its odbcinst.ini section.
    sqlemu({"--root", root, "odbc-register", tmp.path() + "/withroot"});
    env["ODBCSYSINI"] = tmp.path() + "/withroot";
    env["SQLEMU_ROOT"] = "";
    EXPECT_EQ(client({"run", cs()}), ok);
    env["ODBCSYSINI"] = tmp.path() + "/odbc";
    std::string none = client({"run", cs()});
    EXPECT_NE(none.find("08001 0 [Microsoft][ODBC Driver 17 for SQL Server]The emulated instance has no data root"),
              std::string::npos)
        << none;
}

TEST_F(Odbc, QueriesGiveTheServersResults) {
    sqlemu({"db", "create", "MSSQLSERVER", "Sales", "--data-mb", "1", "--log-mb", "1", "--data-files", "2"});
    EXPECT_EQ(walk(kVersionQuery), wrap("exec: SQL_SUCCESS\ncols: 1\nrow: 1500\nmore: SQL_NO_DATA\n"));
    sqlemu({"instance", "set", "MSSQLSERVER", "version", "16.0.1000.6"});
    EXPECT_EQ(walk(kVersionQuery), wrap("exec: SQL_SUCCESS\ncols: 1\nrow: 1600\nmore: SQL_NO_DATA\n"));

    std::string list =
        ", MOVE ''Sales'' TO ''%DATA%Sales.mdf'', MOVE ''Sales_log'' TO ''%LOG%Sales_log.ldf'', "
        "MOVE ''Sales_2'' TO ''%DATA%Sales_2.ndf''";
    EXPECT_EQ(walk(MoveClauseQuery("Sales")),
              wrap("exec: SQL_SUCCESS\ncols: 1\nrow: " + list + "\nmore: SQL_NO_DATA\n"));
    EXPECT_EQ(walk(MoveClauseQuery("nosuch")), wrap("exec: SQL_ERROR\ndiag: 42S02 208 " + kPrefix17 +
                                                    "Invalid object name '[nosuch]..sysfiles'.\nmore: SQL_NO_DATA\n"));

    sqlemu({"instance", "set", "MSSQLSERVER", "data-path", tmp.path() + "/d"});
    sqlemu({"instance", "set", "MSSQLSERVER", "log-path", "L:\\logs\\"});
    EXPECT_EQ(walk(ResolveClausesQuery(list)),
              wrap("exec: SQL_SUCCESS\ncols: 1\nrow: , MOVE 'Sales' TO '" + tmp.path() +
                   "/d/Sales.mdf', MOVE 'Sales_log' TO "
                   "'L:\\logs\\Sales_log.ldf', MOVE 'Sales_2' TO '" +
                   tmp.path() + "/d/Sales_2.ndf'\nmore: SQL_NO_DATA\n"));
    sqlemu({"instance", "unset", "MSSQLSERVER", "data-path"});
    EXPECT_EQ(walk(ResolveClausesQuery(list)), wrap("exec: SQL_SUCCESS\ncols: 1\nrow: NULL\nmore: SQL_NO_DATA\n"));
}

TEST_F(Odbc, MessagesArriveOneResultEachInBatchOrder) {
    EXPECT_EQ(
        walk("PRINT 'one' RAISERROR('two %d', 0, 1, 5) WITH NOWAIT SELECT 'x', NULL "
             "RAISERROR('bad', 16, 1) PRINT 'after' SELEC"),
        wrap("exec: SQL_ERROR\ndiag: 42000 102 " + kPrefix17 + "Incorrect syntax near 'SELEC'.\nmore: SQL_NO_DATA\n"));
    EXPECT_EQ(walk("PRINT 'one' RAISERROR('two %d', 0, 1, 5) WITH NOWAIT SELECT 'x', NULL "
                   "RAISERROR('bad', 16, 1) PRINT 'after'"),
              wrap("exec: SQL_SUCCESS_WITH_INFO\ndiag: 01000 0 " + kPrefix17 +
                   "one\n"
                   "more: SQL_SUCCESS_WITH_INFO\ndiag: 01000 50000 " +
                   kPrefix17 +
                   "two 5\n"
                   "more: SQL_SUCCESS\ncols: 2\nrow: x|NULL\n"
                   "more: SQL_ERROR\ndiag: 42000 50000 " +
                   kPrefix17 +
                   "bad\n"
                   "more: SQL_SUCCESS_WITH_INFO\ndiag: 01000 0 " +
                   kPrefix17 +
                   "after\n"
                   "more: SQL_NO_DATA\n"));
}

// A message reaches the application while the batch still runs: the client leaves after the first
// result of a ten-minute batch, and its disconnect ends the batch.
TEST_F(Odbc, MessagesStreamWhileTheBatchRuns) {
    EXPECT_EQ(walk("RAISERROR('first', 0, 1) WITH NOWAIT WAITFOR DELAY '00:10:00' PRINT 'never'", {"--steps", "1"}),
              wrap("exec: SQL_SUCCESS_WITH_INFO\ndiag: 01000 50000 " + kPrefix17 + "first\nstopped\n"));
}

// Two connections of one process run at once (the registration's Threading = 0): one blocks in a
// ten-minute batch while the other queries, then cancels the first.
TEST_F(Odbc, ConnectionsOfOneProcessDoNotWaitForEachOther) {
    EXPECT_EQ(client({"parallel", cs()}),
              "exec: SQL_SUCCESS\ncols: 1\nrow: B ran while A waited\nmore: SQL_NO_DATA\n"
              "B: cancel SQL_SUCCESS\nA: exec SQL_ERROR\ndiag: HY008 0 [Microsoft][ODBC Driver 17 for SQL "
              "Server]Operation canceled\n");
}

TEST_F(Odbc, ManyConnectionsOfOneProcessAtOnce) {
    EXPECT_EQ(client({"stress", cs(), "8", "15"}), "good: 120\nbad: 0\n");
}

TEST_F(Odbc, FaultSwitches) {
    struct Case {
        std::vector<std::string> fault;
        std::vector<std::string> opts;
        std::string expected;
    };
    std::string longText = "A message longer than a diagnostic buffer holds:";
    while (longText.size() < 600) longText += " 0123456789";
    longText.resize(600);
    const Case cases[] = {
        {{"still-executing"},
         {},
         "exec: SQL_SUCCESS_WITH_INFO\ndiag: 01000 0 " + kPrefix17 +
             "a\nmore: SQL_STILL_EXECUTING\n"
             "again: SQL_ERROR\ndiag: HY010 0 [unixODBC][Driver Manager]Function sequence error\n"},
        {{"still-executing", "BACKUP"},
         {},
         "exec: SQL_SUCCESS_WITH_INFO\ndiag: 01000 0 " + kPrefix17 + "a\nmore: SQL_NO_DATA\n"},
        {{"error-3014"},
         {},
         "exec: SQL_SUCCESS_WITH_INFO\ndiag: 01000 0 " + kPrefix17 +
             "a\nmore: SQL_ERROR\n"
             "diag: 42000 3013 " +
             kPrefix17 +
             "RESTORE DATABASE is terminating abnormally.\n"
             "diag: 01000 3014 " +
             kPrefix17 +
             "RESTORE DATABASE successfully processed 0 pages in 0.001 seconds (0.000 MB/sec).\n"
             "more: SQL_NO_DATA\n"},
        {{"long-message"},
         {"--diagbuf", "512"},
         "exec: SQL_SUCCESS_WITH_INFO\ndiag: 01000 50000 " + (kPrefix17 + longText).substr(0, 511) +
             "\ndiagrc: SQL_SUCCESS_WITH_INFO " + std::to_string(kPrefix17.size() + 600) +
             "\nmore: SQL_SUCCESS_WITH_INFO\ndiag: 01000 0 " + kPrefix17 + "a\nmore: SQL_NO_DATA\n"},
    };
    for (auto& c : cases) {
        std::vector<std::string> set = {"fault", "set", "MSSQLSERVER"};
        set.insert(set.end(), c.fault.begin(), c.fault.end());
        sqlemu(set);
        EXPECT_EQ(walk("PRINT 'a'", c.opts), wrap(c.expected)) << c.fault[0];
        sqlemu({"fault", "clear", "MSSQLSERVER", c.fault[0]});
    }

    sqlemu({"login", "add", "MSSQLSERVER", "amy", "pw"});
    sqlemu({"fault", "set", "MSSQLSERVER", "refuse-login"});
    EXPECT_EQ(client({"run", cs()}),
              "connect: SQL_ERROR\ndiag: 28000 18456 " + kPrefix17 + "Login failed for user '" + userName() + "'.\n");
    sqlemu({"fault", "set", "MSSQLSERVER", "refuse-login", "bob"});
    EXPECT_EQ(client({"run", cs(".", "UID=amy;PWD=pw;")}), "connect: SQL_SUCCESS\ndisconnect: SQL_SUCCESS\n");
    sqlemu({"fault", "clear", "MSSQLSERVER", "refuse-login"});
    EXPECT_EQ(client({"run", cs()}), "connect: SQL_SUCCESS\ndisconnect: SQL_SUCCESS\n");
}

TEST_F(Odbc, EveryBatchIsLoggedVerbatim) {
    const std::string a = "PRINT 'a'\r\n  -- a comment\n", b = "SELEC 1";
    client({"run", cs(), a, b});
    EXPECT_EQ(kestest::readFile(root + "/MSSQLSERVER/statements.log"), a + "\nGO\n" + b + "\nGO\n");
}

// Two processes on one instance: one's batch sees a database that the other created while it
// waited, and concurrent workloads on one database lose no change.
TEST_F(Odbc, TwoProcessesShareOneInstance) {
    sqlemu({"db", "create", "MSSQLSERVER", "Busy", "--data-mb", "2"});
    std::string waiting;
    std::thread a([&] {
        waiting = walk(
            "RAISERROR('waiting', 0, 1) WITH NOWAIT WAITFOR DELAY '00:00:05' "
            "SELECT name FROM sys.databases WHERE name = 'Later'");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlemu({"db", "create", "MSSQLSERVER", "Later", "--data-mb", "1"});
    EXPECT_EQ(walk(kVersionQuery), wrap("exec: SQL_SUCCESS\ncols: 1\nrow: 1500\nmore: SQL_NO_DATA\n"));
    std::thread t1([&] { sqlemu({"db", "touch", "MSSQLSERVER", "Busy", "--pages", "60"}); });
    std::thread t2([&] { sqlemu({"db", "touch", "MSSQLSERVER", "Busy", "--pages", "40"}); });
    t1.join();
    t2.join();
    a.join();
    EXPECT_EQ(waiting, wrap("exec: SQL_SUCCESS_WITH_INFO\ndiag: 01000 50000 " + kPrefix17 +
                            "waiting\nmore: SQL_SUCCESS\ncols: 1\nrow: Later\nmore: SQL_NO_DATA\n"));
    EXPECT_NE(sqlemu({"db", "show", "MSSQLSERVER", "Busy"}).find("\ncurrent_lsn: 1100\n"), std::string::npos);
}

TEST_F(Odbc, AdminToolShowsChecksumsAndRefusesBadInput) {
    sqlemu({"db", "create", "MSSQLSERVER", "A", "--data-mb", "2", "--seed", "9"});
    std::string show = sqlemu({"db", "show", "MSSQLSERVER", "A"});
    EXPECT_EQ(show.substr(0, show.find("\nname:") + 1),
              "state: ONLINE\nuser_access: MULTI_USER\nfile: 1\tA\t1\t2097152\t" + root +
                  "/MSSQLSERVER/data/A.mdf\n"
                  "file: 2\tA_log\t0\t2097152\t" +
                  root + "/MSSQLSERVER/log/A_log.ldf\n");
    std::string sum = sqlemu({"db", "checksum", "MSSQLSERVER", "A"});
    EXPECT_EQ(sum.size(), 65u);
    sqlemu({"db", "set", "MSSQLSERVER", "A", "state", "STANDBY"});
    sqlemu({"db", "set", "MSSQLSERVER", "A", "user-access", "SINGLE_USER"});
    show = sqlemu({"db", "show", "MSSQLSERVER", "A"});
    EXPECT_EQ(show.substr(0, show.find("\nfile:")), "state: STANDBY\nuser_access: SINGLE_USER");
    EXPECT_EQ(walk("SELECT state, is_read_only, is_in_standby, user_access FROM sys.databases WHERE name='a'"),
              wrap("exec: SQL_SUCCESS\ncols: 4\nrow: 0|1|1|1\nmore: SQL_NO_DATA\n"));
    sqlemu({"db", "set-path", "MSSQLSERVER", "A", "A_log", tmp.path() + "/moved.ldf"});
    EXPECT_EQ(sqlemu({"db", "checksum", "MSSQLSERVER", "A"}), sum);
    sqlemu({"db", "set", "MSSQLSERVER", "A", "state", "ONLINE"});
    sqlemu({"db", "touch", "MSSQLSERVER", "A", "--pages", "3"});
    EXPECT_NE(sqlemu({"db", "checksum", "MSSQLSERVER", "A"}), sum);

    EXPECT_EQ(sqlemu({"sql", "MSSQLSERVER", "PRINT 'p' SELECT name, state_desc FROM sys.databases WHERE name = 'A'"}),
              "info: 01000 0 p\ncolumns: name|state_desc\nrow: A|ONLINE\n");
    const std::pair<std::vector<std::string>, int> bad[] = {
        {{"sql", "MSSQLSERVER", "SELEC"}, 1},
        {{"db", "show", "MSSQLSERVER", "nosuch"}, 1},
        {{"db", "checksum", "NOINST", "A"}, 1},
        {{"db", "create", "MSSQLSERVER", "A"}, 1},
        {{"db", "create", "MSSQLSERVER", "B", "--data-mb", "x"}, 2},
        {{"instance", "create", "MSSQLSERVER"}, 1},
        {{"instance", "create", "X", "--version", "15.x"}, 2},
        {{"fault", "set", "MSSQLSERVER"}, 2},
        {{"frobnicate"}, 2},
    };
    for (auto& [args, status] : bad) {
        RunResult r = sqlemuResult(args);
        EXPECT_EQ(r.status, status) << args[0] << " " << r.err;
        EXPECT_NE(r.err.find("sqlemu: "), std::string::npos);
    }
}

TEST_F(Odbc, IsqlConnectsAndRunsTheVersionQuery) {
    kestest::Env e = env;
    if (std::string(ASAN_PRELOAD).size() > 0) {
        e["LD_PRELOAD"] = ASAN_PRELOAD;
        e["ASAN_OPTIONS"] = "detect_leaks=0";
    }
    RunResult r = kestest::run({ISQL_BIN, "-k", cs(), "-b", "-d,"}, e, std::string(kVersionQuery) + "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1500\n") << r.err;

    // A data source of odbc.ini, with a login: isql then connects through SQLConnect.
    sqlemu({"login", "add", "MSSQLSERVER", "amy", "pw"});
    kestest::writeFile(tmp.path() + "/odbc/odbc.ini",
                       "[emu]\nDriver = ODBC Driver 18 for SQL Server\nServer = (local)\nDatabase = msdb\n");
    r = kestest::run({ISQL_BIN, "emu", "amy", "pw", "-b", "-d,"}, e, "SELECT @@SERVERNAME x, DB_NAME() y\n");
    EXPECT_EQ(r.status, 0) << r.err;
    std::string host = hostName();
    for (auto& c : host) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(r.out, host + ",msdb\n") << r.err;
    r = kestest::run({ISQL_BIN, "emu", "amy", "wrong", "-b", "-v"}, e, "");
    EXPECT_NE(r.status, 0);
    // isql reads it with SQLError, and the manager puts its own "[unixODBC]" before a failed
    // SQLConnect's records then; SQLGetDiagRec after SQLDriverConnect gives them unchanged.
    EXPECT_NE(
        (r.out + r.err)
            .find(
                "[28000][unixODBC][Microsoft][ODBC Driver 18 for SQL Server][SQL Server]Login failed for user 'amy'."),
        std::string::npos)
        << r.out << r.err;
}
