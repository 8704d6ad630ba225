#include "engine/devicerun.h"

#include "config/Config.h"
#include "engine/job.h"
#include "engine/mediaset.h"
#include "engine/moveclauses.h"
#include "engine/service/request.h"
#include "engine/statements.h"
#include "platform/winsock/winsock.h"
#include "sql/Sql.h"
#include "support/Log.h"
#include "support/SysUtils.h"

#include <stdio.h>
#include <string.h>

wchar_t g_deviceSetName[kSetNameRoom];

// The statement thread's block and texts. The teardown may run while that thread still reads
// them (after a failed configuration); they are then left to it.
struct DeviceSetRun::Texts {
    std::string connStr;
    std::string statement;
    SqlExecParam param;
};

namespace {

// How long the teardown waits for a statement thread that is still running.
const DWORD kStatementGraceMs = 20000;

// How often the wait for the set's configuration looks whether the statement has already ended.
const DWORD kConfigurationSliceMs = 100;

// Whether a backup's device thread writes the stream into a file (a file mover serves it).
bool WrittenToFile(int stream) {
    const MoverKind kind = MoverOf(stream);
    return kind == MoverKind::PlainFile || kind == MoverKind::FileMedia;
}

// A backup streamed to a restore service carries the MOVE-clause list in every stream's request
// block, whose size is fixed: a list that does not fit fails the run before the server starts it.
// A full backup must carry one: without it the service would restore to whatever paths the stream
// records. Media settings do not reach such a stream, which is said once.
bool RequestsFit(int deviceCount) {
    bool streamed = false;
    for (int i = 0; i < deviceCount; ++i) {
        if (MoverOf(i + 1) != MoverKind::SendToService) continue;
        if (!streamed && g_config.BKType[0] == 'F' && (g_moveClauses.empty() || g_moveClauses == "NULL")) {
            Log::WError(
                "The MOVE-clause list of [%s] could not be read: a full backup streamed to a restore service "
                "carries it in every request. Nothing was submitted.",
                g_job.database.c_str());
            return false;
        }
        if (!streamed && (g_config.EncPass[0] != 0 || g_config.CompressType[0] == 'G'))
            Log::WWarn(
                "EncPass and CompressType G do not apply to tcp:// streams: they travel in clear and "
                "uncompressed.");
        streamed = true;
        std::string text;
        if (!BuildRequestText(g_moveClauses, g_job.database, KindWord(g_job.isDatabase),
                              static_cast<uint32_t>(deviceCount), static_cast<uint32_t>(i + 1), g_config.LocalVersion,
                              &text)) {
            Log::WError(
                "The MOVE-clause list of [%s] holds %zu characters: it does not fit the %zu-byte request "
                "of a backup streamed to a restore service. Nothing was submitted.",
                g_job.database.c_str(), g_moveClauses.size(), kRequestBlockSize);
            return false;
        }
    }
    return true;
}

// The statement thread of main's run. The server counts a backup once its statement has
// succeeded (a log backup's records are marked backed up, a full backup moves the differential
// base): from then on nothing of the new set may be removed.
DWORD RunStatement(LPVOID param) {
    const uint32_t code = execSQL(param);
    if (code == 0) NoteBackupCounted();
    return code;
}

bool IsDevice(const std::string& file) {
    const DWORD attrs = GetFileAttributesA(file.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DEVICE);
}

bool IsRegularFile(const std::string& file) {
    const DWORD attrs = GetFileAttributesA(file.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & (FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_DIRECTORY));
}

// What a differential or log backup must not replace: the files of a full backup set, which the
// options file beside the first one marks. A log backup replacing an earlier log backup's files is
// allowed, with a warning, since the log chain then lacks the replaced backup.
bool FitsTheFiles(char bkType, const std::vector<std::string>& files, const std::string& options) {
    if (bkType == 'F') return true;
    if (!options.empty() && IsRegularFile(options)) {
        std::string names;
        for (const std::string& f : files) names += (names.empty() ? "[" : ", [") + f + "]";
        Log::WError(
            "The media files %s hold a full backup set (its options file [%s] is beside them), which this %s "
            "backup would replace: write the %s backup to other files. Nothing was submitted.",
            names.c_str(), options.c_str(), bkType == 'D' ? "differential" : "log",
            bkType == 'D' ? "differential" : "log");
        return false;
    }
    if (bkType == 'L') {
        for (const std::string& f : files)
            if (IsRegularFile(f))
                Log::WWarn(
                    "The log backup replaces the earlier backup in [%s]: give each log backup files of its "
                    "own, or the log chain lacks the one replaced.",
                    f.c_str());
    }
    return true;
}

int Teardown(DeviceSetRun& run, int status) {
    DiscardMediaSet();
    // A statement thread that is still running may still end the process itself; returning
    // from main now would run the exit processing beside it.
    if (!run.End()) ExitProcess(static_cast<UINT>(status));
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
    if (instance[0] == 0 || _stricmp(instance, "127.0.0.1") == 0 || _stricmp(instance, "localhost") == 0 ||
        strcmp(instance, ".") == 0 || _stricmp(instance, computerName) == 0)
        return std::wstring();
    const char* slash = strchr(instance, '\\');
    if (!slash) return std::wstring();
    std::wstring out;
    for (const char* p = slash + 1; *p; ++p) out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return out;
}

DeviceSetRun::DeviceSetRun(const RunPlace& place, wchar_t* name) : place_(place), name_(name) {}

DeviceSetRun::~DeviceSetRun() { End(); }

bool DeviceSetRun::Create(int count) {
    count_ = count;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        Log::WError("Coinit fails: %s%X", place_.hexPrefix, static_cast<unsigned>(hr));
        return false;
    }
    comInit_ = true;

