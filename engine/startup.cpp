#include "engine/startup.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "config/Config.h"
#include "platform/win32/win32.h"
#include "support/Log.h"
#include "support/SysUtils.h"

const char kVersionQuery[] =
    "DECLARE @s1 VARCHAR(32) SET @s1 = CAST(SERVERPROPERTY('ProductVersion') AS VARCHAR(32)) "
    "SELECT CAST(ISNULL(PARSENAME(@s1,4),PARSENAME(@s1,3)) AS INT)*100+CAST(CASE WHEN PARSENAME(@s1,4) IS NULL "
    "THEN PARSENAME(@s1,2) ELSE PARSENAME(@s1,3) END AS INT) Ver";

bool TakeSingleInstanceLock() {
    // Owned until the process ends: the handle is never closed. The platform's
    // named mutex is a lock the kernel drops with the process, so a crashed run
    // never blocks the next one.
    SetLastError(ERROR_SUCCESS);
    HANDLE h = CreateMutexA(nullptr, TRUE, kSingleInstanceName);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (h != nullptr) CloseHandle(h);
        Log::WError("Exiting... Detected some active instance, while ONLY one instance is allowed.");
        return false;
    }
    return true;
}

void PrintBanner() {
    Log::WInfo(
        "Process is starting ...\n"
        "\n"
        "**********************************************************************\n"
        "**\n"
        "**  Kestrune - streaming SQL Server backup and restore\n"
        "**\n"
        "**********************************************************************\n"
        "**  Moves a database backup through virtual devices into media files,\n"
        "**  or over TCP straight into a restore on another server.\n"
        "**  Run it with administrator rights on the SQL Server host.\n"
        "**********************************************************************\n"
        "**  Questions and reports: your database administration team.\n"
        "**********************************************************************\n"
        "**  Test your restores regularly.\n"
        "**********************************************************************");
}

namespace {

// A setting of one letter out of `letters`; an empty one is none of them.
bool OneOf(const char* value, const char* letters) {
    return value[0] != '\0' && value[1] == '\0' && std::strchr(letters, value[0]) != nullptr;
}

bool KnownBackupKind() {
    if (OneOf(g_config.BKType, "FDL")) return true;
    Log::WError("Invalid BKType [%s]: accepted are F (full), D (differential) and L (log).", g_config.BKType);
    return false;
}

}  // namespace

bool CheckRunSettings() {
    // A mistyped letter must not fall through to a RESTORE over the named database.
    if (!OneOf(g_config.Action, "BRV")) {
        Log::WError("Invalid Action [%s]: accepted are B (backup), R (restore) and V (verify).", g_config.Action);
        return false;
    }
    if (!KnownBackupKind()) return false;
    if (std::strlen(g_config.Files) < 5) {
        Log::WError("Invalid backup target file or restore source file.");
        return false;
    }
    if ((g_config.Action[0] == 'B' || g_config.Action[0] == 'R') && g_config.DB[0] == '\0') {
        Log::WError("Invalid Database name.");
        return false;
    }
    return true;
}

bool CheckServiceSettings() {
    // Neither list stops the service, but either lets in peers other than the ones named, or keeps
    // out a named one: say so.
    const char* list = g_config.ValidIPs;
    if (list[0] == '\0')
        Log::WWarn("ValidIPs is not set: the restore service admits every peer.");
    else if (std::strlen(list) <= 4)
        Log::WWarn("ValidIPs [%s] has 4 characters or fewer: the restore service admits every peer.", list);
    if (std::strpbrk(list, " \t"))
        Log::WWarn("ValidIPs [%s] holds blanks: an address written beside a blank never matches a peer.", list);
    return KnownBackupKind();
}
