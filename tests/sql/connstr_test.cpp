// Connection strings and the small text routine of the message walk.
#include <cstring>
#include <string>

#include "sql/Sql.h"
#include "tests/sql/harness.h"

namespace {

TEST(ConnString, FormsTakeValuesUnchanged) {
    char out[512];
    ASSERT_TRUE(ComposeConnectionString(out, sizeof out, ConnKey::Run, true, "ODBC Driver 18 for SQL Server", ".\\INST",
                                        "u", "p"));
    EXPECT_STREQ(out, "DRIVER={ODBC Driver 18 for SQL Server};SERVER=.\\INST;DATABASE=msdb;Trusted_Connection=yes;");
    // A pass word with a semicolon and braces goes in as it is.
    ASSERT_TRUE(ComposeConnectionString(out, sizeof out, ConnKey::Run, false, "D", "srv", "sa", "a;b}c"));
    EXPECT_STREQ(out, "DRIVER={D};SERVER=srv;DATABASE=msdb;UID=sa;PWD=a;b}c;");
    ASSERT_TRUE(ComposeConnectionString(out, sizeof out, ConnKey::Service, false, "D", "srv", "sa", "pw"));
    EXPECT_STREQ(out, "DRIVER={D};SERVER=srv;Database=msdb;UID=sa;PWD=pw;");
    ASSERT_TRUE(ComposeConnectionString(out, sizeof out, ConnKey::Service, true, "D", "srv", "", ""));
    EXPECT_STREQ(out, "DRIVER={D};SERVER=srv;Database=msdb;Trusted_Connection=yes;");
}

TEST(ConnString, RefusesWhatDoesNotFitItsRoom) {
    // The widest settings make 678 characters: more than the 511 of the room.
    std::string driver(255, 'd'), server(127, 's'), user(127, 'u'), pass(127, 'p');
    char out[512 + 16];
    std::memset(out, 'Z', sizeof out);
    EXPECT_FALSE(ComposeConnectionString(out, 512, ConnKey::Run, false, driver.c_str(), server.c_str(), user.c_str(),
                                         pass.c_str()));
    EXPECT_STREQ(out, "");
    for (size_t i = 512; i < sizeof out; ++i) ASSERT_EQ(out[i], 'Z') << "written past the room at " << i;

    // Exactly 511 characters fit; 512 do not.
    std::string fixed = "DRIVER={};SERVER=;DATABASE=msdb;Trusted_Connection=yes;";
    std::string fits(511 - fixed.size(), 'x');
    EXPECT_TRUE(ComposeConnectionString(out, 512, ConnKey::Run, true, "", fits.c_str(), "", ""));
    EXPECT_EQ(std::strlen(out), 511u);
    fits += 'x';
    EXPECT_FALSE(ComposeConnectionString(out, 512, ConnKey::Run, true, "", fits.c_str(), "", ""));
}

TEST(ReplaceFirst, ReplacesOnlyTheFirstOccurrence) {
    struct {
        std::string in, from, to, out;
        bool found;
    } cases[] = {
        {"10% and 20%", "%", " percent", "10 percent and 20%", true},
        {"no sign here", "%", " percent", "no sign here", false},
        {"%", "%", "", "", true},
        {"", "%", "x", "", false},
    };
    for (auto& c : cases) {
        std::string s = c.in;
        EXPECT_EQ(ReplaceFirst(s, c.from, c.to), c.found) << c.in;
        EXPECT_EQ(s, c.out) << c.in;
    }
}

}  // namespace
