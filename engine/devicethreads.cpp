#include "engine/devicethreads.h"

#include "config/Config.h"
#include "engine/filemovers.h"
#include "engine/job.h"
#include "engine/netmovers.h"
#include "engine/statements.h"
#include "sql/Sql.h"
#include "support/Log.h"
#include "support/SysUtils.h"

#include <wchar.h>

#include <string>

namespace {

[[noreturn]] void AbortRun(IClientVirtualDeviceSet2* set) {
    set->SignalAbort();
    Sleep(500);
    // ExitProcess flushes stdio first, so the lines that explain the end reach the log file.
    ExitProcess(static_cast<UINT>(-1));
}

[[noreturn]] void WaitFailed(IClientVirtualDeviceSet2* set, const char* call, DWORD w) {
    LogStatusError("startSecondary", call, GetLastError());
    Log::WError("Unexpected wait code: %d", static_cast<int>(w));
    AbortRun(set);
}

// Media files record neither compression nor pass phrase, so a restore or verify that the server
// could not read from its files (3241: no media family; 3203: a read failed, as the file's reader
// failed) was most often given other settings than its backup.
void HintMediaSettings() {
    if (g_job.isBackup || MoverOf(1) != MoverKind::FileMedia) return;
    if (!ServerErrorReported(3241) && !ServerErrorReported(3203)) return;
    Log::WError(
        "A restore or verify needs the CompressType and EncPass the backup was made with; in force: CompressType "
        "%s, EncPass %s.",
        g_config.CompressType[0] ? g_config.CompressType : "(none)", g_config.EncPass[0] ? "set" : "not set");
}

}  // namespace

uint32_t g_deviceEndWaitMs = 90000;

MoverKind ChooseMover(bool dnet, bool isBackup, int32_t listenPort, const char* streamEntry) {
    if (dnet) return MoverKind::PlainFile;
    if (!isBackup && listenPort > 0) return MoverKind::ReceiveFromPeer;
    if (streamEntry[0] != 0 && !IsTcpEntry(streamEntry)) return MoverKind::FileMedia;
    if (isBackup) return MoverKind::SendToService;
    return MoverKind::ReceiveFromPeer;
}

MoverKind MoverOf(int stream) {
    return ChooseMover(g_config.DNet, g_job.isBackup, g_job.listenPort, StreamEntry(stream).c_str());
}

void LogStatusError(const char* location, const char* description, DWORD status) {
    Log::WError("Error at %s: %s StatusCode: %X\n", location, description ? description : "", status);
    if (status == 0) return;
    const std::string text = ErrorText(status);
    if (!text.empty()) Log::WError("Explanation: %s", text.c_str());
}

unsigned DeviceThreadProc(void* param) {
    const DeviceThreadParam* p = static_cast<const DeviceThreadParam*>(param);
    IClientVirtualDeviceSet2* set = p->set;
    const uint32_t index = p->index;
    const StreamInfo info = p->info;
    int result = 0;

    const std::wstring name = DeviceName(p->setName, index);
    IClientVirtualDevice* device = nullptr;
    VDConfig config{};
    HRESULT hr = set->OpenDevice(name.c_str(), &device);
    if (FAILED(hr)) {
        Log::WError("OpenDevice fails on %ls: x%X", name.c_str(), static_cast<unsigned>(hr));
        result = -1;
    } else if (FAILED(hr = set->GetConfiguration(INFINITE, &config))) {
        Log::WError("VDS::Getconfig fails: x%X", static_cast<unsigned>(hr));
        result = -1;
    } else {
        Log::WTrace("Start Thread[%d] - Performing data transfer ...", static_cast<int>(GetCurrentThreadId()));
        const DWORD writeMedia = config.features & VDF_WriteMedia;
        switch (MoverOf(static_cast<int>(index) + 1)) {
            case MoverKind::PlainFile: result = TransferPlainFile(device, writeMedia, index); break;
            case MoverKind::FileMedia: result = TransferFileMedia(device, writeMedia, index); break;
            case MoverKind::SendToService: result = SendStreamToService(device, info.count, index + 1); break;
            case MoverKind::ReceiveFromPeer:
                ReceiveStreamFromPeer(info.database, info.kind, device, info.peer, info.count, index + 1);
                break;
        }
    }
    if (result != 0) set->SignalAbort();
    Log::WTrace("Thread[%d] is finished.", static_cast<int>(GetCurrentThreadId()));
    return static_cast<unsigned>(result);
}

