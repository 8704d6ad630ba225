#include "engine/devicerun.h"

#include "config/Config.h"
#include "engine/job.h"
#include "engine/mediaset.h"
#include "engine/moveclauses.h"
#include "engine/restoreprotocol.h"
#include "engine/statements.h"
#include "platform/winsock/winsock.h"
#include "sql/Sql.h"
#include "support/Log.h"

#include <errno.h>
#include <string.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>

wchar_t g_deviceSetName[kSetNameRoom];

namespace {

// The statement thread's block and texts. The teardown may run while that thread still reads
// them (after a failed configuration), so they are made once and kept for the whole process.
struct StatementTexts {
    std::string connStr;
    std::string statement;
    SqlExecParam param;
};
StatementTexts* s_texts = nullptr;

// How long the teardown waits for a statement thread that is still running.
const DWORD kStatementGraceMs = 20000;

bool IsDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// How often the wait for the set's configuration looks whether the statement has already ended.
const DWORD kConfigurationSliceMs = 100;

std::string FirstEntry() { return StreamEntry(1); }

// Whether a backup's device thread writes the stream entry into a file (a file mover serves it).
bool WrittenToFile(const std::string& entry) {
    const MoverKind kind = ChooseMover(g_config.DNet, true, g_job.listenPort, entry.c_str());
    return kind == MoverKind::PlainFile || kind == MoverKind::FileMedia;
}

// A backup streamed to a restore service carries the MOVE-clause list in every stream's request
// block, whose size is fixed: a list that does not fit fails the run before the server starts it.
bool RequestsFit(int deviceCount) {
    for (int i = 0; i < deviceCount; ++i) {
        auto it = g_streamFiles.find(i + 1);
        const std::string entry = it == g_streamFiles.end() ? std::string() : it->second;
        if (ChooseMover(g_config.DNet, g_job.isBackup, g_job.listenPort, entry.c_str()) != MoverKind::SendToService)
            continue;
        std::string text;
        if (!BuildRequestText(g_moveClauses, g_job.database, KindWord(g_job.isDatabase),
                              static_cast<uint32_t>(deviceCount), static_cast<uint32_t>(i + 1),
                              g_config.LocalVersion, &text)) {
            Log::WError("The MOVE-clause list of [%s] holds %zu characters: it does not fit the %zu-byte request "
                        "of a backup streamed to a restore service. Nothing was submitted.",
                        g_job.database.c_str(), g_moveClauses.size(), kRequestBlockSize);
            return false;
        }
    }
    return true;
}

int Teardown(Reached& r, int status) {
    DiscardMediaSet();
    // A statement thread that is still running may still end the process itself; returning
    // from main now would run the exit processing beside it.
    if (!ReleaseDeviceSet(r, true)) ExitProcess(static_cast<UINT>(status));
    return status;
}

}  // namespace

std::vector<std::string> LogPieces(const char* prefix, const std::string& text) {
    if (text.size() <= kLogPiece) return {prefix + text};
    std::vector<std::string> pieces;
    const size_t n = (text.size() + kLogPiece - 1) / kLogPiece;
    for (size_t k = 0; k < n; ++k) {
        char head[64];
        snprintf(head, sizeof head, "(part %zu of %zu) ", k + 1, n);
        pieces.push_back((k == 0 ? std::string(prefix) : std::string()) + head + text.substr(k * kLogPiece, kLogPiece));
    }
    return pieces;
}

std::wstring VdiInstanceName(const char* instance, const char* computerName) {
    if (instance[0] == 0 || strcasecmp(instance, "127.0.0.1") == 0 || strcasecmp(instance, "localhost") == 0 ||
        strcmp(instance, ".") == 0 || strcasecmp(instance, computerName) == 0)
        return std::wstring();
    const char* slash = strchr(instance, '\\');
    if (!slash) return std::wstring();
    std::wstring out;
    for (const char* p = slash + 1; *p; ++p) out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return out;
}

HRESULT CreateDeviceSet(Reached& r, int count, wchar_t* name, const char* hexPrefix) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        Log::WError("Coinit fails: %s%X", hexPrefix, static_cast<unsigned>(hr));
        return hr;
    }
    r.comInit = true;

    void* object = nullptr;
    hr = CoCreateInstance(CLSID_MSSQL_ClientVirtualDeviceSet, nullptr, CLSCTX_INPROC_SERVER,
                          IID_IClientVirtualDeviceSet2, &object);
    if (FAILED(hr)) {
        Log::WError("Could not create component: %s%X", hexPrefix, static_cast<unsigned>(hr));
        Log::WError("Check registration of SQLVDI.DLL and value of IID");
        return hr;
    }
    r.set = static_cast<IClientVirtualDeviceSet2*>(object);

    GUID guid;
    CoCreateGuid(&guid);
    StringFromGUID2(guid, name, kSetNameRoom);
    VDConfig config{};
    config.deviceCount = static_cast<DWORD>(count);
    const std::wstring instance = VdiInstanceName(g_config.Instance, g_config.ComputerName);
    hr = r.set->CreateEx(instance.empty() ? nullptr : instance.c_str(), name, &config);
    if (FAILED(hr)) {
        Log::WError("VDS::Create fails: %s%X", hexPrefix, static_cast<unsigned>(hr));
        return hr;
    }
    r.created = true;
    return S_OK;
}

bool ReleaseDeviceSet(Reached& r, bool mainRun) {
    if (r.created) r.set->Close();
    if (r.set) r.set->Release();
    bool ended = true;
    if (r.statementThread) {
        // Closing the set fails the server's statement; let its thread finish its lines.
        ended = WaitForSingleObject(r.statementThread, kStatementGraceMs) == WAIT_OBJECT_0;
        if (!ended) Log::WWarn("The statement thread is still running at the end of the run.");
        CloseHandle(r.statementThread);
    }
    if (mainRun && r.created) WSACleanup();
    if (r.comInit) {
        CoUninitialize();
        if (mainRun) Log::Close();
    }
    r = Reached();
    return ended;
}

