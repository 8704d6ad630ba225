#include "engine/netmovers.h"

#include "config/Config.h"
#include "engine/job.h"
#include "engine/restoreprotocol.h"
#include "media/SocketService.h"
#include "support/Log.h"

#include <cstdio>
#include <string>

uint32_t g_connectionWaitMs = 60000;
uint32_t g_streamIdleMs = 90000;

namespace {

const DWORD kCommandWaitMs = 90000;

// The optional copy of a stream in LocalFolder. A failed write is reported once; the stream goes on.
// On the service side the copy holds back its last block-size bytes: the server reads ahead past
// the end of its stream, so the peer's closing block arrives through its reads as well, and it is
// left out of the copy once it is recognised at the end.
class LocalCopy {
public:
    LocalCopy(const std::string& database, const std::string& kind, uint32_t index, bool holdBack)
        : holdBack_(holdBack) {
        if (!WantsLocalCopy(g_config.LocalFolder)) return;
        SYSTEMTIME now;
        GetLocalTime(&now);
        if (!LocalCopyName(g_config.LocalFolder, database, kind, now, index, &name_)) {
            Log::WError("The local copy of stream %u would need a name over %d characters; no copy is made.", index,
                        static_cast<int>(kMaxLocalCopyName));
            return;
        }
        file_ = fopen(name_.c_str(), "wb");
        Log::WInfo("Write backup stream to file[%s].", name_.c_str());
        if (!file_) Log::WError("Cannot open [%s]; the stream goes on without a local copy.", name_.c_str());
    }
    ~LocalCopy() { Close(); }
    LocalCopy(const LocalCopy&) = delete;
    LocalCopy& operator=(const LocalCopy&) = delete;

    void Write(const void* data, size_t size) {
        if (!file_ || size == 0) return;
        if (!holdBack_) {
            Put(data, size);
            return;
        }
        const char* p = static_cast<const char*>(data);
        if (size >= kRequestBlockSize) {
            Put(tail_.data(), tail_.size());
            Put(p, size - kRequestBlockSize);
            tail_.assign(p + size - kRequestBlockSize, kRequestBlockSize);
        } else {
            tail_.append(p, size);
            if (tail_.size() > kRequestBlockSize) {
                const size_t excess = tail_.size() - kRequestBlockSize;
                Put(tail_.data(), excess);
                tail_.erase(0, excess);
            }
        }
    }
    // Ends the copy; the held-back bytes are written unless `isTrailer` says they are the closing
    // block.
    template <typename IsTrailer>
    void Finish(IsTrailer isTrailer) {
        if (file_ && !tail_.empty() && !(tail_.size() == kRequestBlockSize && isTrailer(tail_)))
            Put(tail_.data(), tail_.size());
        tail_.clear();
        Close();
    }
    void Close() {
        if (file_) fclose(file_);
        file_ = nullptr;
    }

private:
    void Put(const void* data, size_t size) {
        if (!file_ || size == 0) return;
        if (fwrite(data, 1, size, file_) != size) {
            Log::WError("Failed to write backup stream to [%s].", name_.c_str());
            Close();
        }
    }

