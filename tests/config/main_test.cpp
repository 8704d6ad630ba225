// kestrune's start-up as far as it is built: log, command line, "-h", "-v".
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using kestest::TempDir;

namespace {

// Runs a copy of kestrune in dir. Its ODBCSYSINI and HOME are empty folders of dir, so that it finds no
// ODBC driver whatever the environment or the machine registers.
kestest::RunResult runKestrune(const TempDir& dir, std::vector<std::string> args) {
    std::string exe = dir / "kestrune";
    if (access(exe.c_str(), X_OK) != 0) kestest::placeProgram(KESTRUNE_EXE, dir.path(), "kestrune");
    args.insert(args.begin(), exe);
    args.insert(args.begin() + 1, "-M");  // the single-instance lock is machine-wide: parallel runs must not meet
    std::filesystem::create_directories(dir / "odbc");
    std::filesystem::create_directories(dir / "home");
    return kestest::run(args, {{"ODBCSYSINI", dir / "odbc"}, {"HOME", dir / "home"}});
}

TEST(ConfigKestrune, HelpAndVersionSwitches) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"-v"}, "Kestrune Version - [1.0.0.0]"},
        {{"-d=x", "-v", "-a=R"}, "Kestrune Version - [1.0.0.0]"},
        {{"-h"}, ""},
        {{"-h", "-v"}, ""},
        {{"-v", "-h"}, ""},
    };
    TempDir dir;
    for (const Case& c : cases) {
        kestest::RunResult r = runKestrune(dir, c.args);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, "");
    }
    // The log was opened all the same.
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Log"));
}

TEST(ConfigKestrune, OtherRunsAreRefusedNotFaked) {
    TempDir dir;
    kestest::writeFile(dir / "config.ini", "[Default]\nDB=sales\nFiles=/tmp/a.bak\n");
    kestest::RunResult r = runKestrune(dir, {"-a=B"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("]  ODBC Driver is missing. Please make sure ODBC Driver 18 for SQL Server is installed."),
              std::string::npos)
        << r.out;
}

TEST(ConfigKestrune, UnopenableLogEndsWithMinusOneSilently) {
    TempDir dir;
    kestest::writeFile(dir / "Log", "a file where the folder should be");
    kestest::RunResult r = runKestrune(dir, {"-v"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
}

TEST(ConfigKestrune, OverLongOptionStopsBeforeAnythingRuns) {
    TempDir dir;
    kestest::RunResult r = runKestrune(dir, {"-v", "-H=" + std::string(300, 'h')});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("The value of option -H= is too long: 300 characters, at most 255 are allowed."),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Version"), std::string::npos);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
