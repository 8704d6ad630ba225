#include "engine/statements.h"
#include "engine/devicerun.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

struct StatementCase {
    const char* what;
    const char* action;
    const char* type;
    int version;
    int count;
    const char* compress;
    const char* bOption;
    const char* rOption;
    const char* standby;
    const char* cert;
    int blockSize;
    const char* clauses;
    std::string want;
};

const char kWith[] = " WITH STATS=5, BUFFERCOUNT=128, MAXTRANSFERSIZE=524288";

std::string Wrapped(const std::string& inner) {
    return "ALTER DATABASE [Sales] SET SINGLE_USER WITH ROLLBACK IMMEDIATE; " + inner +
           " IF EXISTS(SELECT 1 FROM sys.databases WHERE name='Sales' AND user_access=1) ALTER DATABASE [Sales] SET "
           "MULTI_USER WITH ROLLBACK IMMEDIATE; ";
}

TEST(EngineStatements, DecisionTable) {
    const std::string bF = std::string("BACKUP DATABASE [Sales] TO VIRTUAL_DEVICE='{S}'") + kWith;
    const std::string bL = std::string("BACKUP LOG [Sales] TO VIRTUAL_DEVICE='{S}'") + kWith;
    const std::string rF = std::string("RESTORE DATABASE [Sales] FROM VIRTUAL_DEVICE='{S}'") + kWith;
    const std::string move = ", MOVE 'Sales' TO '/d/Sales.mdf', MOVE 'Sales_log' TO '/l/Sales.ldf'";
    const std::string eight =
        "BACKUP DATABASE [Sales] TO VIRTUAL_DEVICE='{S}', VIRTUAL_DEVICE='{S}1', VIRTUAL_DEVICE='{S}2', "
        "VIRTUAL_DEVICE='{S}3', VIRTUAL_DEVICE='{S}4', VIRTUAL_DEVICE='{S}5', VIRTUAL_DEVICE='{S}6', "
        "VIRTUAL_DEVICE='{S}7' WITH STATS=5, BlockSize=65536, BUFFERCOUNT=128, MAXTRANSFERSIZE=524288";
    const StatementCase table[] = {
        {"verify: two blanks, nothing after the WITH list", "V", "F", 1500, 1, "B", "CSN", "NRP", "/tmp", "c", 0, "",
         std::string("RESTORE  VERIFYONLY FROM VIRTUAL_DEVICE='{S}'") + kWith},
        {"eight devices, BlockSize, compression, COPY_ONLY then CHECKSUM", "B", "F", 1500, 8, "B", "SC", "", "", "",
         65536, "", eight + ", COMPRESSION, COPY_ONLY, CHECKSUM"},
        {"differential without server compression", "B", "D", 1000, 1, "N", "", "", "", "", 0, "",
         bF + ", DIFFERENTIAL, NO_COMPRESSION"},
        {"compression letters below 1000", "B", "F", 999, 1, "B", "", "", "", "", 0, "", bF},
        {"COPY_ONLY needs 900", "B", "F", 899, 1, "A", "CS", "", "", "", 0, "", bF + ", CHECKSUM"},
        {"CHECKSUM needs 800", "B", "F", 799, 1, "A", "CS", "", "", "", 0, "", bF},
        {"negative BlockSize leaves the item out", "B", "F", 1500, 1, "A", "", "", "", "", -4096, "", bF},
        {"log backup into standby", "B", "L", 800, 1, "A", "N", "", "/sb", "", 0, "",
         Wrapped(bL + ", Standby='/sb/Sales_L_20261210080509.dat'")},
        {"standby folder ending in a slash", "B", "L", 800, 1, "A", "", "", "/sb/", "", 0, "",
         Wrapped(bL + ", Standby='/sb/Sales_L_20261210080509.dat'")},
        {"standby of one character is unset: NORECOVERY", "B", "L", 1500, 1, "A", "N", "", "x", "", 0, "",
         Wrapped(bL + ", NORECOVERY")},
        {"log backup below 800: no standby, no wrapper", "B", "L", 799, 1, "A", "N", "", "/sb", "", 0, "", bL},
        {"full backup never takes standby or NORECOVERY", "B", "F", 1500, 1, "A", "N", "", "/sb", "", 0, "", bF},
        {"certificate from 1200 on", "B", "F", 1200, 1, "A", "", "", "", "Cert1", 0, "",
         bF + ", ENCRYPTION (ALGORITHM = AES_256, SERVER CERTIFICATE = Cert1)"},
        {"certificate below 1200", "B", "F", 1199, 1, "A", "", "", "", "Cert1", 0, "", bF},
        {"restore NP: NORECOVERY, REPLACE, then the clauses", "R", "F", 1500, 1, "A", "", "NP", "", "", 0, move.c_str(),
         rF + ", NORECOVERY, REPLACE" + move},
        {"restore NR: NORECOVERY only", "R", "F", 1500, 1, "A", "", "NR", "", "", 0, "", rF + ", NORECOVERY"},
        {"restore R: RECOVERY", "R", "F", 1500, 1, "A", "", "R", "", "", 0, "", rF + ", RECOVERY"},
        {"REPLACE needs a full backup", "R", "D", 1500, 1, "A", "", "P", "", "", 0, move.c_str(),
         std::string("RESTORE DATABASE [Sales] FROM VIRTUAL_DEVICE='{S}'") + kWith},
        {"log restore", "R", "L", 1500, 1, "A", "", "R", "", "", 0, "",
         std::string("RESTORE LOG [Sales] FROM VIRTUAL_DEVICE='{S}'") + kWith + ", RECOVERY"},
        {"a NULL list is not appended", "R", "F", 1500, 1, "A", "", "", "", "", 0, "NULL", rF},
        {"five characters are not appended", "R", "F", 1500, 1, "A", "", "", "", "", 0, "ABCDE", rF},
        {"six characters are", "R", "F", 1500, 1, "A", "", "", "", "", 0, "ABCDEF", rF + "ABCDEF"},
        {"another action letter: a restore without recovery options", "X", "F", 1500, 1, "A", "", "NRP", "", "", 0,
         move.c_str(), rF + move},
        {"version 0 drops every bounded option", "B", "L", 0, 1, "B", "CSN", "", "/sb", "Cert1", 0, "", bL},
    };

    SYSTEMTIME now{};
    now.wYear = 2026;
    now.wMonth = 12;
    now.wDay = 10;
    now.wHour = 8;
    now.wMinute = 5;
    now.wSecond = 9;
    for (size_t k = 0; k < sizeof table / sizeof table[0]; ++k) {
        const StatementCase& c = table[k];
        Config cfg = g_config;
        strcpy(cfg.Action, c.action);
        strcpy(cfg.BKType, c.type);
        strcpy(cfg.DB, "Sales");
        strcpy(cfg.CompressType, c.compress);
        strcpy(cfg.BOption, c.bOption);
        strcpy(cfg.ROption, c.rOption);
        strcpy(cfg.Standby, c.standby);
        strcpy(cfg.Cert, c.cert);
        cfg.BlockSize = c.blockSize;
        cfg.BufferCount = 128;
        cfg.MaxTransferSize = 524288;
        cfg.LocalVersion = c.version;
        EXPECT_EQ(c.want, ComposeStatement(cfg, c.count, L"{S}", c.clauses, now)) << c.what;
    }
}

