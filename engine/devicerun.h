// The device-set run of a backup, restore or verify that main starts: create the virtual device
// set, compose and submit the statement, hand the configured set to the device threads, write
// the operation-options file after a full backup, and tear everything down.
#pragma once

#include "engine/devicethreads.h"

#include <string>

// The name of main's device set (a GUID's text form).
extern wchar_t g_deviceSetName[kSetNameRoom];

// How long the server has to open the set for the statement.
constexpr DWORD kConfigurationTimeoutMs = 15000;

// The instance name that CreateEx gets for an Instance setting: empty (the default instance) for
// an empty setting, "127.0.0.1", "localhost", "." or the computer's own name (any case), and for a
// name without a backslash; otherwise the text after the first backslash.
std::wstring VdiInstanceName(const char* instance, const char* computerName);

// Runs one backup, restore or verify with `deviceCount` devices over `connStr` and returns the
// process's exit status. Every ending after COM is initialised passes through the one teardown.
int RunDeviceSet(const char* connStr, int deviceCount);
