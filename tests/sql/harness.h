// Shared helpers of the SQL access tests: an emulated instance reached through the real unixODBC
// driver manager. Files and child processes come from tests/support.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace sqltest {

// The process-wide emulated set-up: HOME points at an empty folder, ODBCSYSINI
// at a folder registered with the emulated driver ("ODBC Driver 17 for SQL
// Server", "ODBC Driver 18 for SQL Server" and "SQL Server"), SQLEMU_ROOT at a private data
// root with the default instance. Made once per process, before the first
// ODBC call (the driver manager reads its set-up once).
struct Emu {
    std::string dir;   // the process's private folder
    std::string root;  // SQLEMU_ROOT
    std::string odbc;  // ODBCSYSINI
};
const Emu& EmuEnv();

// Runs the emulator's admin tool with arguments against this process's root; its output (standard
// output and error) goes to out.
int Sqlemu(const std::string& args, std::string* out = nullptr);

// A connection string over the driver of that name to SERVER=server.
std::string TrustedConn(const std::string& server, const std::string& driver = "ODBC Driver 17 for SQL Server");

// A new instance of that name with the emulator's fault switched on; returns the server name that
// reaches it.
std::string FaultyInstance(const std::string& instance, const std::string& fault);

// The emulated set-up made, and ODBC Driver 17 chosen as start-up would choose it.
class Connected : public testing::Test {
protected:
    void SetUp() override;
    std::string conn_ = TrustedConn("localhost");
};

}  // namespace sqltest
