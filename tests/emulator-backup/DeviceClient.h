// A test-only client that plays the device side of a virtual device set in-process, the way the
// program's device threads do: it creates the set, waits for the server's configuration, then one
// thread per device serves the server's commands from or into memory until the device closes.
#pragma once

#include "platform/vdi/vdi.h"
#include "tests/support/ClientSet.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testclient {

class DeviceClient {
public:
    // Creates a set of `devices` devices under a fresh name for `instance` (null: the default).
    explicit DeviceClient(unsigned devices, const wchar_t* instance = nullptr);
    ~DeviceClient();

    const std::string& name() const { return set_.name; }
    // The device names as a statement lists them: VIRTUAL_DEVICE='<name>', ...
    std::string deviceClauses() const;

    // Starts a thread that waits up to configTimeoutMs for the configuration, then serves every
    // device: writes are appended to media[d], reads are served from media[d].
    void start(DWORD configTimeoutMs = 15000);
    // Waits for every thread; the client's result: S_OK, or the first failure (a time-out of the
    // configuration, an abort seen by a device, ...).
    HRESULT finish();

    std::vector<std::string> media;            // one stream per device
    std::vector<std::vector<DWORD>> commands;  // command codes each device received
    std::vector<DWORD> lastWriteSizes;         // size of each device's last write
    bool writeMedia = false;                   // what the configuration said
    VDConfig config{};

    // Hooks: answer a write with a completion code other than success on this device after
    // `failAfterWrites` writes; abort the set from the client after that many bytes moved.
    int failDevice = -1;
    int failAfterWrites = 0;
    DWORD failCode = ERROR_DISK_FULL;
    uint64_t abortAfterBytes = 0;     // 0: never
    bool discardWrites = false;       // count written bytes only (throughput runs)
    int stallDevice = -1;             // this device takes one command and never answers it
    int holdMs = 0;                   // each command is held this long before it is answered
    std::atomic<int> maxHeld{0};      // the most commands held at once over all devices
    std::vector<uint64_t> written;    // bytes written to each device
    std::atomic<uint64_t> served{0};  // bytes handed out to reads over all devices

    IClientVirtualDeviceSet2* set() { return set_.set; }

private:
    HRESULT serve(unsigned index);

    kestest::ClientSet set_;
    unsigned devices_;
    std::thread runner_;
    std::atomic<HRESULT> result_{S_OK};
    std::atomic<uint64_t> moved_{0};
    std::atomic<int> held_{0};
};

}  // namespace testclient
