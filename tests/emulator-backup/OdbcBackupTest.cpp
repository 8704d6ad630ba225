// BACKUP and RESTORE through the real driver manager: the test program creates the device set in
// its own process and the driver that unixODBC loads finds it there, as the product's runs do.
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const std::string kPrefix = "[Microsoft][ODBC Driver 17 for SQL Server][SQL Server]";

class OdbcBackup : public ::testing::Test {
protected:
    kestest::TempDir tmp;
    kestest::Env env;

    void SetUp() override {
        ASSERT_EQ(mkdir((tmp.path() + "/home").c_str(), 0755), 0);
        env = {{"ODBCSYSINI", tmp.path() + "/odbc"},
               {"HOME", tmp.path() + "/home"},
               {"SQLEMU_ROOT", tmp.path() + "/root"}};
        sqlemu({"odbc-register", tmp.path() + "/odbc"});
        sqlemu({"instance", "create", "MSSQLSERVER"});
        sqlemu({"instance", "create", "INST2"});
    }
    std::string sqlemu(std::vector<std::string> args) {
        args.insert(args.begin(), SQLEMU_BIN);
        kestest::RunResult r = kestest::run(args, env);
        EXPECT_EQ(0, r.status) << r.err;
        return r.out;
    }
    std::string vdiclient(const std::string& server, const std::string& instance, int devices, const std::string& media,
                          const std::string& batch) {
        std::string cs =
            "DRIVER={ODBC Driver 17 for SQL Server};SERVER=" + server + ";DATABASE=msdb;Trusted_Connection=yes;";
        kestest::RunResult r =
            kestest::run({VDICLIENT_BIN, cs, instance, std::to_string(devices), tmp.path() + "/" + media, batch}, env);
        EXPECT_EQ(0, r.status) << r.err;
        return r.out;
    }
};

TEST_F(OdbcBackup, BackupAndRestoreThroughTheDriverOnTwoInstances) {
    for (const char* inst : {"MSSQLSERVER", "INST2"}) {
        SCOPED_TRACE(inst);
        bool named = std::string(inst) == "INST2";
        std::string server = named ? ".\\INST2" : "(local)";
        std::string forCreate = named ? "INST2" : "-";
        sqlemu({"db", "create", inst, "Pay", "--data-mb", "3", "--data-files", "2", "--seed", "4"});
        const std::string sum = sqlemu({"db", "checksum", inst, "Pay"});

        std::string out =
            vdiclient(server, forCreate, 3, "full",
                      "BACKUP DATABASE [Pay] TO %DEVICES% WITH STATS=5, BUFFERCOUNT=128, MAXTRANSFERSIZE=524288");
        EXPECT_NE(std::string::npos, out.find("diag: 01000 3211 " + kPrefix + "5 percent processed.")) << out;
        EXPECT_NE(std::string::npos,
                  out.find("diag: 01000 3014 " + kPrefix + "BACKUP DATABASE successfully processed "));
        EXPECT_EQ(std::string::npos, out.find("SQL_ERROR")) << out;
        EXPECT_NE(std::string::npos, out.find("more: SQL_NO_DATA\nclient: 0x00000000\n")) << out;

        // The set of one instance is not visible to the other.
        std::string other =
            vdiclient(named ? "(local)" : ".\\INST2", forCreate, 1, "x", "BACKUP DATABASE [Pay] TO %DEVICES%");
        EXPECT_NE(std::string::npos, other.find("diag: 42000 3201 " + kPrefix + "Cannot open backup device '"))
            << other;

        std::string dir = tmp.path() + "/" + inst + "-copy/";
        mkdir(dir.c_str(), 0755);
        std::string restore =
            vdiclient(server, forCreate, 3, "full",
                      "RESTORE DATABASE [PayCopy] FROM %DEVICES% WITH STATS=5, BUFFERCOUNT=128, "
                      "MAXTRANSFERSIZE=1048576, MOVE 'Pay' TO '" +
                          dir + "a.mdf', MOVE 'Pay_2' TO '" + dir + "b.ndf', MOVE 'Pay_log' TO '" + dir + "c.ldf';");
        EXPECT_NE(std::string::npos, restore.find("3014 " + kPrefix + "RESTORE DATABASE successfully processed "))
            << restore;
        EXPECT_EQ(sum, sqlemu({"db", "checksum", inst, "PayCopy"}));
        EXPECT_NE(std::string::npos, sqlemu({"db", "show", inst, "PayCopy"}).find("state: ONLINE"));

        std::string verify = vdiclient(server, forCreate, 3, "full", "RESTORE  VERIFYONLY FROM %DEVICES% WITH STATS=5");
        EXPECT_NE(std::string::npos, verify.find("3262 " + kPrefix + "The backup set on file 1 is valid.")) << verify;
    }
}

TEST_F(OdbcBackup, RestoreServiceWrapperOverAStandbyDatabase) {
    sqlemu({"db", "create", "MSSQLSERVER", "Wh", "--data-mb", "1"});
    vdiclient(".", "-", 1, "full", "BACKUP DATABASE [Wh] TO %DEVICES% WITH STATS=5");
    sqlemu({"db", "touch", "MSSQLSERVER", "Wh", "--pages", "7"});
    vdiclient(".", "-", 2, "log", "BACKUP LOG [Wh] TO %DEVICES% WITH STATS=5");
    const std::string sum = sqlemu({"db", "checksum", "MSSQLSERVER", "Wh"});
    std::string dir = tmp.path() + "/standby/";
    mkdir(dir.c_str(), 0755);
    auto wrapped = [&](const std::string& kind, const std::string& middle, const std::string& moves) {
        return "IF EXISTS(SELECT 1 FROM sys.databases WHERE name='WhCopy' AND is_read_only=1 AND is_in_standby=1 AND "
               "state=0) ALTER DATABASE [WhCopy] SET SINGLE_USER WITH ROLLBACK IMMEDIATE; RESTORE " +
               kind + " [WhCopy] FROM %DEVICES% WITH STATS=5, " + middle + moves +
               "; IF EXISTS(SELECT 1 FROM sys.databases WHERE name='WhCopy' AND user_access=1) ALTER DATABASE "
               "[WhCopy] SET MULTI_USER WITH ROLLBACK IMMEDIATE; ";
    };
    std::string standby = "Standby='" + dir + "WhCopy_L_20261210101010.dat'";
    std::string out = vdiclient(
        ".", "-", 1, "full",
        wrapped("DATABASE", standby, ", MOVE 'Wh' TO '" + dir + "w.mdf', MOVE 'Wh_log' TO '" + dir + "w.ldf'"));
    EXPECT_EQ(std::string::npos, out.find("SQL_ERROR")) << out;
    EXPECT_NE(std::string::npos, sqlemu({"db", "show", "MSSQLSERVER", "WhCopy"}).find("state: STANDBY"));
    out = vdiclient(".", "-", 2, "log", wrapped("LOG", "RECOVERY", ""));
    EXPECT_EQ(std::string::npos, out.find("SQL_ERROR")) << out;
    EXPECT_NE(std::string::npos, out.find("RESTORE LOG successfully processed "));
    std::string show = sqlemu({"db", "show", "MSSQLSERVER", "WhCopy"});
    EXPECT_NE(std::string::npos, show.find("state: ONLINE")) << show;
    EXPECT_NE(std::string::npos, show.find("user_access: MULTI_USER")) << show;
    EXPECT_EQ(sum, sqlemu({"db", "checksum", "MSSQLSERVER", "WhCopy"}));
}

}  // namespace