    bool holdBack_;
    std::string name_;
    std::string tail_;
    FILE* file_ = nullptr;
};

// The command loop of both movers: `serve` moves one read or write command and gives its byte count
// (negative when the socket call failed). Returns the final status.
template <typename Serve>
HRESULT CommandLoop(IClientVirtualDevice* device, Serve serve) {
    for (;;) {
        VDC_Command* cmd = nullptr;
        HRESULT hr = device->GetCommand(kCommandWaitMs, &cmd);
        if (hr != 0) return hr;
        DWORD code = ERROR_SUCCESS;
        DWORD moved = 0;
        switch (cmd->commandCode) {
            case VDC_Read:
            case VDC_Write: {
                const ssize_t n = serve(cmd);
                if (n > 0) moved = static_cast<DWORD>(n);
                if (n != static_cast<ssize_t>(cmd->size))
                    code = cmd->commandCode == VDC_Read ? ERROR_HANDLE_EOF : ERROR_DISK_FULL;
                break;
            }
            case VDC_Flush:
            case VDC_ClearError: break;
            default: code = ERROR_NOT_SUPPORTED; break;
        }
        hr = device->CompleteCommand(cmd, code, moved, 0);
        if (hr != 0) {
            Log::WError("Completion Failed: 0x%X", static_cast<unsigned>(hr));
            return hr;
        }
    }
}

ssize_t SendOnce(SOCKET s, const void* data, size_t size, int flags) {
    if (s == INVALID_SOCKET) return -1;
    return send(static_cast<int>(s), data, size, flags);
}

ssize_t RecvOnce(SOCKET s, void* data, size_t size, int flags) {
    if (s == INVALID_SOCKET) return -1;
    return recv(static_cast<int>(s), data, size, flags);
}

// Receives until `size` bytes have come, the peer closes or a receive fails; each receive is bound
// by the socket's receive time-out, so a peer that stops sending fails the call instead of holding
// it. Gives the byte count (-1 when a first receive failed); *idle tells a time-out.
ssize_t RecvFull(SOCKET s, char* data, size_t size, bool* idle) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = RecvOnce(s, data + got, size - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && IsReceiveTimeout(WSAGetLastError())) *idle = true;
        if (n < 0 && got == 0) return -1;
        break;
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

void SendStreamToService(IClientVirtualDevice* device, uint32_t count, uint32_t index) {
    const std::string& database = g_job.database;
    const char* kind = KindWord(g_job.isDatabase);
    const std::string port = std::to_string(g_job.port);
    LocalCopy copy(database, kind, index, false);

    char block[kRequestBlockSize] = {};
    std::string request;
    if (!BuildRequestText(g_moveClauses, database, kind, count, index, g_config.LocalVersion, &request)) {
        Log::WError("The restore request of stream %u does not fit its %d bytes.", index,
                    static_cast<int>(kRequestBlockSize));
        ExitProcess(static_cast<UINT>(-1));
    }
    SOCKET s = INVALID_SOCKET;
    if (!ConnectToServer(g_job.host.c_str(), port.c_str(), &s)) {
        Log::WError("Backup connection failed to create socket.");
        ExitProcess(static_cast<UINT>(-1));
    }
    request.copy(block, request.size());
    const unsigned thread = GetCurrentThreadId();
    Log::WTrace("Thread[%u] - Connected to restore service.", thread);
    SendOnce(s, block, sizeof block, 0);
    RecvOnce(s, block, sizeof block, 0);
    Log::WTrace("Thread[%u] - Agreed to start service.", thread);
    Sleep(125);

    uint64_t total = 0;
    const HRESULT status = CommandLoop(device, [&](VDC_Command* cmd) -> ssize_t {
        if (cmd->commandCode == VDC_Write) {
            const ssize_t n = SendOnce(s, cmd->buffer, cmd->size, 0);
            if (n > 0 && static_cast<size_t>(n) <= cmd->size) total += static_cast<uint64_t>(n);
            copy.Write(cmd->buffer, cmd->size);  // what the server wrote, also when the send failed
            return n;
        }
        return RecvOnce(s, cmd->buffer, cmd->size, 0);
    });
    if (status != VD_E_CLOSE) Log::WError("Unexpected termination: 0x%X", static_cast<unsigned>(status));
    Log::WTrace("Thread[%u] - Backup Steam sent %lluKB.", thread, static_cast<unsigned long long>(total / 1024));
    SendOnce(s, block, sizeof block, MSG_WAITALL);
    copy.Close();
    Sleep(500);
    closesocket(s);
}

void ReceiveStreamFromPeer(const char* database, const char* kind, IClientVirtualDevice* device, const char* peer,
                           uint32_t count, uint32_t index) {
    LocalCopy copy(database, kind, index, true);
    const std::string key = LookupKey(peer, database, kind, count, index);
    // A later stream of the backup may not have connected yet; it never takes another one's socket.
    const SOCKET s = TakeConnection(key, g_connectionWaitMs);
    if (s == INVALID_SOCKET)
        Log::WError("No connection arrived for [%s] within %u ms; stream %u fails.", key.c_str(), g_connectionWaitMs,
                    index);
    else
        SetReceiveTimeout(s, g_streamIdleMs);
    char block[kRequestBlockSize] = {};
    Sleep(125);

    const unsigned thread = GetCurrentThreadId();
    uint64_t total = 0;
    bool idle = false;
    const HRESULT status = CommandLoop(device, [&](VDC_Command* cmd) -> ssize_t {
        if (cmd->commandCode == VDC_Read) {
            // Once the peer has fallen silent, every later read fails at once like a broken stream.
            if (idle) return -1;
            const ssize_t n = RecvFull(s, reinterpret_cast<char*>(cmd->buffer), cmd->size, &idle);
            if (n > 0) copy.Write(cmd->buffer, static_cast<size_t>(n));
            if (n > 0 && static_cast<size_t>(n) <= cmd->size) total += static_cast<uint64_t>(n);
            if (idle)
                Log::WError("Thread[%u] - No byte of stream %u came for %u ms; the stream fails.", thread, index,
                            g_streamIdleMs);
            return n;
        }
        return SendOnce(s, cmd->buffer, cmd->size, 0);
    });
    if (status != VD_E_CLOSE) Log::WError("Unexpected Termination: 0x%X", static_cast<unsigned>(status));
    Log::WTrace("Thread[%u] - Received %lluKB from Backup Steam.", thread,
                static_cast<unsigned long long>(total / 1024));
    if (s != INVALID_SOCKET) {
        // A silent peer sends no closing block either.
        if (!idle) RecvOnce(s, block, sizeof block, 0);
        RemoveConnection(key, s);
        closesocket(s);
    }
    copy.Finish([&](const std::string& held) {
        RestoreRequest r;
        return ParseRequest(held.data(), held.size(), &r) == RequestFault::None &&
               LookupKey(peer, r.database.c_str(), r.kind.c_str(), r.count, r.index) == key;
    });
}
