// The statement thread, run on a thread of its own as the device-set run starts it.
#include <unistd.h>

#include <ctime>
#include <string>

#include "platform/win32/win32.h"
#include "sql/Sql.h"
#include "support/Log.h"
#include "tests/sql/harness.h"
#include "tests/support/Capture.h"
#include "tests/support/TestProcess.h"

using namespace sqltest;

namespace {

// Starts execSQL with CreateThread, waits for it and gives its exit code.
int32_t RunStatementThread(const std::string& conn, const std::string& batch) {
    SqlExecParam param{conn.c_str(), batch.c_str()};
    HANDLE h = CreateThread(nullptr, 0, execSQL, &param, 0, nullptr);
    EXPECT_NE(h, nullptr);
    if (h == nullptr) return 12345;
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    CloseHandle(h);
    return static_cast<int32_t>(code);
}

class Exec : public Connected {};

TEST_F(Exec, CompletingBatchLogsItsProgress) {
    int32_t code = 99;
    std::string log = kestest::capturedStdout([&] {
        code = RunStatementThread(conn_,
                                  "RAISERROR('10 percent processed.', 0, 1) WITH NOWAIT "
                                  "WAITFOR DELAY '00:00:00' "
                                  "SELECT name FROM sys.databases "
                                  "PRINT '100% of it processed, and then some.'");
    });
    EXPECT_EQ(code, 0);
    EXPECT_NE(log.find("]  Operation Progress: 10 percent processed.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("]  Operation Progress: 100 percent of it processed, and then some.\n"), std::string::npos)
        << log;
    size_t first = log.find("10 percent processed."), second = log.find("100 percent of it");
    EXPECT_LT(first, second) << "messages out of order\n" << log;
}

TEST_F(Exec, FailuresGiveMinusOne) {
    ASSERT_EQ(Sqlemu("login add MSSQLSERVER kes right"), 0);
    struct Case {
        std::string conn, batch;
        const char* line;  // must show; nullptr: none
    } cases[] = {
        {"DRIVER={ODBC Driver 17 for SQL Server};SERVER=localhost;DATABASE=msdb;UID=kes;PWD=wrong;", "PRINT 'x'",
         "SQL Server ODBC driver reported the following error SQLExecDirect()"},
        {conn_, "SELEC 1", "SQL Server ODBC driver reported the following error SQLExecDirect()"},
        // An error result without 3014: the run failed, with no message of its own;
        // its records show as progress lines where they are long enough.
        {conn_, "PRINT 'a' RAISERROR('Operation failed on purpose, as the test asks.', 16, 1)",
         "Operation Progress: Operation failed on purpose, as the test asks."},
    };
    for (const Case& c : cases) {
        int32_t code = 99;
        std::string log = kestest::capturedStdout([&] { code = RunStatementThread(c.conn, c.batch); });
        EXPECT_EQ(code, -1) << c.batch;
        if (c.line) {
            EXPECT_NE(log.find(std::string("]  ") + c.line + "\n"), std::string::npos) << log;
        }
        EXPECT_EQ(log.find("Errors resulted in failure"), std::string::npos) << log;
    }
    // Only one label for every step: the failed login is also "SQLExecDirect()".
    std::string log = kestest::capturedStdout([&] { RunStatementThread(cases[0].conn, "PRINT 'x'"); });
    EXPECT_EQ(log.find("error SQLDriverConnect"), std::string::npos) << log;
    EXPECT_NE(log.find("]  28000:1:18456:"), std::string::npos) << log;
    // The statement thread names what it tried as the queries do.
    EXPECT_NE(log.find("]  Cannot connect to server [localhost] with the login of user [kes].\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("wrong"), std::string::npos) << log;
}

TEST_F(Exec, ErrorCarrying3014Recovers) {
    const std::string server = FaultyInstance("X3014", "error-3014");
    int32_t code = 99;
    std::string log =
        kestest::capturedStdout([&] { code = RunStatementThread(TrustedConn(server), "PRINT 'a' PRINT 'b'"); });
    EXPECT_EQ(code, 0);
    EXPECT_NE(log.find("]  Errors were encountered but the command was able to recover and successfully complete.\n"),
              std::string::npos)
        << log;
}

// The log file of this test binary: <its folder>/Log/<its name>-YYYYMMDD.log.
std::string LogFilePath() {
    const std::string path = kestest::selfExe();
    const size_t slash = path.rfind('/');
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char day[16];
    std::strftime(day, sizeof day, "%Y%m%d", &tm);
    return path.substr(0, slash) + "/Log/" + path.substr(slash + 1) + "-" + day + ".log";
}

// An unexpected return code ends the whole process with -10 from the
// statement thread, and the reason still reaches the console and the log file.
TEST_F(Exec, StillExecutingEndsTheProcess) {
    const std::string server = FaultyInstance("XSTILL", "still-executing");
    std::string conn = TrustedConn(server);
    // Other test processes append to the same log file: a mark of this run's own.
    std::string mark = "still-executing run " + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
    EXPECT_EXIT(
        {
            dup2(2, 1);  // the log's console lines go where the death test looks
            Log::WInfo("%s", mark.c_str());
            RunStatementThread(conn, "SELECT 'x' SELECT 'y'");
            std::fprintf(stderr, "the process went on\n");
            std::exit(0);
        },
        testing::ExitedWithCode(246), "Unexpected SQLExec result 2");

    const std::string text = kestest::readFile(LogFilePath());
    size_t at = text.find("]  " + mark + "\n");
    ASSERT_NE(at, std::string::npos) << "the log file lost the lines before the ending: " << LogFilePath();
    EXPECT_NE(text.find("]  Unexpected SQLExec result 2\n", at), std::string::npos);
}

}  // namespace
