#include "engine/netmovers.h"

#include "config/Config.h"
#include "engine/commandloop.h"
#include "engine/job.h"
#include "engine/service/connections.h"
#include "engine/service/request.h"
#include "media/SocketService.h"
#include "support/Log.h"

#include <algorithm>
#include <cstring>
#include <string>

uint32_t g_connectionWaitMs = 60000;
uint32_t g_streamIdleMs = 90000;

namespace {

// A network mover waits 90 s for the server's next command.
const CommandRules kNetRules{90000, "0x"};

// The optional copy of a stream in LocalFolder: exactly the bytes the server wrote or was given.
// A failed write is reported once; the stream goes on.
class LocalCopy {
public:
    LocalCopy(const std::string& database, const std::string& kind, uint32_t index) {
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
        if (!WriteFile(file_, data, static_cast<DWORD>(size), nullptr, nullptr)) {
            Log::WError("Failed to write backup stream to [%s].", name_.c_str());
            Close();
        }
    }
    void Close() {
        if (IsOpen()) CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

private:
    bool IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }

    std::string name_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

// A connection as the network movers use it: clear-error commands touch neither the socket nor
// the copy. Only the bytes of the mover's own direction are counted.
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

// Why a stream to the restore service failed.
enum class ServiceFault { None, NoAnswer, ClosedBeforeAnswer, WrongAnswer, Refused, Reset, NotRead, SendFailed };

// The backup side: the request and its answer, then the server's writes to the restore service
// and into the copy, then the closing block. The stream counts as taken only while the service
// has answered with the request and has neither closed nor reset the connection before the
// closing block; anything else breaks it, so that the server fails the statement.
class ToService : public Connection {
public:
    ToService(SOCKET s, LocalCopy& copy, const std::string& port, uint32_t index)
        : Connection(s, copy), port_(port), index_(index) {}

    // Sends the request block and takes the service's answer within the idle bound. The request
    // is also the closing block.
    void Open(const char* request) {
        memcpy(closing_, request, sizeof closing_);
        if (!SendAll(request, kRequestBlockSize)) return;
        char answer[kRequestBlockSize];
        int error = 0;
        if (RecvWithin(s_, answer, sizeof answer, g_streamIdleMs, &error) < sizeof answer) {
            // A refusal closes (or, with the request unread, resets) the connection.
            Fail(IsReceiveTimeout(error) ? ServiceFault::NoAnswer : ServiceFault::ClosedBeforeAnswer);
            return;
        }
        if (memcmp(answer, request, sizeof answer) != 0) {
            Fail(ServiceFault::WrongAnswer);
            return;
        }
        answered_ = true;
        Log::WTrace("Thread[%u] - Agreed to start service.", GetCurrentThreadId());
        Sleep(125);
        // A service that refuses the stream closes right after its answer.
        Check(false);
    }

    int64_t Write(const BYTE* b, DWORD n) override {
        copy_.Write(b, n);  // what the server wrote, also when the send fails
        if (Broken()) return -1;
        const size_t sent = Send(b, n);
        Count(static_cast<int64_t>(sent), n);
        return static_cast<int64_t>(sent);
    }
    int64_t Read(BYTE* b, DWORD n) override { return Broken() ? -1 : SocketRecv(s_, b, n, 0); }
    // The server counts the stream once its flushes have succeeded: the last moment to fail it.
    bool Flush() override {
        Check(false);
        return !Broken();
    }
    bool Broken() const override { return fault_ != ServiceFault::None; }

    // Ends a stream the server has closed normally with the closing block; a broken stream gets
    // none, so that no service takes what came for a whole stream.
    void End() {
        if (Broken()) return;
        if (!SendAll(closing_, sizeof closing_)) return;
        Sleep(500);
        Check(true);
    }

private:
    // Looks at the connection without waiting. A service that took the stream may keep the
    // connection open or close it once the closing block is in; a close before it is a refusal,
    // and a reset is never a success.
    void Check(bool closingSent) {
        if (Broken()) return;
        switch (SocketPeerState(s_)) {
            case PeerState::Open: break;
            case PeerState::Closed:
                // A send after the close met a reset: the service left before the closing block.
                if (!closingSent)
                    Fail(ServiceFault::Refused);
                else if (SocketPendingError(s_) != 0)
                    Fail(ServiceFault::Reset);
                break;
            case PeerState::Reset: Fail(ServiceFault::Reset); break;
        }
    }

