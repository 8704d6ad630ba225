// What travels on a restore-service connection, and the table that ties each accepted connection
// to the device thread that serves its stream: the request block (the backup side builds it, the
// service parses it and sends it back as its answer), the connection key, the local copy names,
// and the device list of the service's RESTORE batch (the batch itself is composed in statements).
#pragma once

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

// Accepted connections by connection key, each with the socket of the very connection whose
// request produced the key. Every access holds g_connectionsLock.
extern std::map<std::string, SocketThreadParam> g_connections;
extern std::mutex g_connectionsLock;

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

// The key a connection thread records: peer address, "#", the key text, trailing blanks removed.
std::string RegistrationKey(const char* peerIp, const std::string& keyText);
// The key a service device thread looks up for its stream.
std::string LookupKey(const char* peerIp, const char* database, const char* kind, uint32_t count, uint32_t index);

// Records a copy of `param` under `key`, replacing an entry of the same key.
void RegisterConnection(const std::string& key, const SocketThreadParam& param);
// The socket recorded under `key`, waiting up to `waitMs` for a stream that has not connected yet
// (polling); INVALID_SOCKET when none appears in time.
SOCKET TakeConnection(const std::string& key, uint32_t waitMs);
// Erases the entry of `key` only while it still holds `socket`, so that an entry a later
// connection recorded under the same key survives.
void RemoveConnection(const std::string& key, SOCKET socket);

// How long a service device thread waits for its stream's connection (the network movers).
extern uint32_t g_connectionWaitMs;

// ---- local copies and the device list of the service's RESTORE batch

// A copy is kept only when the folder is longer than 3 characters.
bool WantsLocalCopy(const char* folder);
// "<folder>[/]<db>_<D|L>_<yyyymmddhhmmss>_<index>.<bak|trn>"; false when it would be over 511
// characters.
bool LocalCopyName(const char* folder, const std::string& database, const std::string& kind, const SYSTEMTIME& now,
                   uint32_t index, std::string* name);

// True when `text` is empty or a run of clauses ", MOVE ''<logical>'' TO ''<%DATA%|%LOG%><file>''"
// whose names are not empty and hold no "|" or control character, and a quote only written four
// times.
bool IsBackupSideMoveList(const std::string& text);

// " VIRTUAL_DEVICE='<set>'", then ", VIRTUAL_DEVICE='<set><i>'" for i = 1 .. count - 1.
std::string ServiceDeviceList(const wchar_t* setName, uint32_t count);
// The template with the device list in place of its marker; every other character unchanged.
std::string FillDeviceList(const RestoreTemplate& tmpl, const std::string& deviceList);
