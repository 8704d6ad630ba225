#include "platform/vdi/VdiServer.h"
#include "platform/vdi/vdi.h"
#include "tests/support/ClientSet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

using kes::vdi::Request;
using kes::vdi::ServerDeviceSet;

namespace {

std::string FreshName() {
    GUID g;
    EXPECT_EQ(S_OK, CoCreateGuid(&g));
    wchar_t text[49];
    EXPECT_EQ(39, StringFromGUID2(g, text, 49));
    std::string out;
    for (wchar_t* p = text; *p; ++p) out += static_cast<char>(*p);
    return out;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

using kestest::ClientSet;

std::unique_ptr<ServerDeviceSet> ServerOpen(const std::string& instance, const std::string& name, DWORD timeoutMs = 0) {
    std::unique_ptr<ServerDeviceSet> s;
    EXPECT_EQ(S_OK, ServerDeviceSet::Open(instance, name, timeoutMs, &s));
    return s;
}

TEST(VdiCom, GuidTextIsBracedUpperCase) {
    GUID g = {0x0a1b2c3d, 0x4e5f, 0x6a7b, {0x8c, 0x9d, 0xae, 0xbf, 0x01, 0x23, 0x45, 0x67}};
    wchar_t text[49];
    ASSERT_EQ(39, StringFromGUID2(g, text, 49));
    EXPECT_STREQ(L"{0A1B2C3D-4E5F-6A7B-8C9D-AEBF01234567}", text);
    EXPECT_EQ(38u, std::wcslen(text));
    EXPECT_EQ(0, StringFromGUID2(g, text, 38));

    GUID a, b;
    ASSERT_EQ(S_OK, CoCreateGuid(&a));
    ASSERT_EQ(S_OK, CoCreateGuid(&b));
    EXPECT_NE(0, std::memcmp(&a, &b, sizeof a));
    EXPECT_EQ(0x4000, a.Data3 & 0xF000);  // random kind
}

TEST(VdiCom, CreateInstanceChecksItsArguments) {
    void* obj = nullptr;
    // Not initialised on this thread yet.
    std::thread([&] {
        EXPECT_EQ(CO_E_NOTINITIALIZED, CoCreateInstance(CLSID_MSSQL_ClientVirtualDeviceSet, nullptr,
                                                        CLSCTX_INPROC_SERVER, IID_IClientVirtualDeviceSet2, &obj));
    }).join();

    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    int outer = 0;
    struct Case {
        const GUID* clsid;
        void* outer;
        DWORD ctx;
        const GUID* iid;
        HRESULT want;
    } cases[] = {
        {&IID_IClientVirtualDeviceSet2, nullptr, CLSCTX_INPROC_SERVER, &IID_IClientVirtualDeviceSet2,
         REGDB_E_CLASSNOTREG},
        {&CLSID_MSSQL_ClientVirtualDeviceSet, nullptr, 0x4, &IID_IClientVirtualDeviceSet2, REGDB_E_CLASSNOTREG},
        {&CLSID_MSSQL_ClientVirtualDeviceSet, &outer, CLSCTX_INPROC_SERVER, &IID_IClientVirtualDeviceSet2,
         CLASS_E_NOAGGREGATION},
        {&CLSID_MSSQL_ClientVirtualDeviceSet, nullptr, CLSCTX_INPROC_SERVER, &IID_IClientVirtualDevice, E_NOINTERFACE},
        {&CLSID_MSSQL_ClientVirtualDeviceSet, nullptr, CLSCTX_INPROC_SERVER, &IID_IClientVirtualDeviceSet2, S_OK},
    };
    for (const Case& c : cases) {
        obj = nullptr;
        EXPECT_EQ(c.want, CoCreateInstance(*c.clsid, c.outer, c.ctx, *c.iid, &obj));
        EXPECT_EQ(c.want == S_OK, obj != nullptr);
        if (obj) static_cast<IClientVirtualDeviceSet2*>(obj)->Release();
    }
    CoUninitialize();
    CoUninitialize();
}

TEST(VdiSet, CreateExChecksNameAndCount) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    IClientVirtualDeviceSet2* set = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSSQL_ClientVirtualDeviceSet, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IClientVirtualDeviceSet2, reinterpret_cast<void**>(&set)));
    VDConfig cfg{};
    std::wstring name = Wide(FreshName());
    cfg.deviceCount = 0;
    EXPECT_EQ(VD_E_INVALID, set->CreateEx(nullptr, name.c_str(), &cfg));
    cfg.deviceCount = 65;
    EXPECT_EQ(VD_E_INVALID, set->CreateEx(nullptr, name.c_str(), &cfg));
    cfg.deviceCount = 2;
    EXPECT_EQ(VD_E_INVALID, set->CreateEx(nullptr, L"", &cfg));
    EXPECT_EQ(VD_E_PROTOCOL, set->Close());  // nothing created yet
    ASSERT_EQ(S_OK, set->CreateEx(nullptr, name.c_str(), &cfg));
    EXPECT_EQ(VD_E_PROTOCOL, set->CreateEx(nullptr, name.c_str(), &cfg));
    set->Close();
    set->Release();
    CoUninitialize();
}

