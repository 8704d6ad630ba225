// The one statement batch of a backup, restore or verify run: head, device list, WITH list and
// the options the settings, the server version and the MOVE-clause list call for.
#pragma once

#include "config/Config.h"

#include <string>

// True when a log backup takes the standby clause: the clause needs an existing folder, which the
// run checks before it composes anything else.
bool NeedsStandbyClause(const Config& cfg);

// ", Standby='<folder>/<db>_L_<yyyymmddhhmmss>.dat'" for the given local time.
std::string StandbyClause(const Config& cfg, const SYSTEMTIME& now);

// The whole batch. `setName` names device 0; device i is the set name followed by i. `clauses`
// is the resolved MOVE-clause list (only a restore of a full backup uses it). `now` stamps the
// standby file name.
std::string ComposeStatement(const Config& cfg, int deviceCount, const wchar_t* setName,
                             const std::string& clauses, const SYSTEMTIME& now);

// The device name of index i: the set name, followed by i in decimal for i above 0.
std::wstring DeviceName(const wchar_t* setName, unsigned index);
