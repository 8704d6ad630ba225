// Shared helpers of the SQL access tests: child commands and an
// emulated instance reached through the real unixODBC driver manager.
#pragma once

#include <string>

namespace sqltest {

// Runs a shell command; its standard output (and error, with mergeErr) goes to
// out. Returns the exit status (0..255), or -1 when it did not exit normally.
int Shell(const std::string& cmd, std::string* out = nullptr, bool mergeErr = true);

// Single-quotes text for the shell.
std::string Quote(const std::string& s);

// Writes text to path; fails the test when it cannot.
void WriteFile(const std::string& path, const std::string& text);

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

// Runs the emulator's admin tool with arguments against this process's root.
int Sqlemu(const std::string& args, std::string* out = nullptr);

// A connection string over the driver of that name to SERVER=server.
std::string TrustedConn(const std::string& server, const std::string& driver = "ODBC Driver 17 for SQL Server");

// The lines that Log wrote to standard output while fn ran.
template <class Fn>
std::string CaptureLog(Fn fn);

}  // namespace sqltest

#include <gtest/gtest.h>

template <class Fn>
std::string sqltest::CaptureLog(Fn fn) {
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