int startSecondary(IClientVirtualDeviceSet2* set, HANDLE statementThread, int32_t count, const StreamInfo* info,
                   const wchar_t* setName) {
    // Every block outlives its thread: the function returns only after all threads have ended,
    // and an abort ends the process.
    DeviceThreadParam params[kMaxDevices];
    HANDLE handles[kMaxDevices + 1];
    if (count < 1 || count > kMaxDevices) {
        Log::WError("A device set holds 1 to %d devices, not %d.", kMaxDevices, count);
        AbortRun(set);
    }
    for (int32_t i = 0; i < count; ++i) {
        DeviceThreadParam& p = params[i];
        p.set = set;
        p.index = static_cast<uint32_t>(i);
        p.info = *info;
        p.info.count = static_cast<uint32_t>(count);
        wcsncpy(p.setName, setName, kSetNameRoom - 1);
        p.setName[kSetNameRoom - 1] = 0;
        unsigned id = 0;
        uintptr_t h = _beginthreadex(nullptr, 0, DeviceThreadProc, &p, 0, &id);
        if (h == 0) {
            int err = 0;
            _get_errno(&err);
            Log::WError("Failed to create thread. errno is %d", err);
            AbortRun(set);
        }
        handles[i] = reinterpret_cast<HANDLE>(h);
        Log::WTrace("Started thread [%d]", static_cast<int>(id));
    }
    handles[count] = statementThread;
    const DWORD n = static_cast<DWORD>(count) + 1;
    Log::WTrace("All children are now running. Waiting for their completion ...");
    Sleep(1000);
    // The statement ends once the server is done with the set or has given up on it. A device
    // thread may still hang on its media (the open of a pipe that no one reads never returns), so
    // from then on the device threads get as long as a mover waits for a command, no longer.
    DWORD w = WaitForSingleObject(statementThread, INFINITE);
    if (w != WAIT_OBJECT_0) WaitFailed(set, "WaitForSingle", w);
    DWORD code = 0;
    w = WaitForMultipleObjects(static_cast<DWORD>(count), handles, TRUE, g_deviceEndWaitMs);
    if (w == WAIT_TIMEOUT) {
        if (GetExitCodeThread(statementThread, &code) && code != 0)
            Log::WError("The SQL operation failed with code %d", static_cast<int>(code));
        for (int32_t i = 0; i < count; ++i) {
            if (WaitForSingleObject(handles[i], 0) == WAIT_TIMEOUT)
                Log::WError("The data transfer of stream %d did not end within %u ms after the statement ended.",
                            static_cast<int>(i) + 1, static_cast<unsigned>(g_deviceEndWaitMs));
        }
        AbortRun(set);
    }
    if (w >= static_cast<DWORD>(count)) WaitFailed(set, "WaitForMultiple", w);
    if (!GetExitCodeThread(statementThread, &code)) {
        LogStatusError("startSecondary", "GetExitCode", GetLastError());
        AbortRun(set);
    }
    if (code != 0) {
        Log::WError("The SQL operation failed with code %d", static_cast<int>(code));
        HintMediaSettings();
        AbortRun(set);
    }
    // The statement can complete while a stream still fails (its media's last bytes, its close):
    // the run has then not produced a set that restores.
    for (int32_t i = 0; i < count; ++i) {
        if (!GetExitCodeThread(handles[i], &code)) {
            LogStatusError("startSecondary", "GetExitCode", GetLastError());
            AbortRun(set);
        }
        if (code != 0) {
            Log::WError("The data transfer of stream %d failed.", static_cast<int>(i) + 1);
            AbortRun(set);
        }
    }
    for (DWORD i = 0; i < n; ++i) CloseHandle(handles[i]);
    return 0;
}
