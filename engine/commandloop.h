// The command loop that every mover runs on its virtual device: take the server's next command,
// move its buffer through the mover's media, complete it, until the device ends.
#pragma once

#include "platform/vdi/vdi.h"
#include "platform/win32/win32.h"

#include <cstdint>

// What a mover moves a device's buffers through: a media file, or a connection to a restore
// service or from a backup run.
class MoverMedia {
public:
    virtual ~MoverMedia() = default;
    // The bytes moved, negative when the call failed: fewer than `size` completes a read command
    // with 38 and a write command with 112.
    virtual int64_t Read(BYTE* buffer, DWORD size) = 0;
    virtual int64_t Write(const BYTE* buffer, DWORD size) = 0;
    // A flush command; false completes it with 112.
    virtual bool Flush() = 0;
    // True once the media has failed for good (what it holds is lost or damaged): the command is
    // completed with 23 (a read) or 112 (any other) and the loop ends.
    virtual bool Broken() const { return false; }
};

// What differs between the movers' loops.
struct CommandRules {
    DWORD waitMs;           // how long to wait for the next command
    const char* hexPrefix;  // before the result in "Completion Failed: %s%X"
};

// Serves the device's commands through `media` until the wait for one fails, which gives the
// final status (VD_E_CLOSE once the server has closed the device: the normal end; a time-out; an
// abort), until a completion fails (logged; its result is the final status), or until the media
// breaks (S_OK). Flush and clear-error commands complete with 0 unless the media fails; any
// other command the movers do not serve with 50.
HRESULT ServeCommands(IClientVirtualDevice* device, MoverMedia& media, const CommandRules& rules);
