#include "engine/service/connections.h"

#include "support/Log.h"
#include "support/SysUtils.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

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
bool ReadNumber(const std::string& s, size_t* pos, int32_t* value) {
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

// The leading number of the version text, 0 without one; held at the 32-bit limits.
int32_t LeadingNumber(const std::string& s) {
    size_t p = 0;
    while (p < s.size() && isspace(static_cast<unsigned char>(s[p]))) ++p;
    bool negative = false;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) negative = s[p++] == '-';
    int64_t v = 0;
    while (p < s.size() && isdigit(static_cast<unsigned char>(s[p]))) {
        if (v < 4294967296LL) v = v * 10 + (s[p] - '0');
        ++p;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

std::string Narrow(const wchar_t* w) {
    std::string out;
    for (; *w; ++w) out += static_cast<char>(*w);
    return out;
}

// "/" between a folder and a name unless the folder already ends in it.
std::string Join(const char* folder) {
    std::string f = folder;
    if (f.empty() || f.back() != '/') f += '/';
    return f;
}

// The table's entry of `key`, null when it has none; the caller holds g_connectionsLock.
Registration* EntryOf(const std::string& key) {
    auto it = g_connections.find(key);
    return it == g_connections.end() ? nullptr : &it->second;
}

// Databases whose restore runs or whose stream 1 waits, folded to upper case; g_connectionsLock
// guards it.
std::set<std::string> s_restoring;

// A database name as the server compares it: without regard to case.
std::string FoldedName(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return folded;
}

std::string Stamp(const SYSTEMTIME& t) {
    char buf[32];
    snprintf(buf, sizeof buf, "%d%02d%02d%02d%02d%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return buf;
}

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
    out->version = LeadingNumber(text.substr(q + 1));

    const size_t fieldStart = F == std::string::npos ? 0 : F + 1;
    const std::string fields = text.substr(fieldStart, q - fieldStart);
    size_t pos = 0;
    if (!ReadWord(fields, &pos, &out->database) || !Expect(fields, &pos, '#') || !ReadWord(fields, &pos, &out->kind) ||
        !Expect(fields, &pos, '#') || !ReadNumber(fields, &pos, &out->count) || !Expect(fields, &pos, '#') ||
        !ReadNumber(fields, &pos, &out->index))
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
    if (out->count < 1 || out->count > kMaxRequestStreams) return RequestFault::Count;
    if (out->index < 1 || out->index > out->count) return RequestFault::Index;
    // The name also goes into local copy and standby file names on this host.
    for (char c : out->database)
        if (IsControl(static_cast<unsigned char>(c)) || c == '/' || c == '\\') return RequestFault::DatabaseName;
    if (!IsBackupSideMoveList(out->moveText)) return RequestFault::MoveText;
    return RequestFault::None;
}

bool VersionAccepted(int32_t localVersion, int32_t incomingVersion) {
    const int64_t d = static_cast<int64_t>(localVersion) - incomingVersion;
    if (d > 400 && incomingVersion > 800) return false;
    if (d > 300 && incomingVersion < 900) return false;
    return d >= 0;
}

bool PeerAllowed(const std::string& allowedPeers, const char* peerIp) {
    if (allowedPeers.size() <= 6) return true;
    return allowedPeers.find(std::string(",") + peerIp + ",") != std::string::npos;
}

void DenialLog::Sweep(DWORD now) {
    for (auto it = quiet_.begin(); it != quiet_.end();) {
        if (now - it->second.since < kQuietMs) {
            ++it;
            continue;
        }
        if (it->second.repeats)
            Log::WWarn("Connection[%s] denied %u more times for source auth error within a minute.", it->first.c_str(),
                       it->second.repeats);
        it = quiet_.erase(it);
    }
}

void DenialLog::Refused(const char* peerIp, DWORD now) {
    Sweep(now);
    auto it = quiet_.find(peerIp);
    if (it != quiet_.end()) {
        if (it->second.repeats++ == 0)
            Log::WWarn("Further connections from [%s] are denied without a line each for a minute.", peerIp);
        return;
    }
    Log::WError("Connection[%s] denied for source auth error.", peerIp);
    if (quiet_.size() < kMaxAddresses) quiet_[peerIp] = Quiet{now, 0};
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

Registered RegisterConnection(const std::string& key, const SocketThreadParam& param, uint64_t* id,
                              const std::string* restoreOf) {
    static uint64_t lastId = 0;
    const std::string peer = key.substr(0, key.find('#') + 1);
    std::lock_guard<std::mutex> hold(g_connectionsLock);
    size_t waiting = 0, waitingOfPeer = 0;
    for (const auto& entry : g_connections) {
        Log::WDebug("Before adding[%s] %s", key.c_str(), entry.first.c_str());
        if (entry.second.taken) continue;
        ++waiting;
        if (entry.first.compare(0, peer.size(), peer) == 0) ++waitingOfPeer;
    }
    // Two restores must never share one socket, nor two sockets one key.
    if (EntryOf(key)) return Registered::Duplicate;
    if (waiting >= kMaxWaitingConnections) return Registered::Full;
    if (waitingOfPeer >= kMaxWaitingPerPeer) return Registered::PeerFull;
    // Two restores of one database at once would both report success, and the last would win.
    if (restoreOf && !s_restoring.insert(FoldedName(*restoreOf)).second) return Registered::DatabaseBusy;
    Registration& r = g_connections[key];
    r.connection = param;
    r.id = *id = ++lastId;
    r.since = GetTickCount();
    r.taken = false;
    return Registered::Yes;
}

void ReleaseDatabase(const std::string& database) {
    std::lock_guard<std::mutex> hold(g_connectionsLock);
    s_restoring.erase(FoldedName(database));
}

SOCKET TakeConnection(const std::string& key, uint32_t waitMs) {
    const uint32_t step = 50;
    for (uint32_t waited = 0;; waited += step) {
        {
            std::lock_guard<std::mutex> hold(g_connectionsLock);
            Registration* r = EntryOf(key);
            if (r && !r->taken) {
                r->taken = true;
                return r->connection.socket;
            }
        }
        if (waited >= waitMs) return INVALID_SOCKET;
        Sleep(step);
    }
}

void RemoveConnection(const std::string& key, SOCKET socket) {
    std::lock_guard<std::mutex> hold(g_connectionsLock);
    const Registration* r = EntryOf(key);
    if (r && r->connection.socket == socket) g_connections.erase(key);
}

void WatchConnection(const std::string& key, uint64_t id, uint32_t waitMs) {
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(g_connectionsLock);
            const Registration* r = EntryOf(key);
            if (!r || r->id != id || r->taken) return;
            // A peer that closed with bytes still unread may have sent its whole stream: only the
            // time bound ends such an entry.
            const bool gone = PeerHasGone(r->connection.socket);
            if (gone || GetTickCount() - r->since >= waitMs) {
                if (gone)
                    Log::WWarn("Connection[%s] was closed by its peer before a restore took it.", key.c_str());
                else
                    Log::WWarn("Connection[%s] was not taken by a restore within %u ms; it is closed.", key.c_str(),
                               waitMs);
                closesocket(r->connection.socket);
                g_connections.erase(key);
                return;
            }
        }
        Sleep(250);
    }
}

bool WantsLocalCopy(const char* folder) { return strlen(folder) > 3; }

bool LocalCopyName(const char* folder, const std::string& database, const std::string& kind, const SYSTEMTIME& now,
                   uint32_t index, std::string* name) {
    const char letter = kind.empty() ? 0 : kind[0];
    std::string n = Join(folder) + database + "_";
    if (letter) n += letter;
    n += "_" + Stamp(now) + "_" + std::to_string(index) + (letter == 'D' ? ".bak" : ".trn");
    if (n.size() > kMaxLocalCopyName) return false;
    *name = n;
    return true;
}

std::string ServiceDeviceList(const wchar_t* setName, uint32_t count) {
    const std::string name = Narrow(setName);
    std::string list;
    for (uint32_t i = 0; i < count; ++i)
        list += i == 0 ? " VIRTUAL_DEVICE='" + name + "'" : ", VIRTUAL_DEVICE='" + name + std::to_string(i) + "'";
    return list;
}

std::string FillDeviceList(const RestoreTemplate& tmpl, const std::string& deviceList) {
    return tmpl.text.substr(0, tmpl.marker) + deviceList + tmpl.text.substr(tmpl.marker + 2);
}
