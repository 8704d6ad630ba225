// QuerySQL and the message walk, through the driver manager and the emulated instance.
#include <cstring>
#include <string>

#include "engine/startup.h"
#include "sql/Sql.h"
#include "tests/sql/harness.h"
#include "tests/support/Capture.h"

using namespace sqltest;

namespace {

class Query : public Connected {};

TEST_F(Query, ResultTexts) {
    struct Case {
        const char* batch;
        bool first;
        std::string want;
    } cases[] = {
        {kVersionQuery, true, "1500"},
        {"SELECT 'a', 'b'", false, "a|b"},
        {"SELECT 'a', 'b'", true, "a"},
        {"SELECT NULL", true, "NULL"},
        {"SELECT 'x', NULL, 'z'", false, "x|NULL|z"},
        // Trailing blanks, tabs and line ends go, leading and inner ones stay.
        {"SELECT 'v  \r\n\t'", true, "v"},
        {"SELECT '  v w '", false, "  v w"},
        {"SELECT 'a ', 'b\t'", false, "a|b"},
        // Two results: the first value of the last one, or both joined.
        {"SELECT 'x' SELECT 'y'", true, "y"},
        {"SELECT 'x' SELECT 'y'", false, "xy"},
        // A result without rows leaves the text as it was.
        {"SELECT 'x' SELECT name FROM sys.databases WHERE name = 'no such db'", false, "x"},
        {"SELECT 'x' SELECT name FROM sys.databases WHERE name = 'no such db'", true, "x"},
        // Messages between the results do not disturb them.
        {"PRINT 'hello' SELECT 'x'", true, "x"},
    };
    for (const Case& c : cases) {
        std::string log;
        std::string got;
        log = kestest::capturedStdout([&] { got = QuerySQL(conn_.c_str(), c.batch, c.first); });
        EXPECT_EQ(got, c.want) << c.batch;
        EXPECT_EQ(log.find("SQL Server ODBC driver reported"), std::string::npos) << c.batch << log;
    }
}

TEST_F(Query, JoinedRows) {
    // Two rows of two columns: a|b, a line feed, c|d, no line feed at the end.
    ASSERT_EQ(Sqlemu("db create MSSQLSERVER Rows --data-mb 1 --log-mb 1"), 0);
    std::string got = QuerySQL(conn_.c_str(), "SELECT fileid, groupid FROM Rows..sysfiles ORDER BY fileid", false);
    EXPECT_EQ(got, "1|1\n2|0");
    EXPECT_EQ(QuerySQL(conn_.c_str(), "SELECT fileid, groupid FROM Rows..sysfiles ORDER BY fileid", true), "1");
}

TEST_F(Query, LongValuesComeBackWhole) {
    // A MOVE-clause list of hundreds of files is one long value: cut, it would end mid-name.
    for (size_t size : {size_t(8191), size_t(8192), size_t(10000), size_t(100000)}) {
        std::string value;
        for (size_t k = 0; k < size; ++k) value += static_cast<char>('a' + k % 26);
        std::string got = QuerySQL(conn_.c_str(), ("SELECT '" + value + "'").c_str(), true);
        EXPECT_EQ(got, value) << size;
        got = QuerySQL(conn_.c_str(), ("SELECT 'a', '" + value + "  ', 'z'").c_str(), false);
        EXPECT_EQ(got, "a|" + value + "|z") << size;
    }
}

TEST_F(Query, FailedLoginLogsTheDriverRecords) {
    ASSERT_EQ(Sqlemu("login add MSSQLSERVER kes right"), 0);
    std::string conn = "DRIVER={ODBC Driver 17 for SQL Server};SERVER=localhost;DATABASE=msdb;UID=kes;PWD=wrong;";
    std::string got;
    std::string log = kestest::capturedStdout([&] { got = QuerySQL(conn.c_str(), kVersionQuery, true); });
    EXPECT_EQ(got, "");
    EXPECT_NE(log.find("]  SQL Server ODBC driver reported the following error SQLDriverConnect\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("]  28000:1:18456:[Microsoft][ODBC Driver 17 for SQL Server][SQL Server]Login failed for "
                       "user 'kes'.\n\n"),
              std::string::npos)
        << log;

