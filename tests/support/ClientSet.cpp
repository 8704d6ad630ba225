#include "tests/support/ClientSet.h"

#include <cstdio>
#include <stdexcept>

namespace kestest {

namespace {

void Require(HRESULT hr, const char* step) {
    if (FAILED(hr)) {
        char text[96];
        std::snprintf(text, sizeof text, "%s failed: 0x%08X", step, static_cast<unsigned>(hr));
        throw std::runtime_error(text);
    }
}

}  // namespace

ClientSet::ClientSet(DWORD devices, const wchar_t* instance) {
    Require(CoInitializeEx(nullptr, COINIT_MULTITHREADED), "CoInitializeEx");
    try {
        Require(CoCreateInstance(CLSID_MSSQL_ClientVirtualDeviceSet, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IClientVirtualDeviceSet2, reinterpret_cast<void**>(&set)),
                "CoCreateInstance");
        GUID g;
        Require(CoCreateGuid(&g), "CoCreateGuid");
        wchar_t text[64];
        if (StringFromGUID2(g, text, 64) == 0) throw std::runtime_error("StringFromGUID2 failed");
        wideName = text;
        name.assign(wideName.begin(), wideName.end());
        VDConfig cfg{};
        cfg.deviceCount = devices;
        Require(set->CreateEx(instance, wideName.c_str(), &cfg), "CreateEx");
    } catch (...) {
        if (set) set->Release();
        CoUninitialize();
        throw;
    }
}

ClientSet::~ClientSet() {
    if (set) {
        set->Close();
        set->Release();
    }
    CoUninitialize();
}

std::string ClientSet::deviceName(DWORD index) const { return index ? name + std::to_string(index) : name; }

IClientVirtualDevice* ClientSet::open(DWORD index) {
    const std::string n = deviceName(index);
    const std::wstring w(n.begin(), n.end());
    IClientVirtualDevice* device = nullptr;
    Require(set->OpenDevice(w.c_str(), &device), "OpenDevice");
    return device;
}

}  // namespace kestest
