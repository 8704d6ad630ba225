// What travels on a restore-service connection, and the table that ties each accepted connection
// to the device thread that serves its stream: the request block (the backup side builds it, the
// service parses it and sends it back as its answer), the connection key, the local copy names,
// and the device list of the service's RESTORE batch (the batch itself is composed in statements).
#pragma once

#include "engine/moveclauses.h"
#include "engine/statements.h"
#include "media/SocketService.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// Every block on the wire (request, answer, closing block) is this long.
constexpr size_t kRequestBlockSize = 8192;
// Widths the service reads the request's database name and kind word into.
constexpr size_t kMaxRequestDatabase = 255;
constexpr size_t kMaxRequestKind = 23;
// A service restore runs at most this many devices, the room of one device set.
constexpr int32_t kMaxRequestStreams = 32;
// The longest local copy file name.
constexpr size_t kMaxLocalCopyName = 511;

// One accepted connection in the table: waiting until a restore's device thread takes its socket,
// then in use by that thread until it removes the entry. A socket has one owner at a time: the
// connection thread that watches the waiting entry, or the device thread that took it.
struct Registration {
    SocketThreadParam connection;
    uint64_t id = 0;  // tells this registration from a later one under the same key
    DWORD since = 0;  // GetTickCount() when recorded
    bool taken = false;
};

// Accepted connections by connection key, each with the socket of the very connection whose
// request produced the key. Every access holds g_connectionsLock.
extern std::map<std::string, Registration> g_connections;
extern std::mutex g_connectionsLock;

// At most this many connections wait in the table for their restore at once, and at most
// kMaxWaitingPerPeer of them come from one peer address, so that no peer can take them all.
constexpr size_t kMaxWaitingConnections = 64;
constexpr size_t kMaxWaitingPerPeer = 32;

// ---- backup side

// "DATABASE" for a full or differential backup, "LOG" for a log backup.
const char* KindWord(bool isDatabase);

// The request text: move list, "|", database, "#", kind, "#", count, "#", index, ":", version.
// False when the text would not leave a zero byte in the block (8192 bytes or more).
bool BuildRequestText(const std::string& moveList, const std::string& database, const char* kind, uint32_t count,
                      uint32_t index, int32_t version, std::string* text);

// ---- service side

enum class RequestFault {
    None,
    NoKey,         // no ":" or nothing between the last "|" and the last ":"
    Fields,        // the four fields cannot be read
    FieldWidth,    // a database name over 255 or a kind word over 23 characters
    KeyMismatch,   // the fields do not read back as the key text (extra "|", signs, blanks, ...)
    Kind,          // a kind word other than "DATABASE" or "LOG"
    Count,         // a stream count outside 1..32
    Index,         // a stream index outside 1..count
    DatabaseName,  // a database name with a control character or a path separator
    MoveText,      // a move list not of the shape a backup side writes
};

// Why a request was refused, for the log.
const char* RequestFaultText(RequestFault fault);

struct RestoreRequest {
    std::string moveText;  // before the first "|"
    std::string keyText;   // between the last "|" and the last ":", verbatim
    std::string database;
    std::string kind;
    int32_t count = 0;
    int32_t index = 0;
    int32_t version = 0;  // the leading number after the last ":", 0 without one
};

// Reads the text of a received block (up to its first zero byte, at most `size` bytes). Anything
// but RequestFault::None means the request is refused; `out` is then only partly filled.
RequestFault ParseRequest(const char* block, size_t size, RestoreRequest* out);

// The version rule: a stream is accepted only from a server of the same or a lower version, at
// most 400 lower for an incoming version of 900 or more and at most 300 lower below that.
bool VersionAccepted(int32_t localVersion, int32_t incomingVersion);

// True when the allow-list (",a,b,") admits the peer: a list of at most 6 characters admits all.
bool PeerAllowed(const std::string& allowedPeers, const char* peerIp);

