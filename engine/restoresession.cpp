// The restore of one incoming backup, run by the connection thread of its stream 1.
#include "engine/restoreservice.h"

#include "engine/devicerun.h"
#include "engine/job.h"
#include "engine/restoreprotocol.h"
#include "sql/Sql.h"
#include "support/Log.h"

#include <string>

namespace {

// The statement thread's block and texts, which must outlive that thread.
struct SessionTexts {
    std::string connStr;
    std::string statement;
    SqlExecParam param;
};

void EndSession(Reached& r, SessionTexts* texts) {
    // A statement thread still running keeps reading its block: that block is then left to it.
    if (ReleaseDeviceSet(r, false)) delete texts;
}

}  // namespace

void RunRestoreSession(const char* tmpl, size_t marker, uint32_t count, StreamInfo* info) {
    if (count < 1 || count > static_cast<uint32_t>(kMaxDevices)) {
        Log::WError("A restore of %u streams cannot run: a device set holds 1 to %d devices.", count, kMaxDevices);
        return;
    }
    Reached r;
    wchar_t setName[kSetNameRoom] = {};
    const HRESULT hr = CreateDeviceSet(r, static_cast<int>(count), setName, "0x");
    if (!r.comInit) ExitProcess(1);
    if (FAILED(hr)) {
        EndSession(r, nullptr);
        return;
    }

    SessionTexts* texts = new SessionTexts;
    char connStr[512];
    if (!ComposeConnectionString(connStr, sizeof connStr, ConnKey::Service, g_job.trustedConnection, g_odbcDriver,
                                 g_job.server.c_str(), g_job.user.c_str(), g_job.password.c_str())) {
        Log::WError("The connection string does not fit its %d characters.", static_cast<int>(sizeof connStr - 1));
        EndSession(r, texts);
        return;
    }
    texts->connStr = connStr;
    RestoreTemplate t;
    t.text = tmpl;
    t.marker = marker;
    texts->statement = FillDeviceList(t, ServiceDeviceList(setName, count));
    texts->param.connStr = texts->connStr.c_str();
    texts->param.statement = texts->statement.c_str();
    for (const std::string& piece : LogPieces("Submitting SQL:\n", texts->statement)) Log::WDebug("%s", piece.c_str());

    r.statementThread = CreateThread(nullptr, 0, execSQL, &texts->param, 0, nullptr);
    if (!r.statementThread) {
        Log::WError("execSQL failed.");
        EndSession(r, texts);
        return;
    }
    Log::WTrace("Waiting for SQL to complete configuration ...");
    VDConfig config{};
    config.deviceCount = count;
    const HRESULT cfg = r.set->GetConfiguration(kConfigurationTimeoutMs, &config);
    if (FAILED(cfg)) {
        Log::WError("VDS::Getconfig fails: 0x%X", static_cast<unsigned>(cfg));
        EndSession(r, texts);
        return;
    }
    Log::WTrace("Spawning secondary threads ...");
    StreamInfo copy = *info;
    startSecondary(r.set, r.statementThread, static_cast<int32_t>(count), &copy, setName);
    r.statementThread = nullptr;  // startSecondary has waited for it and closed its handle
    EndSession(r, texts);
}
