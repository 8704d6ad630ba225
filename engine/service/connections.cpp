#include "engine/service/connections.h"

#include "support/Log.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>

namespace {

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

std::string FillDeviceList(const RestoreTemplate& tmpl, const std::string& deviceList) {
    return tmpl.text.substr(0, tmpl.marker) + deviceList + tmpl.text.substr(tmpl.marker + 2);
}