    // Sends the whole buffer; gives the bytes sent, fewer once the stream has failed.
    size_t Send(const void* data, size_t size) {
        const char* p = static_cast<const char*>(data);
        size_t done = 0;
        while (done < size) {
            const int n = SocketSend(s_, p + done, size - done, 0);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            const int error = n < 0 ? WSAGetLastError() : 0;
            if (error == WSAEINTR) continue;
            // A send bound by the time-out fails the way a bound receive does.
            if (IsReceiveTimeout(error))
                Fail(ServiceFault::NotRead);
            else if (!answered_)
                Fail(ServiceFault::ClosedBeforeAnswer);
            else if (SocketPeerState(s_) == PeerState::Closed)
                Fail(ServiceFault::Refused);
            else if (error == WSAECONNRESET || error == EPIPE)
                Fail(ServiceFault::Reset);
            else
                Fail(ServiceFault::SendFailed, error);
            break;
        }
        return done;
    }
    bool SendAll(const char* data, size_t size) { return Send(data, size) == size; }

    // The first failure breaks the stream and is the one logged.
    void Fail(ServiceFault fault, int error = 0) {
        if (Broken()) return;
        fault_ = fault;
        const char* host = g_job.host.c_str();
        const char* port = port_.c_str();
        switch (fault) {
            case ServiceFault::None: break;
            case ServiceFault::NoAnswer:
                Log::WError("The restore service at %s:%s did not answer stream %u within %u ms.", host, port, index_,
                            g_streamIdleMs);
                break;
            case ServiceFault::ClosedBeforeAnswer:
                Log::WError(
                    "The restore service at %s:%s closed stream %u before its answer: it refused the request "
                    "(see the service's log).",
                    host, port, index_);
                break;
            case ServiceFault::WrongAnswer:
                Log::WError("The restore service at %s:%s answered stream %u with another block than its request.",
                            host, port, index_);
                break;
            case ServiceFault::Refused:
                Log::WError(
                    "The restore service at %s:%s closed stream %u after its answer: it refused the stream "
                    "(see the service's log).",
                    host, port, index_);
                break;
            case ServiceFault::Reset:
                Log::WError("The restore service at %s:%s reset stream %u.", host, port, index_);
                break;
            case ServiceFault::NotRead:
                Log::WError("The restore service at %s:%s read nothing of stream %u for %u ms.", host, port, index_,
                            g_streamIdleMs);
                break;
            case ServiceFault::SendFailed:
                Log::WError("Stream %u to the restore service at %s:%s failed: %s.", index_, host, port,
                            strerror(error));
                break;
        }
    }

    const std::string port_;
    const uint32_t index_;
    bool answered_ = false;
    ServiceFault fault_ = ServiceFault::None;
    char closing_[kRequestBlockSize];
};

// The service side: the server's reads are filled from the backup run's connection, each whole
// unless the stream ends or the peer ends or falls silent, and what the server is given goes into
// the copy. The stream ends at the closing block, the peer's request block sent again: the last
// block's worth of bytes is held back until more data shows it is stream data, and once the bytes
// received end with this stream's request block, the stream has ended right before it.
class FromPeer : public Connection {
public:
    FromPeer(SOCKET s, LocalCopy& copy, const char* peer, const std::string& key, uint32_t index)
        : Connection(s, copy), peer_(peer), key_(key), index_(index) {}

    int64_t Read(BYTE* b, DWORD n) override {
        // Once the peer has fallen silent, every later read fails at once like a broken stream.
        if (idle_) return -1;
        char* out = reinterpret_cast<char*>(b);
        // The bytes held back come first; whatever does not fit stays held, ahead of what comes.
        size_t filled = std::min<size_t>(heldLen_, n);
        memcpy(out, held_, filled);
        memmove(held_, held_ + filled, heldLen_ - filled);
        heldLen_ -= filled;
        // The buffer is stream data once a whole block has come after it.
        while (!ended_ && !closed_ && !(filled == n && heldLen_ == kRequestBlockSize)) {
            const bool intoBuffer = filled < n;
            char* into = intoBuffer ? out + filled : held_ + heldLen_;
            const size_t room = intoBuffer ? n - filled : kRequestBlockSize - heldLen_;
            const int got = SocketRecv(s_, into, room, 0);
            if (got > 0) {
                (intoBuffer ? filled : heldLen_) += static_cast<size_t>(got);
                if (EndsWithClosingBlock(out, filled)) {
                    filled -= kRequestBlockSize - heldLen_;
                    heldLen_ = 0;
                    ended_ = true;
                }
                continue;
            }
            const int error = got < 0 ? WSAGetLastError() : 0;
            if (error == WSAEINTR) continue;
            // A peer that closes without a closing block (or fails) still gives what it sent.
            closed_ = true;
            if (got < 0 && IsReceiveTimeout(error)) {
                idle_ = true;
                Log::WError("Thread[%u] - No byte of stream %u came for %u ms; the stream fails.", GetCurrentThreadId(),
                            index_, g_streamIdleMs);
            }
        }
        copy_.Write(out, filled);
        Count(static_cast<int64_t>(filled), n);
        return static_cast<int64_t>(filled);
    }
    int64_t Write(const BYTE* b, DWORD n) override { return SocketSend(s_, b, n, 0); }
    // Whether the peer may still send its closing block: the stream has neither ended nor stopped.
    bool AwaitsClosingBlock() const { return !ended_ && !closed_; }

private:
    // Whether the bytes received so far (the buffer's `filled`, then the held ones) end with a
    // request block of this very stream. A backup side's block ends with a zero byte.
    bool EndsWithClosingBlock(const char* out, size_t filled) {
        if (filled + heldLen_ < kRequestBlockSize) return false;
        const char* block = out + filled - kRequestBlockSize;
        if (heldLen_ > 0) {
            if (held_[heldLen_ - 1] != 0) return false;
            const size_t front = kRequestBlockSize - heldLen_;
            memcpy(scratch_, out + filled - front, front);
            memcpy(scratch_ + front, held_, heldLen_);
            block = scratch_;
        } else if (block[kRequestBlockSize - 1] != 0) {
            return false;
        }
        RestoreRequest r;
        return ParseRequest(block, kRequestBlockSize, &r) == RequestFault::None &&
               LookupKey(peer_, r.database.c_str(), r.kind.c_str(), static_cast<uint32_t>(r.count),
                         static_cast<uint32_t>(r.index)) == key_;
    }

