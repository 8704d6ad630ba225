#include "tests/sql/harness.h"
#include "tests/support/TempDir.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace sqltest {

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

int Shell(const std::string& cmd, std::string* out, bool mergeErr) {
    std::string full = cmd + (mergeErr ? " 2>&1" : "");
    FILE* p = popen(full.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        if (out) out->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    ASSERT_TRUE(f.good()) << path;
}

const Emu& EmuEnv() {
    static kestest::TempDir made;  // removed when the process ends
    static Emu emu = [] {
        Emu e;
        e.dir = made.path();
        e.root = e.dir + "/root";
        e.odbc = e.dir + "/odbc";
        Shell("mkdir -p " + Quote(e.dir + "/home") + " " + Quote(e.root) + " " + Quote(e.odbc));
        setenv("HOME", (e.dir + "/home").c_str(), 1);
        setenv("ODBCSYSINI", e.odbc.c_str(), 1);
        setenv("SQLEMU_ROOT", e.root.c_str(), 1);
        std::string out;
        if (Shell(Quote(SQLEMU_BIN) + " odbc-register " + Quote(e.odbc) + " 'SQL Server'", &out) != 0)
            ADD_FAILURE() << "odbc-register: " << out;
        out.clear();
        if (Shell(Quote(SQLEMU_BIN) + " instance create MSSQLSERVER", &out) != 0)
            ADD_FAILURE() << "instance create: " << out;
        return e;
    }();
    return emu;
}

int Sqlemu(const std::string& args, std::string* out) {
    EmuEnv();
    return Shell(Quote(SQLEMU_BIN) + " " + args, out);
}

std::string TrustedConn(const std::string& server, const std::string& driver) {
    return "DRIVER={" + driver + "};SERVER=" + server + ";DATABASE=msdb;Trusted_Connection=yes;";
}

}  // namespace sqltest
