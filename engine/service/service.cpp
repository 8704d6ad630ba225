#include "engine/service/service.h"

#include "config/Config.h"
#include "engine/job.h"
#include "engine/netmovers.h"
#include "engine/service/connections.h"
#include "engine/service/request.h"
#include "engine/statements.h"
#include "sql/Sql.h"
#include "support/Log.h"
#include "support/SysUtils.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The service's connection string to its own server; false when it does not fit.
bool ServiceConnectionString(char* out, size_t room) {
    return ComposeConnectionString(out, room, ConnKey::Service, g_config.IsTrustedConn, g_odbcDriver, g_config.Instance,
                                   g_config.User, g_config.Pass);
}

// The local server's resolution of the request's move list; empty when it fails.
std::string ResolveMoveList(const std::string& moveText) {
    char connStr[kConnStringRoom];
    if (!ServiceConnectionString(connStr, sizeof connStr)) {
        Log::WError("The connection string does not fit its %d characters; the restore goes without MOVE clauses.",
                    static_cast<int>(sizeof connStr - 1));
        return std::string();
    }
    return QuerySQL(connStr, ResolveClausesQuery(moveText).c_str(), true);
}

// Whether the local server has the database; a query that fails counts as no.
bool ServerHasDatabase(const std::string& database) {
    char connStr[kConnStringRoom];
    if (!ServiceConnectionString(connStr, sizeof connStr)) {
        Log::WError("The connection string does not fit its %d characters.", static_cast<int>(sizeof connStr - 1));
        return false;
    }
    return ReadInt32(QuerySQL(connStr, DatabaseExistsQuery(database).c_str(), true).c_str()) == 1;
}

// A refused request is closed without an answer; the reason has been logged as a warning.
DWORD Refuse(SOCKET s) {
    // The odd spelling is on purpose: log watchers match the line as it stands.
    Log::WError("Invalid Requested. Connection is closed.");
    closesocket(s);
    return 0;
}

// Stream 1's claim on its database, ended when its thread is done with the restore. The line
// tells a script that streams a chain when the next backup of the database is taken.
struct DatabaseClaim {
    const std::string* database = nullptr;
    ~DatabaseClaim() {
        if (!database) return;
        ReleaseDatabase(*database);
        Log::WInfo("The restore of the database [%s] has ended; its next backup can come.", database->c_str());
    }
};

}  // namespace

int32_t RecvAll(SOCKET socket, char* buffer, int32_t n, uint32_t boundMs) {
    const size_t want = n > 0 ? static_cast<size_t>(n) : 0;
    int error = 0;
    const size_t count = RecvWithin(socket, buffer, want, boundMs, &error);
    if (count < want) {
        printf("Failed to receive data, sock error code = %d, Err=%d\n", SocketPendingError(socket), error);
        fflush(stdout);
    }
    return static_cast<int32_t>(count);
}

bool AdmitRestorePeer(const char* peerIp) {
    static DenialLog denials;
    const DWORD now = GetTickCount();
    if (PeerAllowed(g_allowedPeers, peerIp)) {
        denials.Sweep(now);
        return true;
    }
    denials.Refused(peerIp, now);
    return false;
}