TEST(EngineStatements, NamesThatNeedBracketsOrQuotesStayOneName) {
    struct Case {
        const char* db;
        std::string bracketed;  // as a name
        std::string literal;    // inside a string literal
    };
    const Case cases[] = {
        {"Sales", "[Sales]", "Sales"}, {"a]b", "[a]]b]", "a]b"},     {"O'Neil", "[O'Neil]", "O''Neil"},
        {"x.y", "[x.y]", "x.y"},       {"]'[.", "[]]'[.]", "]''[."},
    };
    SYSTEMTIME now{};
    now.wYear = 2026;
    now.wMonth = 12;
    now.wDay = 10;
    for (const Case& c : cases) {
        Config cfg = g_config;
        strcpy(cfg.Action, "B");
        strcpy(cfg.BKType, "L");
        strcpy(cfg.DB, c.db);
        strcpy(cfg.Standby, "/s'b");
        strcpy(cfg.BOption, "");
        strcpy(cfg.Cert, "");
        cfg.BlockSize = 0;
        cfg.BufferCount = 128;
        cfg.MaxTransferSize = 524288;
        cfg.LocalVersion = 1500;
        const std::string b = c.bracketed, l = c.literal;
        EXPECT_EQ("ALTER DATABASE " + b + " SET SINGLE_USER WITH ROLLBACK IMMEDIATE; BACKUP LOG " + b +
                      " TO VIRTUAL_DEVICE='{S}'" + kWith + ", Standby='/s''b/" + l +
                      "_L_20261210000000.dat' IF EXISTS(SELECT 1 FROM sys.databases WHERE name='" + l +
                      "' AND user_access=1) ALTER DATABASE " + b + " SET MULTI_USER WITH ROLLBACK IMMEDIATE; ",
                  ComposeStatement(cfg, 1, L"{S}", "", now))
            << c.db;
        strcpy(cfg.Action, "R");
        strcpy(cfg.BKType, "F");
        EXPECT_EQ("RESTORE DATABASE " + b + " FROM VIRTUAL_DEVICE='{S}'" + kWith,
                  ComposeStatement(cfg, 1, L"{S}", "", now))
            << c.db;

        const std::string q = MoveClauseQuery(c.db);
        EXPECT_EQ(0u, q.find("DECLARE @db NVARCHAR(256), @mv NVARCHAR(MAX) SELECT @db='" + l + "', @mv=''")) << q;
        EXPECT_NE(std::string::npos, q.find(" FROM " + b + "..sysfiles ORDER BY fileid SELECT @mv AS SQLT;")) << q;

        const RestoreTemplate t = ComposeServiceRestore("DATABASE", c.db, false, "RECOVERY", "");
        EXPECT_EQ("IF EXISTS(SELECT 1 FROM sys.databases WHERE name='" + l +
                      "' AND is_read_only=1 AND is_in_standby=1 AND state=0) ALTER DATABASE " + b +
                      " SET SINGLE_USER WITH ROLLBACK IMMEDIATE; RESTORE DATABASE " + b +
                      " FROM %s WITH STATS=5, RECOVERY; IF EXISTS(SELECT 1 FROM sys.databases WHERE name='" + l +
                      "' AND user_access=1) ALTER DATABASE " + b + " SET MULTI_USER WITH ROLLBACK IMMEDIATE; ",
                  t.text);
    }

    // A certificate name goes in bare while it is a plain identifier.
    Config cfg = g_config;
    strcpy(cfg.Action, "B");
    strcpy(cfg.BKType, "F");
    strcpy(cfg.DB, "Sales");
    cfg.LocalVersion = 1500;
    const std::pair<const char*, const char*> certs[] = {
        {"Cert_1", "Cert_1"}, {"my cert", "[my cert]"}, {"c]) x", "[c]]) x]"}, {"1c", "[1c]"}};
    for (const auto& c : certs) {
        strcpy(cfg.Cert, c.first);
        const std::string s = ComposeStatement(cfg, 1, L"{S}", "", now);
        EXPECT_NE(std::string::npos, s.find(std::string("SERVER CERTIFICATE = ") + c.second + ")")) << s;
    }
}

