#include "tests/sql/harness.h"
#include "sql/Sql.h"
#include "tests/support/TestProcess.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace sqltest {

const Emu& EmuEnv() {
    static kestest::TempDir made;  // removed when the process ends
    static Emu emu = [] {
        Emu e;
        e.dir = made.path();
        e.root = e.dir + "/root";
        e.odbc = e.dir + "/odbc";
        for (const std::string& d : {e.dir + "/home", e.root, e.odbc}) std::filesystem::create_directories(d);
        setenv("HOME", (e.dir + "/home").c_str(), 1);
        setenv("ODBCSYSINI", e.odbc.c_str(), 1);
        setenv("SQLEMU_ROOT", e.root.c_str(), 1);
        kestest::RunResult r = kestest::run({SQLEMU_BIN, "odbc-register", e.odbc, "SQL Server"});
        if (r.status != 0) ADD_FAILURE() << "odbc-register: " << r.out << r.err;
        r = kestest::run({SQLEMU_BIN, "instance", "create", "MSSQLSERVER"});
        if (r.status != 0) ADD_FAILURE() << "instance create: " << r.out << r.err;
        return e;
    }();
    return emu;
}

int Sqlemu(const std::string& args, std::string* out) {
    EmuEnv();
    const kestest::RunResult r = kestest::shell(kestest::shellQuote(SQLEMU_BIN) + " " + args + " 2>&1");
    if (out) *out += r.out;
    return r.status;
}

std::string TrustedConn(const std::string& server, const std::string& driver) {
    return "DRIVER={" + driver + "};SERVER=" + server + ";DATABASE=msdb;Trusted_Connection=yes;";
}

std::string FaultyInstance(const std::string& instance, const std::string& fault) {
    std::string out;
    if (Sqlemu("instance create " + instance, &out) != 0 || Sqlemu("fault set " + instance + " " + fault, &out) != 0)
        ADD_FAILURE() << "the instance " << instance << " with " << fault << ": " << out;
    return "localhost\\" + instance;
}

void Connected::SetUp() {
    EmuEnv();
    std::snprintf(g_odbcDriver, sizeof g_odbcDriver, "%s", "ODBC Driver 17 for SQL Server");
}

}  // namespace sqltest