TEST(VdiSet, SetIsVisibleOnlyToItsInstance) {
    struct Case {
        const wchar_t* createdFor;
        const char* openedFrom;
        bool visible;
    } cases[] = {
        {nullptr, "", true},        {nullptr, "MSSQLSERVER", true}, {nullptr, "mssqlserver", true},
        {L"", "MSSQLSERVER", true}, {nullptr, "INST2", false},      {L"Inst2", "INST2", true},
        {L"Inst2", "", false},      {L"Inst2", "Inst3", false},
    };
    for (const Case& c : cases) {
        ClientSet client(1, c.createdFor);
        std::unique_ptr<ServerDeviceSet> server;
        HRESULT hr = ServerDeviceSet::Open(c.openedFrom, client.name, 0, &server);
        EXPECT_EQ(c.visible ? S_OK : VD_E_NOTOPEN, hr) << c.openedFrom;
        EXPECT_EQ(c.visible, server != nullptr);
    }
}

TEST(VdiSet, SameNameOnSameInstanceIsBusyButNotAcrossInstances) {
    ClientSet first(1);
    VDConfig cfg{};
    cfg.deviceCount = 1;
    std::wstring w = Wide(first.name);
    IClientVirtualDeviceSet2* again = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSSQL_ClientVirtualDeviceSet, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IClientVirtualDeviceSet2, reinterpret_cast<void**>(&again)));
    EXPECT_EQ(VD_E_BUSY, again->CreateEx(nullptr, w.c_str(), &cfg));
    EXPECT_EQ(S_OK, again->CreateEx(L"OTHER", w.c_str(), &cfg));
    again->Close();
    again->Release();
}

TEST(VdiSet, GetConfigurationWaitsForTheServerOrTimesOut) {
    ClientSet client(2);
    VDConfig cfg{};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VD_E_TIMEOUT, client.set->GetConfiguration(150, &cfg));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140));

    // Opening alone is not enough: the client waits until the server has configured the set.
    std::unique_ptr<ServerDeviceSet> server = ServerOpen("", client.name);
    EXPECT_EQ(VD_E_TIMEOUT, client.set->GetConfiguration(50, &cfg));
    EXPECT_EQ(2u, server->DeviceCount());
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(S_OK, server->Configure(true, 512, 1 << 20, 4));
    });
    ASSERT_EQ(S_OK, client.set->GetConfiguration(INFINITE, &cfg));
    later.join();
    EXPECT_EQ(2u, cfg.deviceCount);
    EXPECT_EQ(VDF_WriteMedia, cfg.features & VDF_WriteMedia);
    EXPECT_EQ(1u << 20, cfg.maxTransferSize);
    EXPECT_EQ(VD_E_PROTOCOL, server->Configure(true, 512, 1 << 20, 4));
    server->CloseDevices();
}

TEST(VdiSet, RestoreConfigurationHasNoWriteMediaBit) {
    ClientSet client(1);
    auto server = ServerOpen("", client.name);
    ASSERT_EQ(S_OK, server->Configure(false, 512, 65536, 2));
    VDConfig cfg{};
    ASSERT_EQ(S_OK, client.set->GetConfiguration(0, &cfg));
    EXPECT_EQ(0u, cfg.features & VDF_WriteMedia);
    server->CloseDevices();
}