TEST(EngineStatements, ClauseQueries) {
    // The list has room for every file; a quote in a logical or physical name comes out four times.
    EXPECT_EQ(
        "DECLARE @db NVARCHAR(256), @mv NVARCHAR(MAX) SELECT @db='Sales', @mv='' SELECT @mv = @mv +', MOVE "
        "'''''+REPLACE(RTRIM(name), '''', '''''''''') +''''' TO ''''' +CASE WHEN groupid!=0 THEN '%DATA%' "
        "ELSE '%LOG%' END +REPLACE(RTRIM(RIGHT(filename, CHARINDEX(CASE WHEN SUBSTRING(filename, 2, 1)=':' "
        "THEN '\\' ELSE '/'END, REVERSE(filename))-1)), '''', '''''''''')+'''''' FROM [Sales]..sysfiles ORDER "
        "BY fileid SELECT @mv AS SQLT;",
        MoveClauseQuery("Sales"));
    // The list goes in as written for the literal, cast so that REPLACE does not cut it.
    EXPECT_EQ(
        "SELECT REPLACE(REPLACE(CAST(', MOVE ''O''''N'' TO ''%DATA%a.mdf''' AS NVARCHAR(MAX)), '%DATA%', "
        "REPLACE(CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS NVARCHAR(256)), '', '/')), '%LOG%', "
        "REPLACE(CAST(SERVERPROPERTY('InstanceDefaultLogPath') AS NVARCHAR(256)), '', '/')); ",
        ResolveClausesQuery(", MOVE ''O''''N'' TO ''%DATA%a.mdf''"));
}