    const char* const peer_;
    const std::string key_;
    const uint32_t index_;
    char held_[kRequestBlockSize];
    size_t heldLen_ = 0;
    char scratch_[kRequestBlockSize];
    bool ended_ = false;   // the closing block has come
    bool closed_ = false;  // nothing more comes: the peer closed, failed or fell silent
    bool idle_ = false;
};

}  // namespace

size_t RecvWithin(SOCKET s, char* buffer, size_t n, uint32_t boundMs, int* error) {
    const DWORD start = GetTickCount();
    size_t count = 0;
    *error = 0;
    while (count < n) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= boundMs) {
            *error = WSAETIMEDOUT;
            break;
        }
        SetReceiveTimeout(s, boundMs - spent);
        const int got = SocketRecv(s, buffer + count, n - count < 1024 ? n - count : 1024, 0);
        if (got > 0) {
            count += static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && WSAGetLastError() == WSAEINTR) continue;
        *error = got < 0 ? WSAGetLastError() : 0;
        break;
    }
    SetReceiveTimeout(s, boundMs);
    return count;
}

int SendStreamToService(IClientVirtualDevice* device, uint32_t count, uint32_t index) {
    const std::string& database = g_job.database;
    const char* kind = KindWord(g_job.isDatabase);
    const std::string port = std::to_string(g_job.port);
    LocalCopy copy(database, kind, index);

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

    ToService connection(s, copy, port, index);
    connection.Open(block);
    // A stream that is already broken fails the server's first command.
    const HRESULT status = ServeCommands(device, connection, kNetRules);
    if (status != VD_E_CLOSE && !connection.Broken())
        Log::WError("Unexpected termination: 0x%X", static_cast<unsigned>(status));
    Log::WTrace("Thread[%u] - Backup Steam sent %lluKB.", thread,
                static_cast<unsigned long long>(connection.Total() / 1024));
    if (status == VD_E_CLOSE) connection.End();
    copy.Close();
    closesocket(s);
    return status == VD_E_CLOSE && !connection.Broken() ? 0 : -1;
}

void ReceiveStreamFromPeer(const char* database, const char* kind, IClientVirtualDevice* device, const char* peer,
                           uint32_t count, uint32_t index) {
    LocalCopy copy(database, kind, index);
    const std::string key = LookupKey(peer, database, kind, count, index);
    // A later stream of the backup may not have connected yet; it never takes another one's socket.
    const SOCKET s = TakeConnection(key, g_connectionWaitMs);
    if (s == INVALID_SOCKET)
        Log::WError("No connection arrived for [%s] within %u ms; stream %u fails.", key.c_str(), g_connectionWaitMs,
                    index);
    else
        SetReceiveTimeout(s, g_streamIdleMs);
    Sleep(125);

    const unsigned thread = GetCurrentThreadId();
    FromPeer connection(s, copy, peer, key, index);
    const HRESULT status = ServeCommands(device, connection, kNetRules);
    if (status != VD_E_CLOSE) Log::WError("Unexpected Termination: 0x%X", static_cast<unsigned>(status));
    Log::WTrace("Thread[%u] - Received %lluKB from Backup Steam.", thread,
                static_cast<unsigned long long>(connection.Total() / 1024));
    if (s != INVALID_SOCKET) {
        // A device that ended before the stream did may still have a closing block to take.
        if (connection.AwaitsClosingBlock()) {
            char block[kRequestBlockSize];
            SocketRecv(s, block, sizeof block, 0);
        }
        RemoveConnection(key, s);
        closesocket(s);
    }
    copy.Close();
}