// The log of refused peers, bounded under a flood: the first refusal of an address is logged, its
// repeats within the next minute are counted (one Warn line says so) and their number is logged
// once that minute has passed, at the next call of either member. At most kMaxAddresses addresses
// are remembered; refusals beyond them are logged each. Not thread-safe: the listener alone uses it.
class DenialLog {
public:
    static constexpr DWORD kQuietMs = 60000;
    static constexpr size_t kMaxAddresses = 1024;
    // `now` is GetTickCount().
    void Refused(const char* peerIp, DWORD now);
    // Logs the counts of the minutes that have passed.
    void Sweep(DWORD now);

private:
    struct Quiet {
        DWORD since;
        unsigned repeats;
    };
    std::map<std::string, Quiet> quiet_;
};

// The key a connection thread records: peer address, "#", the key text, trailing blanks removed.
std::string RegistrationKey(const char* peerIp, const std::string& keyText);
// The key a service device thread looks up for its stream.
std::string LookupKey(const char* peerIp, const char* database, const char* kind, uint32_t count, uint32_t index);

enum class Registered {
    Yes,
    Duplicate,     // an entry of the key waits or is in use
    Full,          // kMaxWaitingConnections entries wait already
    PeerFull,      // kMaxWaitingPerPeer entries of the key's peer wait already
    DatabaseBusy,  // a restore of the database runs, or its stream 1 waits for it
};
// Records a copy of `param` under `key` unless refused; *id then names the new entry. The key's
// peer is its text up to the first "#". With `restoreOf` (the database of a stream 1, whose
// connection starts the restore) the database is claimed in the same step, compared without regard
// to case as the server compares names; it stays claimed until ReleaseDatabase.
Registered RegisterConnection(const std::string& key, const SocketThreadParam& param, uint64_t* id,
                              const std::string* restoreOf = nullptr);
// Ends the claim of a database, once its restore has ended or will not run.
void ReleaseDatabase(const std::string& database);
// Takes the waiting entry of `key`, waiting up to `waitMs` for a stream that has not connected yet
// (polling). The socket is the caller's from then on and the key stays in use until the caller
// removes it; INVALID_SOCKET when no waiting entry appears in time.
SOCKET TakeConnection(const std::string& key, uint32_t waitMs);
// Erases the entry of `key` only while it still holds `socket`, so that an entry a later
// connection recorded under the same key survives.
void RemoveConnection(const std::string& key, SOCKET socket);
// Watches the waiting entry `id` of `key` until it waits no more: taken by a restore, or closed
// and removed here once its peer has gone without leaving a byte to read, or once it has waited
// `waitMs` since it was recorded (at once when that time has passed).
void WatchConnection(const std::string& key, uint64_t id, uint32_t waitMs);

// How long a service device thread waits for its stream's connection, and so how long a
// connection waits in the table for a restore to take it.
extern uint32_t g_connectionWaitMs;
// How long a stream, or a request, may deliver no byte before it fails: the movers' command wait.
extern uint32_t g_streamIdleMs;

// ---- local copies and the device list of the service's RESTORE batch

// A copy is kept only when the folder is longer than 3 characters.
bool WantsLocalCopy(const char* folder);
// "<folder>[/]<db>_<D|L>_<yyyymmddhhmmss>_<index>.<bak|trn>"; false when it would be over 511
// characters.
bool LocalCopyName(const char* folder, const std::string& database, const std::string& kind, const SYSTEMTIME& now,
                   uint32_t index, std::string* name);

// " VIRTUAL_DEVICE='<set>'", then ", VIRTUAL_DEVICE='<set><i>'" for i = 1 .. count - 1.
std::string ServiceDeviceList(const wchar_t* setName, uint32_t count);
// The template with the device list in place of its marker; every other character unchanged.
std::string FillDeviceList(const RestoreTemplate& tmpl, const std::string& deviceList);
