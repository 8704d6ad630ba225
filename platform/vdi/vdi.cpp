// One registry of device sets per process, shared by the client objects and the server side.
//
// Lock order: the registry's mutex before a set's mutex, never the other way round.
#include "platform/vdi/vdi.h"
#include "platform/vdi/VdiServer.h"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID CLSID_MSSQL_ClientVirtualDeviceSet = {
    0x3F1C6A2E, 0x94B7, 0x4D0A, {0x8E, 0x51, 0x2C, 0x7D, 0x90, 0x4B, 0xA6, 0x13}};
const GUID IID_IClientVirtualDeviceSet2 = {
    0x8B2D40F7, 0x1E6C, 0x4A95, {0xB3, 0x0F, 0x6A, 0xE2, 0x58, 0xC1, 0x7D, 0x94}};
const GUID IID_IClientVirtualDevice = {0x51E9A3C4, 0x7F20, 0x4B6D, {0x9A, 0x84, 0x0D, 0x3B, 0xE6, 0x27, 0x5F, 0xC8}};

namespace {

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::string Narrow(const wchar_t* text) {
    std::string out;
    if (!text) return out;
    for (; *text; ++text) {
        uint32_t c = static_cast<uint32_t>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string InstanceKey(const std::string& instance) {
    std::string key = instance.empty() ? std::string("MSSQLSERVER") : instance;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

// Waits on `cv` until `done()` or the time-out; INFINITE waits without limit.
template <class Pred>
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, DWORD timeoutMs, Pred done) {
    if (timeoutMs == INFINITE) {
        cv.wait(lock, done);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

// Device i > 0 is the set name followed by i in decimal, without leading zeros.
int ParseDeviceIndex(const std::string& setName, DWORD count, const std::string& deviceName) {
    if (deviceName.compare(0, setName.size(), setName) != 0 || deviceName.size() < setName.size()) return -1;
    std::string rest = deviceName.substr(setName.size());
    if (rest.empty()) return 0;
    if (rest.size() > 5 || rest[0] == '0') return -1;
    long value = 0;
    for (char c : rest) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value < static_cast<long>(count) ? static_cast<int>(value) : -1;
}

constexpr DWORD kMaxDevices = 64;

}  // namespace

namespace kes::vdi {

struct Request {
    VDC_Command cmd;  // first: the client is handed &cmd
    DWORD device = 0;
    enum State { Free, Queued, Taken, Done, Abandoned } state = Free;
    DWORD completion = 0;
    DWORD bytes = 0;
};

struct DeviceState {
    std::deque<Request*> queue;   // submitted, not yet taken by the client
    std::vector<Request*> taken;  // taken, not yet completed
    bool opened = false;          // by the client
    bool closed = false;          // by the server
};

struct SetState {
    mutable std::mutex m;
    std::condition_variable cv;
    std::string instanceKey;
    std::string name;
    VDConfig clientConfig{};
    VDConfig config{};
    bool serverHeld = false;
    bool configured = false;
    bool finished = false;
    bool aborted = false;
    bool abortedByClient = false;
    bool clientGone = false;
    std::vector<DeviceState> devices;
    std::vector<std::unique_ptr<Request>> requests;
    std::vector<Request*> freeRequests;
    std::vector<std::unique_ptr<BYTE[]>> buffers;

    // After a normal end there is nothing left to abort.
    void AbortLocked(bool byClient) {
        if (!aborted && !finished) {
            aborted = true;
            abortedByClient = byClient;
        }
        cv.notify_all();
    }
};

namespace {

struct Registry {
    std::mutex m;
    std::condition_variable cv;
    std::map<std::pair<std::string, std::string>, std::shared_ptr<SetState>> sets;
};

// Never destroyed: a driver's statics may outlive the application's.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

void Unregister(const std::shared_ptr<SetState>& state) {
    Registry& reg = TheRegistry();
    std::lock_guard<std::mutex> lock(reg.m);
    auto it = reg.sets.find({state->instanceKey, state->name});
    if (it != reg.sets.end() && it->second == state) reg.sets.erase(it);
}

class ClientSet;

class ClientDevice final : public IClientVirtualDevice {
public:
    ClientDevice(SetState* state, DWORD index) : state_(state), index_(index) {}

    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (SameGuid(iid, IID_IUnknown) || SameGuid(iid, IID_IClientVirtualDevice)) {
            *object = static_cast<IClientVirtualDevice*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The set owns its devices.
    uint32_t AddRef() override { return 1; }
    uint32_t Release() override { return 1; }

    HRESULT GetCommand(DWORD timeoutMs, VDC_Command** command) override {
        if (!command) return E_POINTER;
        *command = nullptr;
        std::unique_lock<std::mutex> lock(state_->m);
        DeviceState& dev = state_->devices[index_];
        bool ready = WaitFor(state_->cv, lock, timeoutMs,
                             [&] { return state_->aborted || state_->clientGone || !dev.queue.empty() || dev.closed; });
        if (state_->aborted) return VD_E_ABORT;
        if (state_->clientGone) return VD_E_NOTOPEN;
        if (!dev.queue.empty()) {
            Request* r = dev.queue.front();
            dev.queue.pop_front();
            r->state = Request::Taken;
            dev.taken.push_back(r);
            *command = &r->cmd;
            return S_OK;
        }
        if (dev.closed) return VD_E_CLOSE;
        (void)ready;
        return VD_E_TIMEOUT;
    }

    HRESULT CompleteCommand(VDC_Command* command, DWORD completionCode, DWORD bytesTransferred,
                            uint64_t position) override {
        if (!command) return E_POINTER;
        std::lock_guard<std::mutex> lock(state_->m);
        DeviceState& dev = state_->devices[index_];
        auto it = std::find_if(dev.taken.begin(), dev.taken.end(), [&](Request* r) { return &r->cmd == command; });
        if (it == dev.taken.end()) return VD_E_INVALID;
        Request* r = *it;
        if (bytesTransferred > r->cmd.size) return VD_E_INVALID;
        dev.taken.erase(it);
        r->completion = completionCode;
        r->bytes = bytesTransferred;
        r->state = r->state == Request::Abandoned ? Request::Abandoned : Request::Done;
        state_->cv.notify_all();
        return state_->aborted ? VD_E_ABORT : S_OK;
    }

private:
    SetState* state_;
    DWORD index_;
};

class ClientSet final : public IClientVirtualDeviceSet2 {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (SameGuid(iid, IID_IUnknown) || SameGuid(iid, IID_IClientVirtualDeviceSet2)) {
            AddRef();
            *object = static_cast<IClientVirtualDeviceSet2*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        uint32_t left = --refs_;
        if (left == 0) {
            if (state_ && !closed_) Close();
            delete this;
        }
        return left;
    }

    HRESULT CreateEx(const wchar_t* instanceName, const wchar_t* setName, VDConfig* config) override {
        if (!config) return E_POINTER;
        if (state_) return VD_E_PROTOCOL;
        std::string name = Narrow(setName);
        if (name.empty() || name.size() > 256) return VD_E_INVALID;
        if (config->deviceCount == 0 || config->deviceCount > kMaxDevices) return VD_E_INVALID;
        auto state = std::make_shared<SetState>();
        state->instanceKey = InstanceKey(Narrow(instanceName));
        state->name = name;
        state->clientConfig = *config;
        state->devices.resize(config->deviceCount);
        Registry& reg = TheRegistry();
        {
            std::lock_guard<std::mutex> lock(reg.m);
            auto key = std::make_pair(state->instanceKey, state->name);
            if (reg.sets.count(key)) return VD_E_BUSY;
            reg.sets.emplace(key, state);
        }
        reg.cv.notify_all();
        state_ = state;
        for (DWORD i = 0; i < config->deviceCount; ++i)
            devices_.push_back(std::make_unique<ClientDevice>(state_.get(), i));
        return S_OK;
    }

    HRESULT GetConfiguration(DWORD timeoutMs, VDConfig* config) override {
        if (!config) return E_POINTER;
        if (!state_ || closed_) return VD_E_PROTOCOL;
        std::unique_lock<std::mutex> lock(state_->m);
        WaitFor(state_->cv, lock, timeoutMs,
                [&] { return state_->configured || state_->aborted || state_->clientGone; });
        if (state_->aborted) return VD_E_ABORT;
        if (state_->clientGone) return VD_E_NOTOPEN;
        if (!state_->configured) return VD_E_TIMEOUT;
        *config = state_->config;
        return S_OK;
    }

    HRESULT OpenDevice(const wchar_t* deviceName, IClientVirtualDevice** device) override {
        if (!device) return E_POINTER;
        *device = nullptr;
        if (!state_ || closed_) return VD_E_PROTOCOL;
        int index = ParseDeviceIndex(state_->name, static_cast<DWORD>(devices_.size()), Narrow(deviceName));
        if (index < 0) return VD_E_INVALID;
        std::lock_guard<std::mutex> lock(state_->m);
        if (state_->aborted) return VD_E_ABORT;
        if (!state_->configured) return VD_E_PROTOCOL;
        DeviceState& dev = state_->devices[index];
        if (dev.opened) return VD_E_BUSY;
        dev.opened = true;
        *device = devices_[index].get();
        return S_OK;
    }

    HRESULT SignalAbort() override {
        if (!state_) return VD_E_PROTOCOL;
        std::lock_guard<std::mutex> lock(state_->m);
        state_->AbortLocked(true);
        return S_OK;
    }

    HRESULT Close() override {
        if (!state_ || closed_) return VD_E_PROTOCOL;
        closed_ = true;
        Unregister(state_);
        std::lock_guard<std::mutex> lock(state_->m);
        if (state_->serverHeld && !state_->finished) state_->AbortLocked(true);
        state_->clientGone = true;
        state_->cv.notify_all();
        return S_OK;
    }

private:
    ~ClientSet() = default;
    std::atomic<uint32_t> refs_{1};
    std::shared_ptr<SetState> state_;
    bool closed_ = false;
    std::vector<std::unique_ptr<ClientDevice>> devices_;
};

thread_local int t_comInitCount = 0;
thread_local DWORD t_comMode = 0;

}  // namespace

// ---- server side ------------------------------------------------------------------------------

ServerDeviceSet::ServerDeviceSet(std::shared_ptr<SetState> state) : state_(std::move(state)) {}

HRESULT ServerDeviceSet::Open(const std::string& instance, const std::string& name, DWORD timeoutMs,
                              std::unique_ptr<ServerDeviceSet>* out) {
    if (!out) return E_POINTER;
    out->reset();
    Registry& reg = TheRegistry();
    auto key = std::make_pair(InstanceKey(instance), name);
    std::shared_ptr<SetState> state;
    {
        std::unique_lock<std::mutex> lock(reg.m);
        WaitFor(reg.cv, lock, timeoutMs, [&] { return reg.sets.count(key) != 0; });
        auto it = reg.sets.find(key);
        if (it == reg.sets.end()) return VD_E_NOTOPEN;
        state = it->second;
        std::lock_guard<std::mutex> setLock(state->m);
        if (state->aborted) return VD_E_ABORT;
        if (state->serverHeld) return VD_E_BUSY;
        state->serverHeld = true;
    }
    out->reset(new ServerDeviceSet(std::move(state)));
    return S_OK;
}

ServerDeviceSet::~ServerDeviceSet() {
    std::lock_guard<std::mutex> lock(state_->m);
    if (!state_->finished) state_->AbortLocked(false);
}

const std::string& ServerDeviceSet::Name() const { return state_->name; }

DWORD ServerDeviceSet::DeviceCount() const { return static_cast<DWORD>(state_->devices.size()); }

VDConfig ServerDeviceSet::ClientConfig() const { return state_->clientConfig; }

int ServerDeviceSet::DeviceIndex(const std::string& deviceName) const {
    return ParseDeviceIndex(state_->name, DeviceCount(), deviceName);
}

std::string ServerDeviceSet::DeviceName(DWORD index) const {
    return index == 0 ? state_->name : state_->name + std::to_string(index);
}

HRESULT ServerDeviceSet::Configure(bool writeMedia, DWORD blockSize, DWORD maxTransferSize, DWORD bufferCount) {
    std::lock_guard<std::mutex> lock(state_->m);
    if (state_->aborted) return VD_E_ABORT;
    if (state_->configured) return VD_E_PROTOCOL;
    VDConfig cfg = state_->clientConfig;
    cfg.features = (cfg.features & ~VDF_WriteMedia) | (writeMedia ? VDF_WriteMedia : 0u);
    cfg.blockSize = blockSize;
    cfg.maxTransferSize = maxTransferSize;
    cfg.bufferCount = bufferCount;
    state_->config = cfg;
    state_->configured = true;
    state_->cv.notify_all();
    return S_OK;
}

BYTE* ServerDeviceSet::AllocateBuffer(size_t bytes) {
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[bytes ? bytes : 1]);
    if (!buffer) return nullptr;
    BYTE* raw = buffer.get();
    std::lock_guard<std::mutex> lock(state_->m);
    state_->buffers.push_back(std::move(buffer));
    return raw;
}

HRESULT ServerDeviceSet::Submit(DWORD device, DWORD commandCode, BYTE* buffer, DWORD size, uint64_t position,
                                Request** ticket) {
    if (!ticket) return E_POINTER;
    *ticket = nullptr;
    std::lock_guard<std::mutex> lock(state_->m);
    if (device >= state_->devices.size()) return VD_E_INVALID;
    if (state_->aborted) return VD_E_ABORT;
    if (!state_->configured || state_->devices[device].closed) return VD_E_PROTOCOL;
    Request* r;
    if (!state_->freeRequests.empty()) {
        r = state_->freeRequests.back();
        state_->freeRequests.pop_back();
    } else {
        state_->requests.push_back(std::make_unique<Request>());
        r = state_->requests.back().get();
    }
    r->cmd.commandCode = commandCode;
    r->cmd.size = size;
    r->cmd.position = position;
    r->cmd.buffer = buffer;
    r->device = device;
    r->state = Request::Queued;
    r->completion = 0;
    r->bytes = 0;
    state_->devices[device].queue.push_back(r);
    state_->cv.notify_all();
    *ticket = r;
    return S_OK;
}

HRESULT ServerDeviceSet::Wait(Request* ticket, DWORD timeoutMs, DWORD* completionCode, DWORD* bytesTransferred) {
    if (!ticket) return E_POINTER;
    std::unique_lock<std::mutex> lock(state_->m);
    if (ticket->state == Request::Free || ticket->state == Request::Abandoned) return VD_E_INVALID;
    WaitFor(state_->cv, lock, timeoutMs, [&] { return ticket->state == Request::Done || state_->aborted; });
    if (ticket->state == Request::Done) {
        if (completionCode) *completionCode = ticket->completion;
        if (bytesTransferred) *bytesTransferred = ticket->bytes;
        ticket->state = Request::Free;
        state_->freeRequests.push_back(ticket);
        return S_OK;
    }
    if (state_->aborted) {
        // The client may still hold it; it stays allocated with the set.
        if (ticket->state == Request::Queued) {
            auto& q = state_->devices[ticket->device].queue;
            q.erase(std::remove(q.begin(), q.end(), ticket), q.end());
        }
        ticket->state = Request::Abandoned;
        return VD_E_ABORT;
    }
    return VD_E_TIMEOUT;
}

HRESULT ServerDeviceSet::Execute(DWORD device, DWORD commandCode, BYTE* buffer, DWORD size, DWORD timeoutMs,
                                 DWORD* completionCode, DWORD* bytesTransferred) {
    Request* ticket = nullptr;
    HRESULT hr = Submit(device, commandCode, buffer, size, 0, &ticket);
    if (FAILED(hr)) return hr;
    hr = Wait(ticket, timeoutMs, completionCode, bytesTransferred);
    if (hr == VD_E_TIMEOUT) {
        // Give up on it: the client may complete it later, into a ticket nobody reuses.
        std::lock_guard<std::mutex> lock(state_->m);
        if (ticket->state == Request::Queued) {
            auto& q = state_->devices[ticket->device].queue;
            q.erase(std::remove(q.begin(), q.end(), ticket), q.end());
        }
        ticket->state = Request::Abandoned;
    }
    return hr;
}

void ServerDeviceSet::CloseDevices() {
    std::lock_guard<std::mutex> lock(state_->m);
    for (DeviceState& dev : state_->devices) dev.closed = true;
    if (!state_->aborted) state_->finished = true;
    state_->cv.notify_all();
}

void ServerDeviceSet::Abort() {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->AbortLocked(false);
}

bool ServerDeviceSet::Aborted() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->aborted;
}

bool ServerDeviceSet::AbortedByClient() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->aborted && state_->abortedByClient;
}

}  // namespace kes::vdi

// ---- COM runtime ---------------------------------------------------------------------------------

using kes::vdi::t_comInitCount;
using kes::vdi::t_comMode;

HRESULT CoInitializeEx(void* reserved, DWORD coInit) {
    if (reserved) return E_INVALIDARG;
    DWORD mode = coInit & COINIT_APARTMENTTHREADED;
    if (t_comInitCount > 0 && mode != t_comMode) return RPC_E_CHANGED_MODE;
    t_comMode = mode;
    return t_comInitCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (t_comInitCount > 0) --t_comInitCount;
}

HRESULT CoCreateInstance(REFCLSID clsid, void* outer, DWORD clsContext, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (t_comInitCount == 0) return CO_E_NOTINITIALIZED;
    if (!SameGuid(clsid, CLSID_MSSQL_ClientVirtualDeviceSet) || !(clsContext & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (!SameGuid(iid, IID_IClientVirtualDeviceSet2) && !SameGuid(iid, IID_IUnknown)) return E_NOINTERFACE;
    auto* set = new (std::nothrow) kes::vdi::ClientSet;
    if (!set) return E_OUTOFMEMORY;
    *object = static_cast<IClientVirtualDeviceSet2*>(set);
    return S_OK;
}

HRESULT CoCreateGuid(GUID* guid) {
    if (!guid) return E_POINTER;
    uint8_t bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return E_OUTOFMEMORY;
        }
        got += static_cast<size_t>(n);
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // variant 1
    guid->Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    guid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    guid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    std::memcpy(guid->Data4, bytes + 8, 8);
    return S_OK;
}

int StringFromGUID2(REFGUID guid, wchar_t* out, int cchMax) {
    if (!out || cchMax < 39) return 0;
    std::swprintf(out, static_cast<size_t>(cchMax), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return 39;
}