    // The right pass word, and a server that does not exist.
    conn = "DRIVER={ODBC Driver 17 for SQL Server};SERVER=localhost;DATABASE=msdb;UID=kes;PWD=right;";
    EXPECT_EQ(QuerySQL(conn.c_str(), kVersionQuery, true), "1500");
    log = kestest::capturedStdout([&] { got = QuerySQL(TrustedConn("nohost").c_str(), kVersionQuery, true); });
    EXPECT_EQ(got, "");
    EXPECT_NE(log.find("]  SQL Server ODBC driver reported the following error SQLDriverConnect\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find(":[Microsoft][ODBC Driver 17 for SQL Server]A network-related"), std::string::npos) << log;
}

TEST_F(Query, RefusedConnectionNamesServerAndLogin) {
    // After the driver's own lines, one that says what was tried; never the password.
    ASSERT_EQ(Sqlemu("login add MSSQLSERVER kes right"), 0);
    const std::string d = "DRIVER={ODBC Driver 17 for SQL Server};";
    struct Case {
        std::string conn;
        const char* line;
    } cases[] = {
        {d + "SERVER=;DATABASE=msdb;Trusted_Connection=yes;",
         "Cannot connect to server (none) with a trusted login: no server is set (Instance in config.ini, or -i=)."},
        {d + "SERVER=Nightly;DATABASE=msdb;Trusted_Connection=yes;",
         "Cannot connect to server [Nightly] with a trusted login."},
        {d + "SERVER=localhost;DATABASE=msdb;UID=kes;PWD=Hidden-Pass;",
         "Cannot connect to server [localhost] with the login of user [kes]."},
        // Keys without regard to case, in any order; the server is taken whole, blanks included.
        {d + "pwd=Hidden-Pass;uid=kes;server=no host;Database=msdb;",
         "Cannot connect to server [no host] with the login of user [kes]."},
        {"DRIVER={SQL Server};SERVER=;UID=kes;PWD=Hidden-Pass;",
         "Cannot connect to server (none) with the login of user [kes]: no server is set (Instance in config.ini, "
         "or -i=)."},
    };
    for (const Case& c : cases) {
        std::string got = "x";
        const std::string log = kestest::capturedStdout([&] { got = QuerySQL(c.conn.c_str(), kVersionQuery, true); });
        EXPECT_EQ(got, "") << c.conn;
        const size_t driver = log.find("]  SQL Server ODBC driver reported the following error SQLDriverConnect\n");
        const size_t mine = log.find(std::string("]  ") + c.line + "\n");
        EXPECT_NE(mine, std::string::npos) << c.conn << "\n" << log;
        EXPECT_LT(driver, mine) << log;
        EXPECT_EQ(log.find("Hidden-Pass"), std::string::npos) << log;
    }
    // A connection that succeeds and a batch that fails after it name nothing of the kind.
    const std::string log = kestest::capturedStdout([&] { QuerySQL(conn_.c_str(), "SELEC 1", true); });
    EXPECT_EQ(log.find("Cannot connect"), std::string::npos) << log;
}

TEST_F(Query, ProgressShapedMessages) {
    // L = 25 + 29 = 54: a message must be longer than 54 + 19 = 73 characters
    // (the driver's prefix is 54 of them) to be logged.
    struct Case {
        const char* batch;
        const char* line;  // nullptr: nothing logged
    } cases[] = {
        {"RAISERROR('10 percent processed.', 0, 1) WITH NOWAIT", "Operation Progress: 10 percent processed."},
        {"PRINT 'Done 100% of the pages, 20% of the log.'",
         "Operation Progress: Done 100 percent of the pages, 20% of the log."},
        {"PRINT '1234567890123456789'", nullptr},  // 73 characters
        {"PRINT '12345678901234567890'", "Operation Progress: 12345678901234567890"},
    };
    for (const Case& c : cases) {
        std::string log = kestest::capturedStdout([&] { QuerySQL(conn_.c_str(), c.batch, true); });
        if (c.line) {
            EXPECT_NE(log.find(std::string("]  ") + c.line + "\n"), std::string::npos) << c.batch << log;
        } else {
            EXPECT_EQ(log.find("Operation Progress"), std::string::npos) << c.batch << log;
        }
    }

    // Another driver name changes the prefix length: the same 21-character text
    // after the 54-character prefix of driver 18 still fits exactly.
    std::snprintf(g_odbcDriver, sizeof g_odbcDriver, "%s", "ODBC Driver 18 for SQL Server");
    std::string conn18 = TrustedConn("localhost", "ODBC Driver 18 for SQL Server");
    std::string log = kestest::capturedStdout(
        [&] { QuerySQL(conn18.c_str(), "RAISERROR('10 percent processed.', 0, 1) WITH NOWAIT", true); });
    EXPECT_NE(log.find("]  Operation Progress: 10 percent processed.\n"), std::string::npos) << log;

    // With no driver chosen the walk names a fallback and counts with its length.
    g_odbcDriver[0] = '\0';
    log = kestest::capturedStdout([&] { QuerySQL(conn_.c_str(), "PRINT '12345678901234567890'", true); });
    EXPECT_STREQ(g_odbcDriver, "ODBC SQL Server Driver");
    EXPECT_NE(log.find("]  Operation Progress: Server]12345678901234567890\n"), std::string::npos) << log;
}

TEST_F(Query, FailuresInTheBatch) {
    std::string got;
    // Rejected at once: the label and the records; nothing comes back.
    std::string log = kestest::capturedStdout([&] { got = QuerySQL(conn_.c_str(), "SELEC 1", true); });
    EXPECT_EQ(got, "");
    EXPECT_NE(log.find("]  SQL Server ODBC driver reported the following error SQLExecDirect()\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("]  42000:1:102:"), std::string::npos) << log;

    // An error after the first result: what was read stays.
    log = kestest::capturedStdout(
        [&] { got = QuerySQL(conn_.c_str(), "SELECT 'x' RAISERROR('broke', 16, 1) SELECT 'y'", false); });
    EXPECT_EQ(got, "x");
    EXPECT_NE(log.find("]  Errors resulted in failure of the command.\n"), std::string::npos) << log;
}

TEST_F(Query, ErrorCarrying3014Recovers) {
    const std::string server = FaultyInstance("F3014", "error-3014");
    std::string got;
    std::string log = kestest::capturedStdout(
        [&] { got = QuerySQL(TrustedConn(server).c_str(), "SELECT 'x' PRINT 'p' SELECT 'y'", false); });
    EXPECT_NE(log.find("]  Errors were encountered but the command was able to recover and successfully complete.\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Errors resulted in failure"), std::string::npos) << log;
    EXPECT_EQ(got, "xy");
}

TEST_F(Query, UnexpectedReturnCodeEndsTheWalkOnly) {
    const std::string server = FaultyInstance("FSTILL", "still-executing");
    std::string got;
    std::string log =
        kestest::capturedStdout([&] { got = QuerySQL(TrustedConn(server).c_str(), "SELECT 'x' SELECT 'y'", false); });
    EXPECT_NE(log.find("]  Unexpected SQLExec result 2\n"), std::string::npos) << log;
    EXPECT_EQ(got, "x");
}

TEST_F(Query, LongMessageIsCutToItsBuffer) {
    const std::string server = FaultyInstance("FLONG", "long-message");
    std::string log = kestest::capturedStdout([&] { QuerySQL(TrustedConn(server).c_str(), "PRINT 'x'", true); });
    size_t at = log.find("]  Operation Progress: ");
    ASSERT_NE(at, std::string::npos) << log;
    size_t end = log.find('\n', at);
    // 511 characters of message less the 54 of the prefix.
    EXPECT_EQ(end - at - std::strlen("]  Operation Progress: "), 511u - 54u) << log;
}

TEST_F(Query, FixedDriverForm) {
    // "SQL Server" registered as one more name of the emulated driver.
    ASSERT_EQ(Sqlemu("login add MSSQLSERVER kes pw"), 0);
    std::string got = QuerySQL("localhost", "kes", "pw", "SELECT 'via the fixed driver'", true);
    EXPECT_EQ(got, "via the fixed driver");

    // Texts that would not fit its 1024-byte buffer are refused before anything is sent.
    std::string big(990, 's');
    std::string log = kestest::capturedStdout([&] { got = QuerySQL(big.c_str(), "kes", "pw", "SELECT 1", true); });
    EXPECT_EQ(got, "");
    EXPECT_NE(log.find("]  The connection string does not fit its 1023 characters.\n"), std::string::npos) << log;
}

}  // namespace

namespace {

// The interactive test has no desktop to prompt on: it gives up cleanly, and
// whatever the driver says, the result is 0.
TEST(PromptedConnection, EndsWithZeroWithoutADesktop) {
    EmuEnv();
    EXPECT_EQ(TestOdbcConnection(), 0);
}

}  // namespace
