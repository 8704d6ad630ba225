// Device threads: one per virtual device of a configured set, each serving its device through the
// mover its stream calls for; startSecondary starts them and waits for them and the statement.
#pragma once

#include "platform/vdi/vdi.h"
#include "platform/win32/win32.h"

#include <cstdint>
#include <string>

// The most devices one set may hold.
constexpr int kMaxDevices = 32;
// Room of a set name: a GUID's text form with its braces takes 38 characters.
constexpr int kSetNameRoom = 49;

// What a device thread of the restore service needs to find its connection; main's run sets the
// database only. The texts belong to the creator until startSecondary has returned.
struct StreamInfo {
    const char* database;
    const char* kind;
    const char* peer;
    uint32_t count;
};

// One per device thread. The set's name travels with the block, so that every thread opens the
// devices of its own run's set even when another run has created a set since.
struct DeviceThreadParam {
    IClientVirtualDeviceSet2* set;
    uint32_t index;
    StreamInfo info;
    wchar_t setName[kSetNameRoom];
};

// How long the device threads may go on once the statement has ended: the movers' command wait.
extern uint32_t g_deviceEndWaitMs;

// Starts one device thread per device of the configured set named `setName`, then waits for the
// statement thread and, for at most g_deviceEndWaitMs more, for the device threads. Returns 0 when
// the statement thread's exit code and every device thread's are 0; in every other case (a device
// thread still running at the bound included) it aborts the set and ends the process with -1.
int startSecondary(IClientVirtualDeviceSet2* set, HANDLE statementThread, int32_t count, const StreamInfo* info,
                   const wchar_t* setName);

// Thread procedure of a device thread; its parameter is a DeviceThreadParam. 0 or -1.
unsigned DeviceThreadProc(void* param);

// Logs a failed system call with the system's explanation of `status`.
void LogStatusError(const char* location, const char* description, DWORD status);

// The mover a device thread hands its device to, by the first rule that applies.
enum class MoverKind { PlainFile, FileMedia, ReceiveFromPeer, SendToService };
MoverKind ChooseMover(bool dnet, bool isBackup, int32_t listenPort, const char* streamEntry);
// The mover of a 1-based stream of this run: by DNet, the job and the stream's entry.
MoverKind MoverOf(int stream);