    void* object = nullptr;
    hr = CoCreateInstance(CLSID_MSSQL_ClientVirtualDeviceSet, nullptr, CLSCTX_INPROC_SERVER,
                          IID_IClientVirtualDeviceSet2, &object);
    if (FAILED(hr)) {
        Log::WError("Could not create component: %s%X", place_.hexPrefix, static_cast<unsigned>(hr));
        Log::WError("Check registration of SQLVDI.DLL and value of IID");
        return false;
    }
    set_ = static_cast<IClientVirtualDeviceSet2*>(object);

    GUID guid;
    CoCreateGuid(&guid);
    StringFromGUID2(guid, name_, kSetNameRoom);
    VDConfig config{};
    config.deviceCount = static_cast<DWORD>(count);
    const std::wstring instance = VdiInstanceName(g_config.Instance, g_config.ComputerName);
    hr = set_->CreateEx(instance.empty() ? nullptr : instance.c_str(), name_, &config);
    if (FAILED(hr)) {
        Log::WError("VDS::Create fails: %s%X", place_.hexPrefix, static_cast<unsigned>(hr));
        return false;
    }
    created_ = true;
    return true;
}

int DeviceSetRun::Serve(const std::string& connStr, const std::string& statement, const StreamInfo& info) {
    texts_ = new Texts{connStr, statement, {}};
    texts_->param.connStr = texts_->connStr.c_str();
    texts_->param.statement = texts_->statement.c_str();
    for (const std::string& piece : LogPieces("Submitting SQL:\n", texts_->statement)) Log::WDebug("%s", piece.c_str());

    statementThread_ =
        CreateThread(nullptr, 0, place_.ownsProcess ? RunStatement : execSQL, &texts_->param, 0, nullptr);
    if (!statementThread_) {
        Log::WError("%s", place_.noStatementThread);
        return -1;
    }
    if (place_.announcesWait) Log::WTrace("Waiting for SQL to complete configuration ...");
    VDConfig config{};
    config.deviceCount = static_cast<DWORD>(count_);
    bool statementEnded = false;
    const HRESULT hr = AwaitConfiguration(&config, &statementEnded);
    DWORD code = 0;
    if (statementEnded && GetExitCodeThread(statementThread_, &code) && code != 0) {
        // Refused at once (a login, the statement itself): its own lines say why.
        Log::WError("The SQL operation failed with code %d", static_cast<int>(code));
        return -1;
    }
    if (FAILED(hr)) {
        Log::WError("VDS::Getconfig fails: 0x%X", static_cast<unsigned>(hr));
        return -1;
    }

    Log::WTrace("Spawning secondary threads ...");
    const int status = startSecondary(set_, statementThread_, count_, &info, name_);
    statementThread_ = nullptr;  // startSecondary has waited for it and closed its handle
    return status;
}

HRESULT DeviceSetRun::AwaitConfiguration(VDConfig* config, bool* statementEnded) {
    *statementEnded = false;
    if (!place_.waitEndsWithStatement) return set_->GetConfiguration(kConfigurationTimeoutMs, config);
    // In slices, no longer than the statement runs: when it ends first, the result is the last
    // failed look.
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        const DWORD left = spent < kConfigurationTimeoutMs ? kConfigurationTimeoutMs - spent : 0;
        const HRESULT hr = set_->GetConfiguration(left < kConfigurationSliceMs ? left : kConfigurationSliceMs, config);
        if (hr != VD_E_TIMEOUT || left <= kConfigurationSliceMs) return hr;
        if (WaitForSingleObject(statementThread_, 0) == WAIT_OBJECT_0) {
            // Nothing will open the set now; a configuration that raced the end still counts.
            const HRESULT last = set_->GetConfiguration(0, config);
            *statementEnded = FAILED(last);
            return last;
        }
    }
}

