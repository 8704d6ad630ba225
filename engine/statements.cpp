#include "engine/statements.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

bool HasLetter(const char* options, char letter) { return strchr(options, letter) != nullptr && letter != 0; }

std::string Narrow(const wchar_t* w) {
    std::string out;
    for (; w && *w; ++w) out += static_cast<char>(*w);
    return out;
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(&big[0], big.size(), fmt, ap);
    va_end(ap);
    big.resize(n);
    return big;
}

std::string DoubleEvery(const std::string& s, char c) {
    std::string out;
    out.reserve(s.size() + 2);
    for (char ch : s) {
        out += ch;
        if (ch == c) out += c;
    }
    return out;
}

// A certificate name as it always went in when it is a plain identifier, else bracketed.
std::string IdentifierText(const std::string& name) {
    bool plain = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
    for (char c : name)
        plain = plain && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
    return plain ? name : BracketName(name);
}

// The two halves of the single-user wrapper: the switch before the statement, and the return to
// multi-user mode after it for a database that is still single-user.
std::string SingleUserSwitch(const std::string& db) {
    return "ALTER DATABASE " + BracketName(db) + " SET SINGLE_USER WITH ROLLBACK IMMEDIATE; ";
}
std::string MultiUserReturn(const std::string& db) {
    return "IF EXISTS(SELECT 1 FROM sys.databases WHERE name='" + LiteralText(db) +
           "' AND user_access=1) ALTER DATABASE " + BracketName(db) + " SET MULTI_USER WITH ROLLBACK IMMEDIATE; ";
}

}  // namespace

std::string BracketName(const std::string& name) { return "[" + DoubleEvery(name, ']') + "]"; }

std::string LiteralText(const std::string& text) { return DoubleEvery(text, '\''); }

std::wstring DeviceName(const wchar_t* setName, unsigned index) {
    std::wstring name(setName ? setName : L"");
    if (index > 0) {
        std::string digits = std::to_string(index);
        name.append(digits.begin(), digits.end());
    }
    return name;
}

std::string DeviceList(const wchar_t* setName, unsigned count) {
    std::string list;
    for (unsigned i = 0; i < count; ++i)
        list += (i == 0 ? " VIRTUAL_DEVICE='" : ", VIRTUAL_DEVICE='") + Narrow(DeviceName(setName, i).c_str()) + "'";
    return list;
}

bool NeedsStandbyClause(const Config& cfg) {
    return cfg.Action[0] == 'B' && cfg.BKType[0] == 'L' && cfg.LocalVersion >= 800 && strlen(cfg.Standby) > 1;
}

