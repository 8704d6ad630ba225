// The engine's process-wide objects. Defined in one source so that static
// initialisation builds them in this order (after g_config, which the
// executable links first) and the normal end of the process destroys them in
// the reverse one. Threads that end the process do so without destroying them.
#include <map>
#include <mutex>
#include <string>

#include "engine/job.h"
#include "engine/restoreprotocol.h"

std::map<int, std::string> g_streamFiles;
std::string g_moveClauses;
JobInfo g_job;
// The restore service's table of accepted sockets and its lock (engine/restoreprotocol.h).
std::map<std::string, Registration> g_connections;
std::mutex g_connectionsLock;
std::string g_allowedPeers;
