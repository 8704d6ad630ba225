#include "engine/service/request.h"

#include "engine/moveclauses.h"
#include "support/SysUtils.h"

#include <cctype>
#include <cstdio>
#include <cstring>

const char* KindWord(bool isDatabase) { return isDatabase ? "DATABASE" : "LOG"; }

bool BuildRequestText(const std::string& moveList, const std::string& database, const char* kind, uint32_t count,
                      uint32_t index, int32_t version, std::string* text) {
    char tail[64];
    snprintf(tail, sizeof tail, "#%u#%u:%d", count, index, version);
    std::string t = moveList + "|" + database + "#" + kind + tail;
    if (t.size() >= kRequestBlockSize) return false;
    *text = t;
    return true;
}

const char* RequestFaultText(RequestFault fault) {
    switch (fault) {
        case RequestFault::None: return "none";
        case RequestFault::NoKey: return "no fields between the last \"|\" and the last \":\"";
        case RequestFault::Fields: return "the fields database#kind#count#index cannot be read";
        case RequestFault::FieldWidth: return "a database name over 255 or a kind word over 23 characters";
        case RequestFault::KeyMismatch: return "the fields do not read back as the connection key";
        case RequestFault::Kind: return "the kind is neither DATABASE nor LOG";
        case RequestFault::Count: return "the stream count is outside 1..32";
        case RequestFault::Index: return "the stream index is outside 1..count";
        case RequestFault::DatabaseName: return "the database name holds a control character or a path separator";
        case RequestFault::MoveText: return "the move list is not of the shape a backup side writes";
    }
    return "unknown";
}

namespace {

// A decimal number as "%d" reads it: blanks, an optional sign, at least one digit. Values beyond
// 32 bits are refused rather than left to the reader's overflow.
bool ReadFieldNumber(const std::string& s, size_t* pos, int32_t* value) {
    size_t p = *pos;
    while (p < s.size() && isspace(static_cast<unsigned char>(s[p]))) ++p;
    bool negative = false;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) negative = s[p++] == '-';
    const size_t digits = p;
    int64_t v = 0;
    while (p < s.size() && isdigit(static_cast<unsigned char>(s[p]))) {
        v = v * 10 + (s[p++] - '0');
        if (v > 2147483648LL) return false;
    }
    if (p == digits) return false;
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    *value = static_cast<int32_t>(v);
    *pos = p;
    return true;
}

// A "%[^#]" field: one or more characters up to the next "#".
bool ReadWord(const std::string& s, size_t* pos, std::string* word) {
    size_t end = s.find('#', *pos);
    if (end == std::string::npos) end = s.size();
    if (end == *pos) return false;
    *word = s.substr(*pos, end - *pos);
    *pos = end;
    return true;
}

bool Expect(const std::string& s, size_t* pos, char c) {
    if (*pos >= s.size() || s[*pos] != c) return false;
    ++*pos;
    return true;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

RequestFault ParseRequest(const char* block, size_t size, RestoreRequest* out) {
    const std::string text(block, strnlen(block, size));
    const size_t P = text.rfind('|');
    const size_t Q = text.rfind(':');
    const size_t F = text.find('|');
    const long p = P == std::string::npos ? -1 : static_cast<long>(P);
    const long q = Q == std::string::npos ? -1 : static_cast<long>(Q);
    if (q <= p + 1) return RequestFault::NoKey;

    out->moveText = F == std::string::npos ? text : text.substr(0, F);
    out->keyText = text.substr(p + 1, q - (p + 1));
    out->version = ReadInt32(text.substr(q + 1).c_str());

    const size_t fieldStart = F == std::string::npos ? 0 : F + 1;
    const std::string fields = text.substr(fieldStart, q - fieldStart);
    size_t pos = 0;
    if (!ReadWord(fields, &pos, &out->database) || !Expect(fields, &pos, '#') || !ReadWord(fields, &pos, &out->kind) ||
        !Expect(fields, &pos, '#') || !ReadFieldNumber(fields, &pos, &out->count) || !Expect(fields, &pos, '#') ||
        !ReadFieldNumber(fields, &pos, &out->index))
        return RequestFault::Fields;
    if (out->database.size() > kMaxRequestDatabase || out->kind.size() > kMaxRequestKind)
        return RequestFault::FieldWidth;

    // The service records the key text and its device threads look up the key built from the
    // fields: both must be one text, or a stream would wait for a key that never comes.
    std::string key = out->keyText;
    RTrim(key);
    char numbers[32];
    snprintf(numbers, sizeof numbers, "#%d#%d", out->count, out->index);
    if (key != out->database + "#" + out->kind + numbers) return RequestFault::KeyMismatch;

    if (out->kind != "DATABASE" && out->kind != "LOG") return RequestFault::Kind;
    if (out->count < 1 || out->count > kMaxDevices) return RequestFault::Count;
    if (out->index < 1 || out->index > out->count) return RequestFault::Index;
    // The name also goes into local copy and standby file names on this host.
    for (char c : out->database)
        if (IsControl(static_cast<unsigned char>(c)) || c == '/' || c == '\\') return RequestFault::DatabaseName;
    if (!IsBackupSideMoveList(out->moveText)) return RequestFault::MoveText;
    return RequestFault::None;
}

std::string RegistrationKey(const char* peerIp, const std::string& keyText) {
    std::string key = std::string(peerIp) + "#" + keyText;
    RTrim(key);
    return key;
}

std::string LookupKey(const char* peerIp, const char* database, const char* kind, uint32_t count, uint32_t index) {
    char numbers[32];
    snprintf(numbers, sizeof numbers, "#%u#%u", count, index);
    return std::string(peerIp) + "#" + database + "#" + kind + numbers;
}
