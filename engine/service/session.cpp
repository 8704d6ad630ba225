// The restore of one incoming backup, run by the connection thread of its stream 1.
#include "engine/service/service.h"

#include "engine/devicerun.h"
#include "engine/job.h"
#include "engine/service/connections.h"
#include "engine/statements.h"
#include "sql/Sql.h"
#include "support/Log.h"

#include <string>

void RunRestoreSession(const char* tmpl, size_t marker, uint32_t count, StreamInfo* info) {
    if (count < 1 || count > static_cast<uint32_t>(kMaxDevices)) {
        Log::WError("A restore of %u streams cannot run: a device set holds 1 to %d devices.", count, kMaxDevices);
        return;
    }
    // The run's teardown undoes what it reached on every return.
    wchar_t setName[kSetNameRoom] = {};
    DeviceSetRun run(kServiceRun, setName);
    if (!run.Create(static_cast<int>(count))) {
        if (!run.ComStarted()) ExitProcess(1);
        return;
    }
    char connStr[kConnStringRoom];
    if (!ComposeConnectionString(connStr, sizeof connStr, ConnKey::Service, g_job.trustedConnection, g_odbcDriver,
                                 g_job.server.c_str(), g_job.user.c_str(), g_job.password.c_str())) {
        Log::WError("The connection string does not fit its %d characters.", static_cast<int>(sizeof connStr - 1));
        return;
    }
    RestoreTemplate t;
    t.text = tmpl;
    t.marker = marker;
    run.Serve(connStr, FillDeviceList(t, DeviceList(setName, count)), *info);
}