DWORD HandleRestoreConnection(LPVOID param) {
    // The listener releases its block once this returns; the table keeps a copy of its own.
    const SocketThreadParam own = *static_cast<SocketThreadParam*>(param);
    const SOCKET s = own.socket;

    char peerIp[INET_ADDRSTRLEN] = "";
    unsigned peerPort = 0;
    if (!SocketPeer(s, peerIp, sizeof peerIp, &peerPort)) {
        Log::WError("getpeername failed with error: %d", WSAGetLastError());
        closesocket(s);
        return 0;
    }

    if (!PeerAllowed(g_allowedPeers, peerIp)) {
        Log::WError("Connection[%s] denied for source auth error.", peerIp);
        closesocket(s);
        return 0;
    }
    Log::WInfo("Connection from[%s:%u] is accepted.", peerIp, peerPort);

    // A peer that falls silent or trickles holds neither this thread nor, later, a restore for ever.
    char block[kRequestBlockSize] = {};
    RecvAll(s, block, static_cast<int32_t>(sizeof block), g_streamIdleMs);

    RestoreRequest request;
    const RequestFault fault = ParseRequest(block, sizeof block, &request);
    if (fault != RequestFault::None) {
        Log::WWarn("Request from [%s]: %s.", peerIp, RequestFaultText(fault));
        return Refuse(s);
    }

    Log::WDebug("Local Version:%d\tIncoming Version:%d", g_config.LocalVersion, request.version);
    if (!VersionAccepted(g_config.LocalVersion, request.version)) {
        // The odd spelling is on purpose: log watchers match the line as it stands.
        Log::WError("Incompetible SQL Versions. Connection is closed.");
        // No pause: the backup side must meet the close before it sends its stream.
        SocketSend(s, block, sizeof block, MSG_WAITALL);
        SocketShutdown(s, SD_BOTH);
        closesocket(s);
        return 0;
    }

    // Without a file list the RESTORE places the files where the stream's recorded paths say, and
    // a peer writes the stream: only a database the server has already may be restored so.
    if (request.moveText.empty() && !ServerHasDatabase(request.database)) {
        Log::WWarn("Request from [%s]: no file list, and the server has no database [%s].", peerIp,
                   request.database.c_str());
        return Refuse(s);
    }

    const std::string key = RegistrationKey(peerIp, request.keyText);
    uint64_t id = 0;
    DatabaseClaim claim;
    const bool first = request.index == 1;
    switch (RegisterConnection(key, own, &id, first ? &request.database : nullptr)) {
        case Registered::Yes: break;
        case Registered::Duplicate:
            Log::WWarn("Request from [%s]: a connection of the same key [%s] waits or is in use.", peerIp, key.c_str());
            return Refuse(s);
        case Registered::Full:
            Log::WWarn("Request from [%s]: %u connections wait for their restore already.", peerIp,
                       static_cast<unsigned>(kMaxWaitingConnections));
            return Refuse(s);
        case Registered::PeerFull:
            Log::WWarn("Request from [%s]: %u connections of this peer wait for their restore already.", peerIp,
                       static_cast<unsigned>(kMaxWaitingPerPeer));
            return Refuse(s);
        case Registered::DatabaseBusy:
            Log::WWarn("Request from [%s]: a restore of the database [%s] runs or waits for its streams already.",
                       peerIp, request.database.c_str());
            return Refuse(s);
    }
    if (first) claim.database = &request.database;

    Log::WDebug("Sending Auth Resp to Backup thread.");
    SocketSend(s, block, sizeof block, 0);
    Log::WDebug("Finished to send Auth Resp to Backup thread.");

    const std::string resolved = ResolveMoveList(request.moveText);
    if (resolved == "NULL")
        Log::WWarn("The server reports no default data or log folder; the restore goes without MOVE clauses.");

    std::string middle;
    if (strlen(g_config.Standby) > 1) {
        if (!FolderExists(g_config.Standby)) {
            // The odd spelling is on purpose: log watchers match the line as it stands.
            Log::WError("Critical Error - The direcotry for standby file [%s] did NOT exist.", g_config.Standby);
            ExitProcess(1);
        }
        SYSTEMTIME now;
        GetLocalTime(&now);
        middle = StandbyOption(g_config.Standby, request.database, g_config.BKType[0], now);
    } else {
        middle = strchr(g_config.ROption, 'N') ? "NORECOVERY" : "RECOVERY";
    }
    const bool replace = strchr(g_config.ROption, 'P') && g_config.BKType[0] == 'F';
    const RestoreTemplate tmpl = ComposeServiceRestore(request.kind, request.database, replace, middle, resolved);

    if (first) {
        StreamInfo info{request.database.c_str(), request.kind.c_str(), peerIp, static_cast<uint32_t>(request.count)};
        RunRestoreSession(tmpl.text.c_str(), tmpl.marker, static_cast<uint32_t>(request.count), &info);
        // A restore that did not start has not taken this stream: nothing will.
        WatchConnection(key, id, 0);
    } else {
        WatchConnection(key, id, g_connectionWaitMs);
    }
    return 0;
}
