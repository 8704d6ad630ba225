// The engine's process-wide objects. Defined in one source so that static
// initialisation builds them in this order (after g_config, which the
// executable links first) and the normal end of the process destroys them in
// the reverse one. Threads that end the process do so without destroying them.
#include <map>
#include <string>

#include "engine/job.h"

std::map<int, std::string> g_streamFiles;
std::string g_moveClauses;
JobInfo g_job;
// g_connections, the restore service's table of accepted sockets (a std::map from
// the connection key to a SocketThreadParam of media/SocketService.h, with its
// lock), is defined here, between g_job and g_allowedPeers, by the restore
// service's sources.
std::string g_allowedPeers;
