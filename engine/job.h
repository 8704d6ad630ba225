// The job record and the stream table that main derives from the settings.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct JobInfo {
    bool isBackup = false;           // Action begins with "B"
    bool isDatabase = false;         // BKType does not begin with "L"
    bool trustedConnection = false;  // IsTrustedConn
    std::string files;               // Files, unexpanded
    std::string server;              // Instance
    std::string database;            // DB
    std::string user;                // User
    std::string password;            // Pass
    std::string host;                // Host, or the host of a backup's first "tcp://" entry
    int32_t port = 0;                // RPort, or that entry's port
    int32_t listenPort = 0;          // LPort; above 0: restore-service mode

    JobInfo() = default;
    JobInfo(const JobInfo&) = delete;
    JobInfo& operator=(const JobInfo&) = delete;
};

// Engine globals, written by main before any other thread starts and read-only
// afterwards (globals.cpp constructs them in a fixed order).
//
// The process-wide state that is written once threads run, and what makes that safe:
// - g_connections: only under g_connectionsLock (engine/service/connections.h).
// - g_moveClauses and g_deviceSetName (engine/devicerun.h): by the main run on its own thread,
//   before it starts the statement and the device threads of its set; the restore service
//   never writes them.
// - g_odbcDriver (sql/Sql.h): the message walk names a fallback driver, under its own lock, only
//   while the name is empty; start-up stops when it cannot choose a driver, so after start-up
//   nothing writes it and its readers need no lock.
// - the log level (Log::SetLogLevel): atomic, so a change may meet lines being written.
// Everything else here, and g_config, is only read once threads run.
extern std::map<int, std::string> g_streamFiles;  // 1-based stream number -> file or "tcp://" address
extern std::string g_moveClauses;
extern JobInfo g_job;
extern std::string g_allowedPeers;  // "," + ValidIPs + ","

// The most stream entries a "count@folder" Files text generates: a mistyped
// count in the millions must not exhaust memory, and only 1..8 get devices.
constexpr int kMaxGeneratedStreams = 1024;

// Sets every field of g_job from g_config.
void FillJobInfo();

// The entry of a 1-based stream number; a missing one counts as empty, and the look-up adds none.
std::string StreamEntry(int stream);

// Whether a stream entry is a "tcp://" address (the scheme in any letter case) rather than a file.
bool IsTcpEntry(const std::string& entry);

// Fills g_streamFiles from Files (a comma list or "count@folder"); for a backup
// whose first entry is "tcp://host:port" and whose host is empty, takes host and
// port from it. Returns the stream count clamped to 1..8, or -1 when a restore or
// verify file does not exist.
int BuildStreamTable();
