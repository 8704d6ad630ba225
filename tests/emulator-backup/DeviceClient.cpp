#include "tests/emulator-backup/DeviceClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace testclient {

DeviceClient::DeviceClient(unsigned devices, const wchar_t* instance)
    : media(devices),
      commands(devices),
      lastWriteSizes(devices, 0),
      written(devices, 0),
      set_(devices, instance),
      devices_(devices) {}

DeviceClient::~DeviceClient() {
    if (runner_.joinable()) runner_.join();
}

std::string DeviceClient::deviceClauses() const {
    std::string out;
    for (unsigned i = 0; i < devices_; ++i)
        out += (i ? ", VIRTUAL_DEVICE='" : "VIRTUAL_DEVICE='") + set_.deviceName(i) + "'";
    return out;
}

void DeviceClient::start(DWORD configTimeoutMs) {
    runner_ = std::thread([this, configTimeoutMs] {
        HRESULT hr = set_.set->GetConfiguration(configTimeoutMs, &config);
        if (FAILED(hr)) {
            result_ = hr;
            return;
        }
        writeMedia = (config.features & VDF_WriteMedia) != 0;
        std::vector<std::thread> threads;
        std::vector<HRESULT> results(devices_, S_OK);
        for (unsigned i = 0; i < devices_; ++i) threads.emplace_back([this, i, &results] { results[i] = serve(i); });
        for (auto& t : threads) t.join();
        for (HRESULT r : results)
            if (r != S_OK) {
                result_ = r;
                break;
            }
    });
}

HRESULT DeviceClient::finish() {
    if (runner_.joinable()) runner_.join();
    return result_;
}

HRESULT DeviceClient::serve(unsigned index) {
    const std::string n = set_.deviceName(index);
    const std::wstring wname(n.begin(), n.end());
    IClientVirtualDevice* dev = nullptr;
    HRESULT hr = set_.set->OpenDevice(wname.c_str(), &dev);
    if (FAILED(hr)) {
        set_.set->SignalAbort();
        return hr;
    }
    if (static_cast<int>(index) == stallDevice) {
        VDC_Command* held = nullptr;
        hr = dev->GetCommand(15000, &held);
        if (FAILED(hr)) return hr;
        return dev->GetCommand(INFINITE, &held);  // until the set ends
    }
    std::string& m = media[index];
    size_t readPos = 0;
    int writes = 0;
    for (;;) {
        VDC_Command* cmd = nullptr;
        hr = dev->GetCommand(15000, &cmd);
        if (hr == VD_E_CLOSE) return S_OK;
        if (FAILED(hr)) return hr;
        commands[index].push_back(cmd->commandCode);
        int now = ++held_;
        for (int seen = maxHeld; now > seen && !maxHeld.compare_exchange_weak(seen, now);) {
        }
        if (holdMs) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        --held_;
        DWORD code = ERROR_SUCCESS, n = 0;
        switch (cmd->commandCode) {
            case VDC_Write:
                if (static_cast<int>(index) == failDevice && writes >= failAfterWrites) {
                    code = failCode;
                    break;
                }
                ++writes;
                if (!discardWrites) m.append(reinterpret_cast<const char*>(cmd->buffer), cmd->size);
                written[index] += cmd->size;
                lastWriteSizes[index] = cmd->size;
                n = cmd->size;
                break;
            case VDC_Read:
                n = static_cast<DWORD>(std::min<size_t>(cmd->size, m.size() - readPos));
                std::memcpy(cmd->buffer, m.data() + readPos, n);
                readPos += n;
                served += n;
                code = n == cmd->size ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
                break;
            case VDC_Flush:
            case VDC_ClearError: break;
            default: code = ERROR_NOT_SUPPORTED;
        }
        hr = dev->CompleteCommand(cmd, code, n, 0);
        if (FAILED(hr)) return hr;
        if (abortAfterBytes && (moved_ += n) >= abortAfterBytes) {
            set_.set->SignalAbort();
            return VD_E_ABORT;
        }
    }
}

}  // namespace testclient