bool DeviceSetRun::End() {
    if (created_) set_->Close();
    if (set_) set_->Release();
    bool ended = true;
    if (statementThread_) {
        // Closing the set fails the server's statement; let its thread finish its lines.
        ended = WaitForSingleObject(statementThread_, kStatementGraceMs) == WAIT_OBJECT_0;
        if (!ended) Log::WWarn("The statement thread is still running at the end of the run.");
        CloseHandle(statementThread_);
    }
    if (place_.ownsProcess && created_) WSACleanup();
    if (comInit_) {
        CoUninitialize();
        if (place_.ownsProcess) Log::Close();
    }
    if (ended) delete texts_;
    texts_ = nullptr;
    comInit_ = created_ = false;
    set_ = nullptr;
    statementThread_ = nullptr;
    return ended;
}

int RunDeviceSet(const char* connStr, int deviceCount) {
    const char action = g_config.Action[0];
    const std::string first = StreamEntry(1);
    // A backup claims the files it writes before anything reaches the server, so that a run that
    // cannot write them, or that another run is writing, stops here with the previous set intact.
    bool claimed = false;
    if (action == 'B') {
        std::vector<std::string> files;
        for (int k = 1; k <= deviceCount; ++k)
            if (WrittenToFile(k)) files.push_back(StreamEntry(k));
        if (!files.empty()) {
            // An options file goes only beside a regular first file: "/dev/null_opts" is nobody's.
            // A full backup claims it to write it or to remove an earlier set's; no other backup
            // runs beside one (FitsTheFiles).
            const char bkType = g_config.BKType[0];
            const std::string beside = WrittenToFile(1) && !IsDevice(first) ? OptionsFileName(first) : std::string();
            const bool claimOptions = bkType == 'F' && !beside.empty() &&
                                      (OptionsFileWanted(action, bkType, g_job.host, first) || IsRegularFile(beside));
            if (!ClaimMediaSet(files, claimOptions ? beside : std::string())) return -1;
            claimed = true;
            if (!FitsTheFiles(bkType, files, beside)) {
                DiscardMediaSet();
                return -1;
            }
        }
    }

    DeviceSetRun run(kMainRun, g_deviceSetName);
    if (!run.Create(deviceCount)) return Teardown(run, -1);

    // The MOVE-clause list: asked of the server for a full backup, taken from the options file
    // and resolved for the restore of one.
    const bool fullType = g_config.BKType[0] == 'F';
    if (action == 'B' && fullType) {
        g_moveClauses = QuerySQL(connStr, MoveClauseQuery(g_config.DB).c_str(), true);
    } else if (action != 'B' && action != 'V' && fullType) {
        std::string list;
        const std::string options = OptionsFileName(first);
        if (!ReadOptionsFile(options, &list)) {
            Log::WError("Filed to pull operation options.");
            return Teardown(run, -1);
        }
        // The list goes into SQL text: only what a backup writes may get there.
        if (!IsBackupSideMoveList(list)) {
            Log::WError(
                "The operation options file [%s] does not hold a file list of the shape a backup writes. Nothing "
                "was submitted.",
                options.c_str());
            return Teardown(run, -1);
        }
        g_moveClauses = list;
        g_moveClauses = QuerySQL(connStr, ResolveClausesQuery(g_moveClauses).c_str(), true);
    }
    if (action == 'B' && !RequestsFit(deviceCount)) return Teardown(run, -1);
    if (NeedsStandbyClause(g_config) && !FolderExists(g_config.Standby)) {
        // The odd spelling is on purpose: log watchers match the line as it stands.
        Log::WError("The direcotry for standby file [%s] did NOT exist.", g_config.Standby);
        return Teardown(run, -121);
    }
    // The options file is written before the statement, so that a set the server counts always
    // has it, also one that is kept aside.
    const std::string options = OptionsFileName(first);
    const bool keepOptions = claimed && OptionsFileWanted(action, g_config.BKType[0], g_job.host, first) &&
                             !g_moveClauses.empty() && !IsDevice(first);
    if (keepOptions && !WriteOptionsFile(MediaWritePath(options), g_moveClauses)) {
        Log::WError("Failed to write the operation options file %s (%s)", options.c_str(), RuntimeErrorText().c_str());
        return Teardown(run, -1);
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string statement = ComposeStatement(g_config, deviceCount, g_deviceSetName, g_moveClauses, now);
    int status = run.Serve(connStr, statement, StreamInfo{g_job.database.c_str(), "", "", 0});

    // The set replaces the previous one only now that the statement and every stream succeeded.
    if (status == 0 && claimed && !CommitMediaSet(keepOptions)) status = -1;
    return Teardown(run, status);
}
