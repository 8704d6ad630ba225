// The restore service's connections: the admission of a peer and of its version, the table that
// ties each accepted connection to the device thread that serves its stream, the local copy names,
// and the device list of the service's RESTORE batch (the batch itself is composed in statements;
// the request's wire format is in request.h).
#pragma once

#include "engine/statements.h"
#include "media/SocketService.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

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

// The template with the device list in place of its marker; every other character unchanged.
std::string FillDeviceList(const RestoreTemplate& tmpl, const std::string& deviceList);
