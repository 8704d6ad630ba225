// The server side of virtual device sets: what the emulated instance's BACKUP and RESTORE use to
// reach the sets that clients create with IClientVirtualDeviceSet2::CreateEx.
//
// A statement opens a set by instance and name, configures it (backup or restore, sizes), then
// sends commands to its devices and waits for their completion; at the end it closes the devices
// (the client's GetCommand then returns VD_E_CLOSE) or aborts the set. Command buffers are the
// server's and are handed to the client as they are; a buffer must stay valid as long as the client
// may still touch it, which AllocateBuffer guarantees: its memory lives until both sides have let
// go of the set.
#pragma once

#include "platform/vdi/vdi.h"

#include <memory>
#include <string>

namespace kes::vdi {

struct SetState;
struct Request;

class ServerDeviceSet {
public:
    // Waits up to `timeoutMs` for a set of that name created for `instance` (empty: the default
    // instance, MSSQLSERVER; compared without regard to case). Fails with VD_E_NOTOPEN when none
    // appears in time, VD_E_BUSY when another statement already holds it, VD_E_ABORT when the client
    // aborted it. The result is never null on S_OK.
    static HRESULT Open(const std::string& instance, const std::string& name, DWORD timeoutMs,
                        std::unique_ptr<ServerDeviceSet>* out);

    // An unfinished set (no CloseDevices) is aborted.
    ~ServerDeviceSet();
    ServerDeviceSet(const ServerDeviceSet&) = delete;
    ServerDeviceSet& operator=(const ServerDeviceSet&) = delete;

    const std::string& Name() const;
    DWORD DeviceCount() const;
    // The configuration the client passed to CreateEx (deviceCount, and the features it asked for).
    VDConfig ClientConfig() const;
    // The device index of a device name of this set, or -1.
    int DeviceIndex(const std::string& deviceName) const;
    std::string DeviceName(DWORD index) const;

    // Tells the client its configuration: writeMedia (a backup) sets VDF_WriteMedia. The client's
    // GetConfiguration returns from here on.
    HRESULT Configure(bool writeMedia, DWORD blockSize, DWORD maxTransferSize, DWORD bufferCount);

    // Memory for command buffers, kept alive as long as either side holds the set.
    BYTE* AllocateBuffer(size_t bytes);

    // Queues a command on a device. The ticket is valid until Wait returns S_OK for it.
    HRESULT Submit(DWORD device, DWORD commandCode, BYTE* buffer, DWORD size, uint64_t position, Request** ticket);
    // Waits for a submitted command: S_OK with the client's completion code and byte count;
    // VD_E_TIMEOUT (the ticket stays valid); VD_E_ABORT when either side aborted or the client
    // withdrew the set (the ticket is abandoned).
    HRESULT Wait(Request* ticket, DWORD timeoutMs, DWORD* completionCode, DWORD* bytesTransferred);
    // Submit and Wait in one.
    HRESULT Execute(DWORD device, DWORD commandCode, BYTE* buffer, DWORD size, DWORD timeoutMs, DWORD* completionCode,
                    DWORD* bytesTransferred);

    // Normal end: the client's GetCommand gives VD_E_CLOSE once it has taken every queued command.
    void CloseDevices();
    // Server-side abort (a failed statement): every waiting call on both sides returns VD_E_ABORT.
    void Abort();
    // True once either side has aborted or the client has withdrawn the set.
    bool Aborted() const;
    // True when it was the client that aborted (SignalAbort, or Close/Release while in use).
    bool AbortedByClient() const;

private:
    explicit ServerDeviceSet(std::shared_ptr<SetState> state);
    std::shared_ptr<SetState> state_;
};

}  // namespace kes::vdi