TEST(EngineStatements, StandbyNeedsALogBackupFrom800AndAFolder) {
    Config cfg = g_config;
    strcpy(cfg.Action, "B");
    strcpy(cfg.BKType, "L");
    strcpy(cfg.Standby, "/sb");
    cfg.LocalVersion = 800;
    EXPECT_TRUE(NeedsStandbyClause(cfg));
    cfg.LocalVersion = 799;
    EXPECT_FALSE(NeedsStandbyClause(cfg));
    cfg.LocalVersion = 1500;
    strcpy(cfg.Standby, "/");
    EXPECT_FALSE(NeedsStandbyClause(cfg));
    strcpy(cfg.Standby, "/sb");
    strcpy(cfg.Action, "R");
    EXPECT_FALSE(NeedsStandbyClause(cfg));
}

TEST(EngineDeviceSet, InstanceNameRule) {
    struct {
        const char* instance;
        const wchar_t* want;
    } cases[] = {
        {"", L""},
        {"LOCALHOST", L""},
        {"127.0.0.1", L""},
        {".", L""},
        {"KestHost", L""},
        {"kESTHOST", L""},
        {"SQLHOST", L""},
        {"SQLHOST\\INST2", L"INST2"},
        {"SQLHOST\\A\\B", L"A\\B"},
        {"localhost\\X", L"X"},
        {"KestHost\\Y", L"Y"},
    };
    for (const auto& c : cases) EXPECT_EQ(std::wstring(c.want), VdiInstanceName(c.instance, "KestHost")) << c.instance;
}

TEST(EngineDeviceSet, LongStatementsAreLoggedInParts) {
    const std::string prefix = "Submitting SQL:\n";
    for (size_t size : {size_t(10), kLogPiece, kLogPiece + 1, 3 * kLogPiece, size_t(32767)}) {
        std::string text;
        for (size_t k = 0; k < size; ++k) text += static_cast<char>('a' + k % 26);
        const std::vector<std::string> pieces = LogPieces(prefix.c_str(), text);
        std::string joined;
        for (size_t k = 0; k < pieces.size(); ++k) {
            EXPECT_LE(pieces[k].size(), 8180u) << size;
            std::string p = pieces[k];
            if (k == 0) {
                ASSERT_EQ(0u, p.find(prefix));
                p = p.substr(prefix.size());
            }
            if (pieces.size() > 1) {
                const std::string head =
                    "(part " + std::to_string(k + 1) + " of " + std::to_string(pieces.size()) + ") ";
                ASSERT_EQ(0u, p.find(head)) << p.substr(0, 40);
                p = p.substr(head.size());
            }
            joined += p;
        }
        EXPECT_EQ(text, joined) << size;
        EXPECT_EQ(size <= kLogPiece ? 1u : (size + kLogPiece - 1) / kLogPiece, pieces.size());
    }
}

}  // namespace
