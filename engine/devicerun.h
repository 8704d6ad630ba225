// The device-set run of a backup, restore or verify that main starts: create the virtual device
// set, compose and submit the statement, hand the configured set to the device threads, write
// the operation-options file after a full backup, and tear everything down.
#pragma once

#include "engine/devicethreads.h"

#include <string>
#include <vector>

// The name of main's device set (a GUID's text form).
extern wchar_t g_deviceSetName[kSetNameRoom];

// How long the server has to open the set for the statement.
constexpr DWORD kConfigurationTimeoutMs = 15000;

// The instance name that CreateEx gets for an Instance setting: empty (the default instance) for
// an empty setting, "127.0.0.1", "localhost", "." or the computer's own name (any case), and for a
// name without a backslash; otherwise the text after the first backslash.
std::wstring VdiInstanceName(const char* instance, const char* computerName);

// A log message holds 8180 characters. A text longer than kLogPiece goes out as consecutive
// messages "(part k of n) ...", the prefix before the first.
constexpr size_t kLogPiece = 8000;
std::vector<std::string> LogPieces(const char* prefix, const std::string& text);

// What a run reached, so that its teardown undoes exactly that.
struct Reached {
    bool comInit = false;
    IClientVirtualDeviceSet2* set = nullptr;
    bool created = false;
    HANDLE statementThread = nullptr;
};

// The creation steps that main's run and the restore service's runs share: COM for the calling
// thread, the device-set component, a fresh GUID name written into `name` (kSetNameRoom), CreateEx
// with `count` devices. Failures are logged with the result after `hexPrefix` ("x" in main's run,
// "0x" in the service's). Gives the failing call's result, or S_OK with the set created; a failed
// CoInitializeEx leaves r.comInit false.
HRESULT CreateDeviceSet(Reached& r, int count, wchar_t* name, const char* hexPrefix);

// Undoes what `r` reached: Close, Release, a bounded wait for the statement thread, CoUninitialize;
// main's run (`mainRun`) also cleans up Winsock and closes the log. False when the statement
// thread was still running, so that its parameter block must be kept.
bool ReleaseDeviceSet(Reached& r, bool mainRun);

// Waits up to kConfigurationTimeoutMs for the server to configure the set for the statement that
// `statementThread` runs, but no longer than that thread runs: when it ends first,
// `statementEnded` is set and the result is the last failed look. The set's configuration
// result otherwise (VD_E_TIMEOUT when the time ran out).
HRESULT AwaitConfiguration(IClientVirtualDeviceSet2* set, HANDLE statementThread, VDConfig* config,
                           bool* statementEnded);

// Runs one backup, restore or verify with `deviceCount` devices over `connStr` and returns the
// process's exit status. Every ending after COM is initialised passes through the one teardown.
// A backup into files writes its set under temporary names and puts it in place only when the
// statement, every stream and the options file succeeded.
int RunDeviceSet(const char* connStr, int deviceCount);
