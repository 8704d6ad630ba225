// Driver detection over odbcinst.ini files that list chosen drivers. The driver
// manager reads its set-up once per process, so every case runs the detection in
// a child process (this test binary in its probe mode) with its own ODBCSYSINI.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TestProcess.h"

namespace {

struct Driver {
    std::string name;
    std::string extra;  // more lines of its section
};

struct DetectCase {
    const char* title;
    std::vector<Driver> drivers;
    int result;
    std::string chosen;  // "unchanged" when the buffer must keep its text
};

std::string Long(char c, size_t n) { return std::string(n, c); }

const std::string k17 = "ODBC Driver 17 for SQL Server";
const std::string k18 = "ODBC Driver 18 for SQL Server";

std::vector<DetectCase> Cases() {
    return {
        {"17 then 18", {{k17, ""}, {k18, ""}}, 18, k18},
        {"18 then 17", {{k18, ""}, {k17, ""}}, 18, k18},
        {"13.1 counts as 13",
         {{"ODBC Driver 13.1 for SQL Server", ""}, {"SQL Server", ""}},
         13,
         "ODBC Driver 13.1 for SQL Server"},
        {"no number counts as 0", {{"ODBC Driver for SQL Server", ""}}, 0, "ODBC Driver for SQL Server"},
        {"numbered beats unnumbered", {{"ODBC Driver for SQL Server", ""}, {k17, ""}}, 17, k17},
        {"negative number never chosen", {{"ODBC Driver -3 for SQL Server", ""}}, -1, "unchanged"},
        {"lower case is no candidate", {{"odbc driver 19 for sql server", ""}, {k17, ""}}, 17, k17},
        {"only the legacy driver", {{"SQL Server", ""}, {"FreeTDS", ""}}, -1, "unchanged"},
        {"no drivers at all", {}, -1, "unchanged"},
        {"same number keeps the first", {{k17, ""}, {k17 + " Preview", ""}}, 17, k17},
        {"a huge number does not overflow",
         {{"ODBC Driver 99999999999 for SQL Server", ""}, {k18, ""}},
         2147483647,
         "ODBC Driver 99999999999 for SQL Server"},
        // A description or attribute text that does not fit its 256-byte buffer
        // ends the walk: that driver and the ones after it are not considered.
        {"long description ends the walk",
         {{k17, ""}, {"ODBC Driver 19 for SQL Server " + Long('x', 300), ""}, {k18, ""}},
         17,
         k17},
        {"long attributes end the walk", {{k17, ""}, {k18, "Description=" + Long('d', 400)}}, 17, k17},
    };
}

void PrintTo(const DetectCase& c, std::ostream* os) { *os << c.title; }

class DetectTest : public testing::TestWithParam<DetectCase> {};

TEST_P(DetectTest, ChoosesHighestNumber) {
    const DetectCase& c = GetParam();
    kestest::TempDir dir;
    std::filesystem::create_directories(dir / "home");
    std::string ini;
    for (const Driver& d : c.drivers) {
        ini += "[" + d.name + "]\nDriver=" + dir / "none.so\n";
        if (!d.extra.empty()) ini += d.extra + "\n";
        ini += "\n";
    }
    kestest::writeFile(dir / "odbcinst.ini", ini);

    const kestest::RunResult r =
        kestest::run({kestest::selfExe(), "--probe-detect"}, {{"HOME", dir / "home"}, {"ODBCSYSINI", dir.path()}});
    const std::string& out = r.out;
    ASSERT_EQ(r.status, 0) << out << r.err;
    EXPECT_NE(out.find("result=" + std::to_string(c.result) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nname=" + c.chosen + "\n"), std::string::npos) << out;

    // Every driver the walk looked at is logged, the chosen one once more.
    for (const Driver& d : c.drivers) {
        if (d.name.size() > 255 || !d.extra.empty()) break;
        EXPECT_NE(out.find("]  Detected Driver - " + d.name + "\n"), std::string::npos) << out;
    }
    if (c.result >= 0)
        EXPECT_NE(out.find("]  Decide to use - " + c.chosen + "\n"), std::string::npos) << out;
    else
        EXPECT_EQ(out.find("Decide to use"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Drivers, DetectTest, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<DetectCase>& i) {
                             std::string n;
                             for (const char* p = i.param.title; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

}  // namespace
