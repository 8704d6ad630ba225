// The wire format of a restore-service request: the text the backup side builds into its request
// block, the service's parse of a received block, and the connection keys both sides derive from it.
#pragma once

#include "engine/devicethreads.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Every block on the wire (request, answer, closing block) is this long.
constexpr size_t kRequestBlockSize = 8192;
// Widths the service reads the request's database name and kind word into.
constexpr size_t kMaxRequestDatabase = 255;
constexpr size_t kMaxRequestKind = 23;

// "DATABASE" for a full or differential backup, "LOG" for a log backup.
const char* KindWord(bool isDatabase);

// The request text: move list, "|", database, "#", kind, "#", count, "#", index, ":", version.
// False when the text would not leave a zero byte in the block (8192 bytes or more).
bool BuildRequestText(const std::string& moveList, const std::string& database, const char* kind, uint32_t count,
                      uint32_t index, int32_t version, std::string* text);

enum class RequestFault {
    None,
    NoKey,         // no ":" or nothing between the last "|" and the last ":"
    Fields,        // the four fields cannot be read
    FieldWidth,    // a database name over 255 or a kind word over 23 characters
    KeyMismatch,   // the fields do not read back as the key text (extra "|", signs, blanks, ...)
    Kind,          // a kind word other than "DATABASE" or "LOG"
    Count,         // a stream count outside 1..kMaxDevices, the room of one device set
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

// The key a connection thread records: peer address, "#", the key text, trailing blanks removed.
std::string RegistrationKey(const char* peerIp, const std::string& keyText);
// The key a service device thread looks up for its stream.
std::string LookupKey(const char* peerIp, const char* database, const char* kind, uint32_t count, uint32_t index);
