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
std::string g_allowedPeers;
