// The life of one virtual device set, which every backup, restore or verify goes through: the set
// created under a fresh GUID name, the statement submitted on a thread of its own, the wait until
// the server has configured the set, the device threads, the teardown. Main runs one such life for
// its backup, restore or verify; the restore service one for each incoming backup.
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

// What differs between main's run and the restore service's.
struct RunPlace {
    const char* hexPrefix;          // before a failed creation step's result: "x" or "0x"
    const char* noStatementThread;  // the line when the statement thread cannot start
    bool announcesWait;             // "Waiting for SQL to complete configuration ..." before the wait
    bool waitEndsWithStatement;     // a statement that fails before the set is configured ends the wait
    bool ownsProcess;               // the teardown also cleans up Winsock and closes the log
};
inline constexpr RunPlace kMainRun{"x", "execSQL failed.\n", false, true, true};
inline constexpr RunPlace kServiceRun{"0x", "execSQL failed.", true, false, false};

// One device set from its creation to its teardown, on the calling thread. The destructor tears
// down what End has not.
class DeviceSetRun {
public:
    // `name` (kSetNameRoom) receives the set's name; it stays the caller's and must outlive the run.
    DeviceSetRun(const RunPlace& place, wchar_t* name);
    ~DeviceSetRun();
    DeviceSetRun(const DeviceSetRun&) = delete;
    DeviceSetRun& operator=(const DeviceSetRun&) = delete;

    // COM for the calling thread, the device-set component, a fresh GUID name, CreateEx with
    // `count` devices. False, the failure logged, when a step fails.
    bool Create(int count);
    // Whether Create got as far as initialising COM.
    bool ComStarted() const { return comInit_; }
    // Submits `statement` over `connStr` on the statement thread, waits up to
    // kConfigurationTimeoutMs for the server to configure the set, and hands the set to its device
    // threads with `info` (startSecondary, which ends the process when that phase fails). 0, or -1
    // (logged) when the thread cannot start, the set was not configured in time, or, where the
    // place's wait ends with the statement, the statement failed first.
    int Serve(const std::string& connStr, const std::string& statement, const StreamInfo& info);
    // Undoes what the run reached: Close, Release, a bounded wait for a statement thread that is
    // still running, CoUninitialize; for main's run also WSACleanup and Log::Close. False when the
    // statement thread was still running: its texts are then left to it.
    bool End();

private:
    struct Texts;
    HRESULT AwaitConfiguration(VDConfig* config, bool* statementEnded);

    const RunPlace& place_;
    wchar_t* name_;
    int count_ = 0;
    bool comInit_ = false;
    IClientVirtualDeviceSet2* set_ = nullptr;
    bool created_ = false;
    HANDLE statementThread_ = nullptr;
    Texts* texts_ = nullptr;
};

// Runs one backup, restore or verify with `deviceCount` devices over `connStr` and returns the
// process's exit status. Every ending after COM is initialised passes through the one teardown.
// A backup into files writes its set under temporary names and puts it in place only when the
// statement, every stream and the options file succeeded.
int RunDeviceSet(const char* connStr, int deviceCount);