HRESULT AwaitConfiguration(IClientVirtualDeviceSet2* set, HANDLE statementThread, VDConfig* config,
                           bool* statementEnded) {
    *statementEnded = false;
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        const DWORD left = spent < kConfigurationTimeoutMs ? kConfigurationTimeoutMs - spent : 0;
        const HRESULT hr = set->GetConfiguration(left < kConfigurationSliceMs ? left : kConfigurationSliceMs, config);
        if (hr != VD_E_TIMEOUT || left <= kConfigurationSliceMs) return hr;
        if (WaitForSingleObject(statementThread, 0) == WAIT_OBJECT_0) {
            // Nothing will open the set now; a configuration that raced the end still counts.
            const HRESULT last = set->GetConfiguration(0, config);
            *statementEnded = FAILED(last);
            return last;
        }
    }
}

int RunDeviceSet(const char* connStr, int deviceCount) {
    const char action = g_config.Action[0];
    // A backup claims the files it writes before anything reaches the server, so that a run that
    // cannot write them, or that another run is writing, stops here with the previous set intact.
    bool claimed = false;
    if (action == 'B') {
        std::vector<std::string> files;
        for (int k = 1; k <= deviceCount; ++k)
            if (WrittenToFile(StreamEntry(k))) files.push_back(StreamEntry(k));
        if (!files.empty()) {
            const std::string options = WrittenToFile(FirstEntry()) ? OptionsFileName(FirstEntry()) : std::string();
            if (!ClaimMediaSet(files, options)) return -1;
            claimed = true;
        }
    }

    Reached r;
    HRESULT hr = CreateDeviceSet(r, deviceCount, g_deviceSetName, "x");
    if (!r.comInit) {
        DiscardMediaSet();
        return -1;
    }
    if (FAILED(hr)) return Teardown(r, -1);
    VDConfig config{};
    config.deviceCount = static_cast<DWORD>(deviceCount);

    // The MOVE-clause list: asked of the server for a full backup, taken from the options file
    // and resolved for the restore of one.
    const bool fullType = g_config.BKType[0] == 'F';
    if (action == 'B' && fullType) {
        g_moveClauses = QuerySQL(connStr, MoveClauseQuery(g_config.DB).c_str(), true);
    } else if (action != 'B' && action != 'V' && fullType) {
        std::string list;
        if (!ReadOptionsFile(OptionsFileName(FirstEntry()), &list)) {
            Log::WError("Filed to pull operation options.");
            return Teardown(r, -1);
        }
        g_moveClauses = list;
        g_moveClauses = QuerySQL(connStr, ResolveClausesQuery(g_moveClauses).c_str(), true);
    }
    if (action == 'B' && !RequestsFit(deviceCount)) return Teardown(r, -1);
    if (NeedsStandbyClause(g_config) && !IsDirectory(g_config.Standby)) {
        Log::WError("The direcotry for standby file [%s] did NOT exist.", g_config.Standby);
        return Teardown(r, -121);
    }
    SYSTEMTIME now;
    GetLocalTime(&now);

    if (!s_texts) s_texts = new StatementTexts;
    s_texts->connStr = connStr;
    s_texts->statement = ComposeStatement(g_config, deviceCount, g_deviceSetName, g_moveClauses, now);
    s_texts->param.connStr = s_texts->connStr.c_str();
    s_texts->param.statement = s_texts->statement.c_str();
    for (const std::string& piece : LogPieces("Submitting SQL:\n", s_texts->statement)) Log::WDebug("%s", piece.c_str());

    r.statementThread = CreateThread(nullptr, 0, execSQL, &s_texts->param, 0, nullptr);
    if (!r.statementThread) {
        Log::WError("execSQL failed.\n");
        return Teardown(r, -1);
    }

    bool statementEnded = false;
    hr = AwaitConfiguration(r.set, r.statementThread, &config, &statementEnded);
    DWORD code = 0;
    if (statementEnded && GetExitCodeThread(r.statementThread, &code) && code != 0) {
        // Refused at once (a login, the statement itself): its own lines say why.
        Log::WError("The SQL operation failed with code %d", static_cast<int>(code));
        return Teardown(r, -1);
    }
    if (FAILED(hr)) {
        Log::WError("VDS::Getconfig fails: 0x%X", static_cast<unsigned>(hr));
        return Teardown(r, -1);
    }

    Log::WTrace("Spawning secondary threads ...");
    StreamInfo info{g_job.database.c_str(), "", "", 0};
    int status = startSecondary(r.set, r.statementThread, deviceCount, &info, g_deviceSetName);
    r.statementThread = nullptr;  // startSecondary has waited for it and closed its handle

    // The set replaces the previous one only now that the statement and every stream succeeded,
    // and only with its options file written.
    if (status == 0 && claimed) {
        const std::string options = OptionsFileName(FirstEntry());
        const bool keepOptions = OptionsFileWanted(action, g_config.BKType[0], g_job.host, FirstEntry()) &&
                                 !g_moveClauses.empty();
        if (keepOptions && !WriteOptionsFile(MediaWritePath(options), g_moveClauses)) {
            Log::WError("Failed to write the operation options file %s (%s)", options.c_str(), strerror(errno));
            status = -1;
        } else if (!CommitMediaSet(keepOptions)) {
            status = -1;
        }
    }
    return Teardown(r, status);
}