TEST(VdiSet, ServerOpenWaitsForALateSetAndRefusesASecondStatement) {
    std::string name = FreshName();
    auto opened = std::async(std::launch::async, [&] {
        std::unique_ptr<ServerDeviceSet> s;
        HRESULT hr = ServerDeviceSet::Open("", name, 5000, &s);
        return hr;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    IClientVirtualDeviceSet2* set = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSSQL_ClientVirtualDeviceSet, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IClientVirtualDeviceSet2, reinterpret_cast<void**>(&set)));
    VDConfig cfg{};
    cfg.deviceCount = 1;
    std::wstring w = Wide(name);
    ASSERT_EQ(S_OK, set->CreateEx(nullptr, w.c_str(), &cfg));
    EXPECT_EQ(S_OK, opened.get());
    // The first statement has let go of it (aborted by its destructor); the set serves one statement.
    std::unique_ptr<ServerDeviceSet> second;
    EXPECT_NE(S_OK, ServerDeviceSet::Open("", name, 0, &second));
    EXPECT_EQ(VD_E_NOTOPEN, ServerDeviceSet::Open("", FreshName(), 30, &second));
    set->Close();
    set->Release();
    CoUninitialize();
}

TEST(VdiDevice, DeviceNamesFollowTheSetName) {
    ClientSet client(3);
    auto server = ServerOpen("", client.name);
    IClientVirtualDevice* dev = nullptr;
    std::wstring w0 = Wide(client.name);
    EXPECT_EQ(VD_E_PROTOCOL, client.set->OpenDevice(w0.c_str(), &dev));  // not configured yet
    ASSERT_EQ(S_OK, server->Configure(false, 512, 65536, 3));
    struct Case {
        std::string suffix;
        HRESULT want;
    } cases[] = {{"", S_OK},           {"1", S_OK},         {"2", S_OK},     {"3", VD_E_INVALID},
                 {"01", VD_E_INVALID}, {"x", VD_E_INVALID}, {"1", VD_E_BUSY}};
    for (const Case& c : cases) {
        std::wstring w = Wide(client.name + c.suffix);
        dev = nullptr;
        EXPECT_EQ(c.want, client.set->OpenDevice(w.c_str(), &dev)) << c.suffix;
        EXPECT_EQ(c.want == S_OK, dev != nullptr);
    }
    EXPECT_EQ(VD_E_INVALID, client.set->OpenDevice(L"{00000000-0000-0000-0000-000000000000}", &dev));
    EXPECT_EQ(2, server->DeviceIndex(client.name + "2"));
    EXPECT_EQ(-1, server->DeviceIndex(client.name + "7"));
    EXPECT_EQ(client.name + "1", server->DeviceName(1));
    server->CloseDevices();
}

TEST(VdiDevice, CommandsRoundTripWithTheServersBuffer) {
    ClientSet client(1);
    auto server = ServerOpen("", client.name);
    ASSERT_EQ(S_OK, server->Configure(true, 512, 4096, 2));
    IClientVirtualDevice* dev = client.open(0);

    BYTE* out = server->AllocateBuffer(4096);
    std::memset(out, 'w', 4096);
    BYTE* in = server->AllocateBuffer(4096);
    Request* write = nullptr;
    Request* read = nullptr;
    ASSERT_EQ(S_OK, server->Submit(0, VDC_Write, out, 4096, 0, &write));
    ASSERT_EQ(S_OK, server->Submit(0, VDC_Read, in, 1000, 0, &read));

    std::vector<char> stored;
    std::thread device([&] {
        VDC_Command* cmd = nullptr;
        VDC_Command* last = nullptr;
        for (;;) {
            HRESULT hr = dev->GetCommand(5000, &cmd);
            if (hr == VD_E_CLOSE) break;
            ASSERT_EQ(S_OK, hr);
            DWORD code = ERROR_SUCCESS, n = 0;
            if (cmd->commandCode == VDC_Write) {
                EXPECT_EQ(out, cmd->buffer);  // no copy on the way
                stored.assign(cmd->buffer, cmd->buffer + cmd->size);
                n = cmd->size;
            } else if (cmd->commandCode == VDC_Read) {
                EXPECT_EQ(in, cmd->buffer);
                std::memset(cmd->buffer, 'r', 600);
                n = 600;
                code = ERROR_HANDLE_EOF;
            } else if (cmd->commandCode != VDC_Flush) {
                code = ERROR_NOT_SUPPORTED;
            }
            EXPECT_EQ(S_OK, dev->CompleteCommand(cmd, code, n, 0));
            last = cmd;
        }
        EXPECT_EQ(nullptr, cmd);
        // Completing twice, or something that is not a command of this device, is refused.
        EXPECT_EQ(VD_E_INVALID, dev->CompleteCommand(last, 0, 0, 0));
        VDC_Command foreign{};
        EXPECT_EQ(VD_E_INVALID, dev->CompleteCommand(&foreign, 0, 0, 0));
    });

    DWORD code = 99, n = 99;
    ASSERT_EQ(S_OK, server->Wait(write, INFINITE, &code, &n));
    EXPECT_EQ(ERROR_SUCCESS, code);
    EXPECT_EQ(4096u, n);
    ASSERT_EQ(S_OK, server->Wait(read, INFINITE, &code, &n));
    EXPECT_EQ(ERROR_HANDLE_EOF, code);
    EXPECT_EQ(600u, n);
    EXPECT_EQ('r', in[599]);
    ASSERT_EQ(S_OK, server->Execute(0, 77, nullptr, 0, INFINITE, &code, &n));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, code);
    ASSERT_EQ(S_OK, server->Execute(0, VDC_Flush, nullptr, 0, INFINITE, &code, &n));
    EXPECT_EQ(ERROR_SUCCESS, code);
    server->CloseDevices();
    device.join();
    EXPECT_EQ(std::vector<char>(4096, 'w'), stored);
    EXPECT_EQ(VD_E_PROTOCOL, server->Submit(0, VDC_Write, out, 1, 0, &write));
    EXPECT_FALSE(server->Aborted());
}

