#include "engine/netmovers.h"

#include "config/Config.h"
#include "engine/commandloop.h"
#include "engine/job.h"
#include "engine/restoreprotocol.h"
#include "media/SocketService.h"
#include "support/Log.h"

#include <string>

uint32_t g_connectionWaitMs = 60000;
uint32_t g_streamIdleMs = 90000;

namespace {

// A network mover waits 90 s for the server's next command.
const CommandRules kNetRules{90000, "0x"};

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
        // Others may read and write the copy while it grows.
        file_ = CreateFileA(name_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        Log::WInfo("Write backup stream to file[%s].", name_.c_str());
        if (!IsOpen()) Log::WError("Cannot open [%s]; the stream goes on without a local copy.", name_.c_str());
    }
    ~LocalCopy() { Close(); }
    LocalCopy(const LocalCopy&) = delete;
    LocalCopy& operator=(const LocalCopy&) = delete;

    void Write(const void* data, size_t size) {
        if (!IsOpen() || size == 0) return;
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
        if (IsOpen() && !tail_.empty() && !(tail_.size() == kRequestBlockSize && isTrailer(tail_)))
            Put(tail_.data(), tail_.size());
        tail_.clear();
        Close();
    }
    void Close() {
        if (IsOpen()) CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

private:
    bool IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }
    void Put(const void* data, size_t size) {
        if (!IsOpen() || size == 0) return;
        if (!WriteFile(file_, data, static_cast<DWORD>(size), nullptr, nullptr)) {
            Log::WError("Failed to write backup stream to [%s].", name_.c_str());
            Close();
        }
    }

    bool holdBack_;
    std::string name_;
    std::string tail_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

// Receives until `size` bytes have come, the peer closes or a receive fails; each receive is bound
// by the socket's receive time-out, so a peer that stops sending fails the call instead of holding
// it. Gives the byte count (-1 when a first receive failed); *idle tells a time-out.
int64_t RecvFull(SOCKET s, BYTE* data, size_t size, bool* idle) {
    size_t got = 0;
    while (got < size) {
        const int n = SocketRecv(s, data + got, size - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && WSAGetLastError() == WSAEINTR) continue;
        if (n < 0 && IsReceiveTimeout(WSAGetLastError())) *idle = true;
        if (n < 0 && got == 0) return -1;
        break;
    }
    return static_cast<int64_t>(got);
}

// A connection as the network movers use it: flush and clear-error commands touch neither the
// socket nor the copy. Only the bytes of the mover's own direction are counted.
class Connection : public MoverMedia {
public:
    Connection(SOCKET s, LocalCopy& copy) : s_(s), copy_(copy) {}
    bool Flush() override { return true; }
    uint64_t Total() const { return total_; }

protected:
    void Count(int64_t n, DWORD size) {
        if (n > 0 && n <= static_cast<int64_t>(size)) total_ += static_cast<uint64_t>(n);
    }
    const SOCKET s_;
    LocalCopy& copy_;

private:
    uint64_t total_ = 0;
};

// The backup side: the server's writes go to the restore service and into the copy.
class ToService : public Connection {
public:
    using Connection::Connection;
    int64_t Write(const BYTE* b, DWORD n) override {
        const int sent = SocketSend(s_, b, n, 0);
        Count(sent, n);
        copy_.Write(b, n);  // what the server wrote, also when the send failed
        return sent;
    }
    int64_t Read(BYTE* b, DWORD n) override { return SocketRecv(s_, b, n, 0); }
};

// The service side: the server's reads are filled from the backup run's connection, each whole
// unless the peer ends or falls silent, and what arrived goes into the copy.
class FromPeer : public Connection {
public:
    FromPeer(SOCKET s, LocalCopy& copy, uint32_t index) : Connection(s, copy), index_(index) {}
    int64_t Read(BYTE* b, DWORD n) override {
        // Once the peer has fallen silent, every later read fails at once like a broken stream.
        if (idle_) return -1;
        const int64_t got = RecvFull(s_, b, n, &idle_);
        if (got > 0) copy_.Write(b, static_cast<size_t>(got));
        Count(got, n);
        if (idle_)
            Log::WError("Thread[%u] - No byte of stream %u came for %u ms; the stream fails.", GetCurrentThreadId(),
                        index_, g_streamIdleMs);
        return got;
    }
    int64_t Write(const BYTE* b, DWORD n) override { return SocketSend(s_, b, n, 0); }
    bool Idle() const { return idle_; }

private:
    const uint32_t index_;
    bool idle_ = false;
};

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
    // A service that falls silent, or stops reading, fails the stream like a broken one instead
    // of holding the backup for ever.
    SetReceiveTimeout(s, g_streamIdleMs);
    SetSendTimeout(s, g_streamIdleMs);
    request.copy(block, request.size());
    const unsigned thread = GetCurrentThreadId();
    Log::WTrace("Thread[%u] - Connected to restore service.", thread);
    SocketSend(s, block, sizeof block, 0);
    SocketRecv(s, block, sizeof block, 0);
    Log::WTrace("Thread[%u] - Agreed to start service.", thread);
    Sleep(125);

    ToService connection(s, copy);
    const HRESULT status = ServeCommands(device, connection, kNetRules);
    if (status != VD_E_CLOSE) Log::WError("Unexpected termination: 0x%X", static_cast<unsigned>(status));
    Log::WTrace("Thread[%u] - Backup Steam sent %lluKB.", thread,
                static_cast<unsigned long long>(connection.Total() / 1024));
    SocketSend(s, block, sizeof block, MSG_WAITALL);
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
    FromPeer connection(s, copy, index);
    const HRESULT status = ServeCommands(device, connection, kNetRules);
    if (status != VD_E_CLOSE) Log::WError("Unexpected Termination: 0x%X", static_cast<unsigned>(status));
    Log::WTrace("Thread[%u] - Received %lluKB from Backup Steam.", thread,
                static_cast<unsigned long long>(connection.Total() / 1024));
    if (s != INVALID_SOCKET) {
        // A silent peer sends no closing block either.
        if (!connection.Idle()) SocketRecv(s, block, sizeof block, 0);
        RemoveConnection(key, s);
        closesocket(s);
    }
    copy.Finish([&](const std::string& held) {
        RestoreRequest r;
        return ParseRequest(held.data(), held.size(), &r) == RequestFault::None &&
               LookupKey(peer, r.database.c_str(), r.kind.c_str(), r.count, r.index) == key;
    });
}
