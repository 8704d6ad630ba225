// The engine's process-wide objects. They start empty and their constructors
// and destructors read no other global, so where the linker places this source
// does not matter. Threads that end the process do so without destroying them.
#include <map>
#include <mutex>
#include <string>

#include "engine/job.h"
#include "engine/service/connections.h"

std::map<int, std::string> g_streamFiles;
std::string g_moveClauses;
JobInfo g_job;
// The restore service's table of accepted sockets and its lock (engine/service/connections.h).
std::map<std::string, Registration> g_connections;
std::mutex g_connectionsLock;
std::string g_allowedPeers;