TEST(VdiDevice, GetCommandTimesOutThenCloseEndsIt) {
    ClientSet client(2);
    auto server = ServerOpen("", client.name);
    ASSERT_EQ(S_OK, server->Configure(false, 512, 4096, 2));
    IClientVirtualDevice* dev = client.open(1);
    VDC_Command* cmd = nullptr;
    EXPECT_EQ(VD_E_TIMEOUT, dev->GetCommand(50, &cmd));
    EXPECT_EQ(nullptr, cmd);
    // A command queued before the close is still delivered; then the device is closed.
    Request* t = nullptr;
    ASSERT_EQ(S_OK, server->Submit(1, VDC_Flush, nullptr, 0, 0, &t));
    server->CloseDevices();
    ASSERT_EQ(S_OK, dev->GetCommand(0, &cmd));
    EXPECT_EQ(VDC_Flush, cmd->commandCode);
    EXPECT_EQ(S_OK, dev->CompleteCommand(cmd, 0, 0, 0));
    EXPECT_EQ(VD_E_CLOSE, dev->GetCommand(INFINITE, &cmd));
    EXPECT_EQ(S_OK, server->Wait(t, 0, nullptr, nullptr));
    // A normal end is not an abort, also when the client aborts afterwards.
    client.set->SignalAbort();
    client.set->Close();
    client.set->Release();
    client.set = nullptr;
    EXPECT_FALSE(server->AbortedByClient());
}

