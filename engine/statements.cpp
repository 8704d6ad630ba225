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

}  // namespace

std::wstring DeviceName(const wchar_t* setName, unsigned index) {
    std::wstring name(setName);
    if (index > 0) {
        std::string digits = std::to_string(index);
        name.append(digits.begin(), digits.end());
    }
    return name;
}

bool NeedsStandbyClause(const Config& cfg) {
    return cfg.Action[0] == 'B' && cfg.BKType[0] == 'L' && cfg.LocalVersion >= 800 && strlen(cfg.Standby) > 1;
}

std::string StandbyClause(const Config& cfg, const SYSTEMTIME& now) {
    size_t n = strlen(cfg.Standby);
    const char* separator = (n > 0 && cfg.Standby[n - 1] == '/') ? "" : "/";
    return Format(", Standby='%s%s%s_%c_%d%02d%02d%02d%02d%02d.dat'", cfg.Standby, separator, cfg.DB,
                  cfg.BKType[0], now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

std::string ComposeStatement(const Config& cfg, int deviceCount, const wchar_t* setName,
                             const std::string& clauses, const SYSTEMTIME& now) {
    const char action = cfg.Action[0];
    const char type = cfg.BKType[0];
    const bool backup = action == 'B';
    const bool verify = action == 'V';
    const bool restoreR = action == 'R';
    const int version = cfg.LocalVersion;
    const std::string set = Narrow(setName);
    const std::string kind = verify ? "" : (type == 'L' ? "LOG" : "DATABASE");
    const std::string target = verify ? "VERIFYONLY" : "[" + std::string(cfg.DB) + "]";

    std::string s = Format("%s %s %s %s VIRTUAL_DEVICE='%s'", backup ? "BACKUP" : "RESTORE", kind.c_str(),
                           target.c_str(), backup ? "TO" : "FROM", set.c_str());
    for (int i = 1; i < deviceCount; ++i) s += Format(", VIRTUAL_DEVICE='%s%d'", set.c_str(), i);

    if (cfg.BlockSize > 0)
        s += Format(" WITH STATS=5, BlockSize=%d, BUFFERCOUNT=%d, MAXTRANSFERSIZE=%d", cfg.BlockSize,
                    cfg.BufferCount, cfg.MaxTransferSize);
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
            s += std::string(", ENCRYPTION (ALGORITHM = AES_256, SERVER CERTIFICATE = ") + cfg.Cert + ")";
    }
    if (restoreR) {
        if (HasLetter(cfg.ROption, 'N'))
            s += ", NORECOVERY";
        else if (HasLetter(cfg.ROption, 'R'))
            s += ", RECOVERY";
        if (HasLetter(cfg.ROption, 'P') && type == 'F') s += ", REPLACE";
    }
    if (!backup && type == 'F' && clauses.size() > 5) s += clauses;

    if (wrap) {
        s = Format("ALTER DATABASE [%s] SET SINGLE_USER WITH ROLLBACK IMMEDIATE; %s IF EXISTS(SELECT 1 FROM "
                   "sys.databases WHERE name='%s' AND user_access=1) ALTER DATABASE [%s] SET MULTI_USER WITH "
                   "ROLLBACK IMMEDIATE; ",
                   cfg.DB, s.c_str(), cfg.DB, cfg.DB);
    }
    return s;
}
