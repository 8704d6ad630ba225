// Start-up steps of main that sit between the command line and the run.
#pragma once

#include <cstddef>

// The single-instance lock's fixed name, the same for every run on the machine.
constexpr const char kSingleInstanceName[] = "Kestrune.SingleInstance";

// The query whose one value is the local server's version, major * 100 + minor.
extern const char kVersionQuery[];

// Takes the single-instance lock and holds it until the process ends. False,
// with the message logged, when another running instance holds it.
bool TakeSingleInstanceLock();

// Logs "Process is starting ..." and the banner.
void PrintBanner();

// The checks of a backup, restore or verify run: an Action of B, R or V, a
// BKType of F, D or L, then Files and DB; false (message logged) when the run
// cannot go on.
bool CheckRunSettings();

// The restore service reads no Action, but its own BKType decides REPLACE and
// names standby files: F, D or L, else false (message logged). An allow-list
// that admits every peer, or one that holds blanks, is named in a Warn line.
bool CheckServiceSettings();