TEST(VdiAbort, ClientAbortWakesEveryWaiter) {
    ClientSet client(2);
    auto server = ServerOpen("", client.name);
    ASSERT_EQ(S_OK, server->Configure(true, 512, 4096, 2));
    IClientVirtualDevice* d0 = client.open(0);
    IClientVirtualDevice* d1 = client.open(1);
    BYTE* buf = server->AllocateBuffer(4096);
    Request* t = nullptr;
    ASSERT_EQ(S_OK, server->Submit(0, VDC_Write, buf, 4096, 0, &t));
    VDC_Command* taken = nullptr;
    ASSERT_EQ(S_OK, d0->GetCommand(0, &taken));  // the client holds it across the abort

    auto serverWait = std::async(std::launch::async, [&] { return server->Wait(t, INFINITE, nullptr, nullptr); });
    auto deviceWait = std::async(std::launch::async, [&] {
        VDC_Command* c = nullptr;
        return d1->GetCommand(INFINITE, &c);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(S_OK, client.set->SignalAbort());
    EXPECT_EQ(VD_E_ABORT, serverWait.get());
    EXPECT_EQ(VD_E_ABORT, deviceWait.get());
    EXPECT_TRUE(server->Aborted());
    EXPECT_TRUE(server->AbortedByClient());
    VDConfig cfg{};
    EXPECT_EQ(VD_E_ABORT, client.set->GetConfiguration(INFINITE, &cfg));
    EXPECT_EQ(VD_E_ABORT, server->Submit(1, VDC_Write, buf, 1, 0, &t));
    // The late completion still lands in the server's (still allocated) buffer record.
    std::memset(taken->buffer, 0, taken->size);
    EXPECT_EQ(VD_E_ABORT, d0->CompleteCommand(taken, 0, taken->size, 0));
    server.reset();
}

TEST(VdiAbort, ServerAbortWakesTheClient) {
    struct Case {
        bool configureFirst;
        bool byDestructor;
    } cases[] = {{true, false}, {true, true}, {false, false}, {false, true}};
    for (const Case& c : cases) {
        ClientSet client(1);
        auto server = ServerOpen("", client.name);
        IClientVirtualDevice* dev = nullptr;
        if (c.configureFirst) {
            ASSERT_EQ(S_OK, server->Configure(false, 512, 4096, 1));
            dev = client.open(0);
        }
        auto clientWait = std::async(std::launch::async, [&] {
            if (dev) {
                VDC_Command* cmd = nullptr;
                return dev->GetCommand(INFINITE, &cmd);
            }
            VDConfig cfg{};
            return client.set->GetConfiguration(INFINITE, &cfg);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (c.byDestructor)
            server.reset();
        else
            server->Abort();
        EXPECT_EQ(VD_E_ABORT, clientWait.get());
        if (server) {
            EXPECT_TRUE(server->Aborted());
            EXPECT_FALSE(server->AbortedByClient());
        }
    }
}

TEST(VdiAbort, ClosingOrReleasingAnOpenSetAbortsTheServer) {
    for (bool releaseOnly : {false, true}) {
        ClientSet client(1);
        auto server = ServerOpen("", client.name);
        ASSERT_EQ(S_OK, server->Configure(true, 512, 4096, 1));
        auto waiting = std::async(std::launch::async, [&] {
            DWORD code, n;
            BYTE* b = server->AllocateBuffer(16);
            return server->Execute(0, VDC_Write, b, 16, INFINITE, &code, &n);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (!releaseOnly) client.set->Close();
        client.set->Release();
        client.set = nullptr;
        EXPECT_EQ(VD_E_ABORT, waiting.get());
        EXPECT_TRUE(server->AbortedByClient());
        // The name is free again.
        std::unique_ptr<ServerDeviceSet> gone;
        EXPECT_EQ(VD_E_NOTOPEN, ServerDeviceSet::Open("", client.name, 0, &gone));
    }
}

TEST(VdiSet, TwoSetsAtOnceNeverMix) {
    constexpr int kCommands = 200;
    ClientSet a(2), b(2);
    auto sa = ServerOpen("", a.name);
    auto sb = ServerOpen("", b.name);
    ASSERT_EQ(S_OK, sa->Configure(true, 512, 64, 2));
    ASSERT_EQ(S_OK, sb->Configure(true, 512, 64, 2));

    // Each server thread writes its own tag to each device; each device must see only its set's tag.
    auto serve = [](ServerDeviceSet* s, char tag) {
        BYTE* buf = s->AllocateBuffer(64 * 2);
        for (DWORD dev = 0; dev < 2; ++dev) std::memset(buf + 64 * dev, tag + static_cast<char>(dev), 64);
        for (int i = 0; i < kCommands; ++i) {
            for (DWORD dev = 0; dev < 2; ++dev) {
                DWORD code, n;
                ASSERT_EQ(S_OK, s->Execute(dev, VDC_Write, buf + 64 * dev, 64, 5000, &code, &n));
            }
        }
        s->CloseDevices();
    };
    auto device = [](IClientVirtualDevice* dev, char want) {
        int seen = 0;
        VDC_Command* cmd;
        HRESULT hr;
        while ((hr = dev->GetCommand(5000, &cmd)) == S_OK) {
            for (DWORD i = 0; i < cmd->size; ++i)
                if (cmd->buffer[i] != static_cast<BYTE>(want)) return -1;
            dev->CompleteCommand(cmd, 0, cmd->size, 0);
            ++seen;
        }
        return hr == VD_E_CLOSE ? seen : -2;
    };
    std::vector<std::future<int>> devices;
    devices.push_back(std::async(std::launch::async, device, a.open(0), 'A'));
    devices.push_back(std::async(std::launch::async, device, a.open(1), 'B'));
    devices.push_back(std::async(std::launch::async, device, b.open(0), 'a'));
    devices.push_back(std::async(std::launch::async, device, b.open(1), 'b'));
    std::thread ta(serve, sa.get(), 'A'), tb(serve, sb.get(), 'a');
    ta.join();
    tb.join();
    for (auto& f : devices) EXPECT_EQ(kCommands, f.get());
}

}  // namespace