std::string StandbyOption(const char* folder, const std::string& database, char bkType, const SYSTEMTIME& now) {
    size_t n = strlen(folder);
    const char* separator = (n > 0 && folder[n - 1] == '/') ? "" : "/";
    const std::string path = Format("%s%s%s_%c_%d%02d%02d%02d%02d%02d.dat", folder, separator, database.c_str(), bkType,
                                    now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    return "Standby='" + LiteralText(path) + "'";
}

std::string StandbyClause(const Config& cfg, const SYSTEMTIME& now) {
    return ", " + StandbyOption(cfg.Standby, cfg.DB, cfg.BKType[0], now);
}

std::string ComposeStatement(const Config& cfg, int deviceCount, const wchar_t* setName, const std::string& clauses,
                             const SYSTEMTIME& now) {
    const char action = cfg.Action[0];
    const char type = cfg.BKType[0];
    const bool backup = action == 'B';
    const bool verify = action == 'V';
    const bool restoreR = action == 'R';
    const int version = cfg.LocalVersion;
    const std::string kind = verify ? "" : (type == 'L' ? "LOG" : "DATABASE");
    const std::string target = verify ? "VERIFYONLY" : BracketName(cfg.DB);

    // Device 0 is named even for a count below 1.
    std::string s =
        Format("%s %s %s %s", backup ? "BACKUP" : "RESTORE", kind.c_str(), target.c_str(), backup ? "TO" : "FROM") +
        DeviceList(setName, deviceCount > 1 ? static_cast<unsigned>(deviceCount) : 1);

    if (cfg.BlockSize > 0)
        s += Format(" WITH STATS=5, BlockSize=%d, BUFFERCOUNT=%d, MAXTRANSFERSIZE=%d", cfg.BlockSize, cfg.BufferCount,
                    cfg.MaxTransferSize);
    else
        s += Format(" WITH STATS=5, BUFFERCOUNT=%d, MAXTRANSFERSIZE=%d", cfg.BufferCount, cfg.MaxTransferSize);

    bool wrap = false;
    if (backup) {
        if (type == 'D') s += ", DIFFERENTIAL";
        if (cfg.CompressType[0] == 'B' && version >= 1000)
            s += ", COMPRESSION";
        else if (cfg.CompressType[0] == 'N' && version >= 1000)
            s += ", NO_COMPRESSION";
        if (HasLetter(cfg.BOption, 'C') && version >= 900) s += ", COPY_ONLY";
        if (HasLetter(cfg.BOption, 'S') && version >= 800) s += ", CHECKSUM";
        if (NeedsStandbyClause(cfg)) {
            s += StandbyClause(cfg, now);
            wrap = true;
        } else if (type == 'L' && version >= 800 && HasLetter(cfg.BOption, 'N')) {
            s += ", NORECOVERY";
            wrap = true;
        }
        if (cfg.Cert[0] != 0 && version >= 1200)
            s += ", ENCRYPTION (ALGORITHM = AES_256, SERVER CERTIFICATE = " + IdentifierText(cfg.Cert) + ")";
    }
    if (restoreR) {
        if (HasLetter(cfg.ROption, 'N'))
            s += ", NORECOVERY";
        else if (HasLetter(cfg.ROption, 'R'))
            s += ", RECOVERY";
        if (HasLetter(cfg.ROption, 'P') && type == 'F') s += ", REPLACE";
    }
    if (!backup && type == 'F' && clauses.size() > 5) s += clauses;

    if (wrap) s = SingleUserSwitch(cfg.DB) + s + " " + MultiUserReturn(cfg.DB);
    return s;
}

RestoreTemplate ComposeServiceRestore(const std::string& kind, const std::string& database, bool replace,
                                      const std::string& middle, const std::string& resolved) {
    const std::string head = "IF EXISTS(SELECT 1 FROM sys.databases WHERE name='" + LiteralText(database) +
                             "' AND is_read_only=1 AND is_in_standby=1 AND state=0) " + SingleUserSwitch(database) +
                             "RESTORE " + kind + " " + BracketName(database) + " FROM ";
    RestoreTemplate t;
    t.marker = head.size();
    // A server without default folders resolves the list to NULL: the restore then goes without
    // MOVE clauses rather than with a stray word in its WITH list.
    const std::string clauses = resolved == "NULL" ? std::string() : resolved;
    t.text =
        head + "%s WITH STATS=5, " + (replace ? "REPLACE, " : "") + middle + clauses + "; " + MultiUserReturn(database);
    return t;
}

std::string MoveClauseQuery(const std::string& db) {
    // The list lives in an NVARCHAR(MAX): a database of hundreds of files keeps every clause. A
    // quote in a logical or physical name is written four times, so that it reads as one quote
    // doubled in the resolved list.
    return "DECLARE @db NVARCHAR(256), @mv NVARCHAR(MAX) SELECT @db='" + LiteralText(db) +
           "', @mv='' SELECT @mv = @mv +', MOVE '''''+REPLACE(RTRIM(name), '''', '''''''''') +''''' TO ''''' "
           "+CASE WHEN groupid!=0 THEN '%DATA%' ELSE '%LOG%' END +REPLACE(RTRIM(RIGHT(filename, CHARINDEX(CASE "
           "WHEN SUBSTRING(filename, 2, 1)=':' THEN '\\' ELSE '/'END, REVERSE(filename))-1)), '''', '''''''''')"
           "+'''''' FROM " +
           BracketName(db) + "..sysfiles ORDER BY fileid SELECT @mv AS SQLT;";
}

std::string ResolveClausesQuery(const std::string& list) {
    // REPLACE cuts a text that is not of a MAX type at 4000 characters.
    return "SELECT REPLACE(REPLACE(CAST('" + list +
           "' AS NVARCHAR(MAX)), '%DATA%', REPLACE(CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS NVARCHAR(256)), "
           "'', '/')), '%LOG%', REPLACE(CAST(SERVERPROPERTY('InstanceDefaultLogPath') AS NVARCHAR(256)), '', '/')); ";
}

std::string DatabaseExistsQuery(const std::string& db) {
    return "IF EXISTS(SELECT 1 FROM sys.databases WHERE name='" + LiteralText(db) + "') SELECT 1 ELSE SELECT 0";
}
