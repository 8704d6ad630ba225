// Process entry: start-up, then one backup, restore or verify run, or the
// restore service.
#include <stdio.h>
#include <string.h>

#include <string>

#include "config/Config.h"
#include "engine/Version.h"
#include "engine/devicerun.h"
#include "engine/job.h"
#include "engine/service/service.h"
#include "engine/startup.h"
#include "media/SocketService.h"
#include "sql/Sql.h"
#include "support/Log.h"
#include "support/SysUtils.h"

namespace {

bool s_answered = false;  // "-h" or "-v": no run, so no ending line either

void LogEnding(UINT status) { Log::WEnding(static_cast<int>(status)); }

int Run(int argc, char** argv) {
    // 1. The log; without it nothing can be reported.
    if (!Log::Initialize(nullptr)) return -1;
    Log::SetLogLevel(Log::LOG_INFO);
    // Added first, so it runs after every other clean-up: the status is the log's last line,
    // whichever thread ends the process.
    AddProcessEndHandler(LogEnding);

    // 2. The command line, then the config.ini values that did not fit, read before the log was open.
    ParseCommandLine(argc, argv);
    if (!ReportRefusedSettings()) return -1;

    // 3. One instance at a time, before even "-h" and "-v" answer.
    if (g_config.Singleton && !TakeSingleInstanceLock()) return -1;

    // 4. Help and version.
    s_answered = g_config.ShowHelp || g_config.ShowVersion;
    if (g_config.ShowHelp) return 0;
    if (g_config.ShowVersion) {
        printf("%s Version - [%s]", KES_PRODUCT_NAME, KES_PRODUCT_VERSION);
        return 0;
    }

    // 5. Elevation.
    if (!IsElevated() && IsVistaOrGreater()) {
        Log::WError("Lack of necessary privileges. Make sure to run this application as Administrator.");
        return -1;
    }

    // 6. The ODBC driver. A failed ODBC environment (1000000 or 2000000 plus the
    // ODBC return code, so 999999 for SQL_ERROR) chooses no driver and leaves none
    // to connect with either, so it stops the start-up as well.
    int driver = DetectOdbcDriver(g_odbcDriver);
    if (driver < 0) {
        // The message names the driver's current release.
        Log::WError("ODBC Driver is missing. Please make sure ODBC Driver %d for SQL Server is installed.", 18);
        return -1;
    }
    if (g_odbcDriver[0] == '\0') {
        Log::WError("The ODBC environment cannot be set up (code %d); no driver can be used.", driver);
        return -1;
    }

    // 7. Banner.
    PrintBanner();

    // 8. The restore service's peer allow-list and the job record.
    g_allowedPeers = std::string(",") + g_config.ValidIPs + ",";
    FillJobInfo();

    // 9. What a backup, restore or verify run needs, or the restore service.
    if (g_config.LPort <= 0 ? !CheckRunSettings() : !CheckServiceSettings()) return -1;

    // 10. The connection string of every statement main submits.
    char connStr[kConnStringRoom];
    if (!ComposeConnectionString(connStr, sizeof connStr, ConnKey::Run, g_config.IsTrustedConn, g_odbcDriver,
                                 g_config.Instance, g_config.User, g_config.Pass)) {
        Log::WError("The connection string does not fit its %d characters.", static_cast<int>(kConnStringRoom - 1));
        return -1;
    }

    // 11. The local server's version; a failed query leaves 0 and the start-up goes on.
    g_config.LocalVersion = ReadInt32(QuerySQL(connStr, kVersionQuery, true).c_str());

    // 12. The restore service: the listener keeps the main thread until it gives up, which is a
    // failure. Connection and device threads may still run: end without destroying what they use.
    if (g_config.LPort > 0) {
        Log::WDebug("Local Version - %d", g_config.LocalVersion);
        g_job.isBackup = false;
        const std::string port = std::to_string(g_config.LPort);
        StartRestoreService(port.c_str(), HandleRestoreConnection, AdmitRestorePeer);
        ExitProcess(static_cast<UINT>(-1));
    }
    // 13. One run: the stream table, then the device set; the run's status is the exit status.
    int streams = BuildStreamTable();
    if (streams < 0) return -1;
    return RunDeviceSet(connStr, streams);
}

}  // namespace

int main(int argc, char** argv, char** envp) {
    (void)envp;
    // A closed console must neither end the run nor have its number taken by a file.
    SetUpProcessConsole();
    const int status = Run(argc, argv);
    if (!s_answered) Log::WEnding(status);
    return status;
}
