// Device threads and file movers against the server side of the device sets: a backup served
// into media files and read back by a restore, and the failures that must abort the set.
#include "engine/devicethreads.h"
#include "config/Config.h"
#include "engine/commandloop.h"
#include "engine/filemovers.h"
#include "engine/job.h"
#include "platform/vdi/VdiServer.h"
#include "support/Log.h"
#include "tests/support/ClientSet.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

using kes::vdi::ServerDeviceSet;

namespace {

using kestest::ClientSet;
using kestest::TempDir;

// The settings the movers read, restored after each test.
struct Settings {
    Config saved = g_config;
    std::map<int, std::string> savedStreams = g_streamFiles;
    Settings(const char* compress, const char* pass, bool dnet, int level = 4) {
        strcpy(g_config.CompressType, compress);
        strcpy(g_config.EncPass, pass);
        g_config.DNet = dnet;
        g_config.CompressLevel = level;
    }
    ~Settings() {
        g_config = saved;
        g_streamFiles = savedStreams;
    }
};

std::unique_ptr<ServerDeviceSet> OpenServer(const ClientSet& c, bool writeMedia) {
    std::unique_ptr<ServerDeviceSet> s;
    EXPECT_EQ(S_OK, ServerDeviceSet::Open("", c.name, 5000, &s));
    if (s) {
        EXPECT_EQ(S_OK, s->Configure(writeMedia, 512, 65536, 4));
    }
    return s;
}

std::string Stream(int device, size_t size) {
    std::string s(size, '\0');
    uint32_t x = 2463534242u + 977u * static_cast<uint32_t>(device);
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

DWORD ReturnsCode(void* code) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(code)); }

// Runs startSecondary for the set on a thread of its own while `server` plays the statement.
int RunDevices(ClientSet& c, int count, const std::function<void()>& server) {
    HANDLE statement = CreateThread(nullptr, 0, ReturnsCode, nullptr, 0, nullptr);
    StreamInfo info{"Sales", "", "", 0};
    int status = 99;
    std::thread run([&] { status = startSecondary(c.set, statement, count, &info, c.wideName.c_str()); });
    server();
    run.join();
    return status;
}

// The backup side: every device gets its stream in three writes, with a flush between.
void ServeBackup(ServerDeviceSet& s, int count, size_t total) {
    std::vector<std::thread> devices;
    for (int d = 0; d < count; ++d) {
        devices.emplace_back([&s, d, total] {
            const std::string data = Stream(d, total);
            BYTE* buf = s.AllocateBuffer(65536);
            size_t done = 0;
            while (done < data.size()) {
                DWORD n = static_cast<DWORD>(std::min<size_t>(65536, data.size() - done));
                memcpy(buf, data.data() + done, n);
                DWORD code = 99, moved = 0;
                ASSERT_EQ(S_OK, s.Execute(d, VDC_Write, buf, n, 30000, &code, &moved));
                EXPECT_EQ(ERROR_SUCCESS, code);
                EXPECT_EQ(n, moved);
                done += n;
                if (done == 65536) {
                    ASSERT_EQ(S_OK, s.Execute(d, VDC_Flush, nullptr, 0, 30000, &code, &moved));
                    EXPECT_EQ(ERROR_SUCCESS, code);
                }
            }
        });
    }
    for (auto& t : devices) t.join();
    s.CloseDevices();
}

// The restore side: reads every device until a short read, then checks the answers to a read past
// the end, ClearError and a command the movers do not serve.
std::vector<std::string> ServeRestore(ServerDeviceSet& s, int count) {
    std::vector<std::string> got(count);
    std::vector<std::thread> devices;
    for (int d = 0; d < count; ++d) {
        devices.emplace_back([&s, &got, d] {
            BYTE* buf = s.AllocateBuffer(65536);
            DWORD code = ERROR_SUCCESS, moved = 0;
            while (code == ERROR_SUCCESS) {
                ASSERT_EQ(S_OK, s.Execute(d, VDC_Read, buf, 65536, 30000, &code, &moved));
                got[d].append(reinterpret_cast<char*>(buf), moved);
                if (code != ERROR_SUCCESS) {
                    EXPECT_EQ(ERROR_HANDLE_EOF, code);
                }
            }
            ASSERT_EQ(S_OK, s.Execute(d, VDC_Read, buf, 65536, 30000, &code, &moved));
            EXPECT_EQ(ERROR_HANDLE_EOF, code);
            EXPECT_EQ(0u, moved);
            ASSERT_EQ(S_OK, s.Execute(d, VDC_ClearError, nullptr, 0, 30000, &code, &moved));
            EXPECT_EQ(ERROR_SUCCESS, code);
            ASSERT_EQ(S_OK, s.Execute(d, 77, nullptr, 0, 30000, &code, &moved));
            EXPECT_EQ(ERROR_NOT_SUPPORTED, code);
        });
    }
    for (auto& t : devices) t.join();
    s.CloseDevices();
    return got;
}

// A restore that takes exactly the bytes of its stream and closes the devices, as a server does
// that knows where its data ends: the unread tail of a compressed file must not fail the device.
std::vector<std::string> ServeExactRestore(ServerDeviceSet& s, int count, size_t total) {
    std::vector<std::string> got(count);
    std::vector<std::thread> devices;
    for (int d = 0; d < count; ++d) {
        devices.emplace_back([&s, &got, d, total] {
            BYTE* buf = s.AllocateBuffer(65536);
            while (got[d].size() < total) {
                DWORD want = static_cast<DWORD>(std::min<size_t>(65536, total - got[d].size()));
                DWORD code = 99, moved = 0;
                ASSERT_EQ(S_OK, s.Execute(d, VDC_Read, buf, want, 30000, &code, &moved));
                ASSERT_EQ(ERROR_SUCCESS, code);
                got[d].append(reinterpret_cast<char*>(buf), moved);
            }
        });
    }
    for (auto& t : devices) t.join();
    s.CloseDevices();
    return got;
}

TEST(EngineDevices, RestoreThatStopsAtTheEndOfItsData) {
    const int count = 2;
    const size_t total = 65536 * 2 + 1000;
    const struct {
        const char* compress;
        const char* pass;
    } cases[] = {{"G", ""}, {"G", "pw"}, {"A", "pw"}, {"L", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.compress) + "/" + c.pass);
        TempDir dir;
        Settings settings(c.compress, c.pass, false);
        g_streamFiles = {{1, dir / "a.bak"}, {2, dir / "b.bak"}};
        {
            ClientSet client(count);
            auto server = OpenServer(client, true);
            ASSERT_EQ(0, RunDevices(client, count, [&] { ServeBackup(*server, count, total); }));
        }
        ClientSet client(count);
        auto server = OpenServer(client, false);
        std::vector<std::string> got;
        EXPECT_EQ(0, RunDevices(client, count, [&] { got = ServeExactRestore(*server, count, total); }));
        EXPECT_FALSE(server->AbortedByClient());
        for (int d = 0; d < count; ++d) EXPECT_TRUE(got[d] == Stream(d, total)) << "device " << d;
    }
}

TEST(EngineDevices, BackupIntoMediaFilesAndRestoreFromThem) {
    struct Case {
        const char* compress;
        const char* pass;
        bool dnet;
        enum { Raw, Gzip, SameLength, Any } stored;
    } cases[] = {
        {"A", "", false, Case::Raw},   {"G", "", false, Case::Gzip}, {"B", "pw", false, Case::SameLength},
        {"G", "pw", false, Case::Any}, {"L", "", false, Case::Any},  {"G", "pw", true, Case::Raw},
    };
    const int count = 3;
    const size_t total = 65536 * 2 + 1000;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.compress) + "/" + c.pass + (c.dnet ? "/DNet" : ""));
        TempDir dir;
        Settings settings(c.compress, c.pass, c.dnet);
        g_streamFiles.clear();
        for (int k = 1; k <= count; ++k) g_streamFiles[k] = dir / ("s" + std::to_string(k) + ".bak");

        {
            ClientSet client(count);
            auto server = OpenServer(client, true);
            ASSERT_TRUE(server);
            EXPECT_EQ(0, RunDevices(client, count, [&] { ServeBackup(*server, count, total); }));
            EXPECT_FALSE(server->Aborted());
        }
        for (int d = 0; d < count; ++d) {
            const std::string stored = kestest::readFile(g_streamFiles[d + 1]);
            const std::string raw = Stream(d, total);
            switch (c.stored) {
                case Case::Raw: EXPECT_EQ(raw, stored); break;
                case Case::Gzip: EXPECT_EQ(0, stored.compare(0, 3, "\x1f\x8b\x08")); break;
                case Case::SameLength:
                    EXPECT_EQ(raw.size(), stored.size());
                    EXPECT_NE(raw, stored);
                    break;
                case Case::Any: EXPECT_NE(raw, stored); break;
            }
        }
        {
            ClientSet client(count);
            auto server = OpenServer(client, false);
            ASSERT_TRUE(server);
            std::vector<std::string> got;
            EXPECT_EQ(0, RunDevices(client, count, [&] { got = ServeRestore(*server, count); }));
            for (int d = 0; d < count; ++d) EXPECT_TRUE(got[d] == Stream(d, total)) << "device " << d;
        }
    }
}

// One device thread that must fail: it returns -1 and the server sees the client's abort.
TEST(EngineDevices, FailingMediaAbortsTheSet) {
    TempDir dir;
    const std::string good = dir / "good.bak";
    {
        Settings settings("G", "right", false);
        g_streamFiles = {{1, good}};
        ClientSet client(1);
        auto server = OpenServer(client, true);
        ASSERT_EQ(0, RunDevices(client, 1, [&] { ServeBackup(*server, 1, 100000); }));
    }
    std::string damaged = kestest::readFile(good);
    ASSERT_FALSE(damaged.empty());
    damaged[0] ^= 0x55;  // the gzip header under the cipher
    kestest::writeFile(dir / "damaged.bak", damaged);

    struct Case {
        const char* what;
        const char* compress;
        const char* pass;
        int level;
        std::string file;
        bool backup;
        bool wrongName;
        bool dnet;
    } cases[] = {
        {"a folder that does not exist", "A", "", 4, dir / "none/x.bak", true, false, false},
        {"a level the compressor refuses", "G", "", 10, dir / "lvl.bak", true, false, false},
        {"a restore file that does not exist", "A", "", 4, dir / "missing.bak", false, false, false},
        {"the wrong key", "G", "wrong", 4, good, false, false, false},
        {"a damaged gzip file", "G", "right", 4, dir / "damaged.bak", false, false, false},
        {"a device name of another set", "A", "", 4, good, false, true, false},
        {"no stream entry under DNet", "A", "", 4, "", false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Settings settings(c.compress, c.pass, c.dnet, c.level);
        g_streamFiles.clear();
        if (!c.file.empty()) g_streamFiles[1] = c.file;
        ClientSet client(1);
        auto server = OpenServer(client, c.backup);
        ASSERT_TRUE(server);
        DeviceThreadParam p{client.set, 0, {"Sales", "", "", 1}, {}};
        wcscpy(p.setName, c.wrongName ? L"{00000000-0000-0000-0000-000000000000}" : client.wideName.c_str());
        unsigned result = 0;
        std::thread device([&] { result = DeviceThreadProc(&p); });
        BYTE* buf = server->AllocateBuffer(65536);
        memset(buf, 'b', 65536);
        HRESULT hr = S_OK;
        for (int k = 0; k < 10 && hr == S_OK; ++k) {
            DWORD code = 0, moved = 0;
            hr = server->Execute(0, c.backup ? VDC_Write : VDC_Read, buf, 65536, 30000, &code, &moved);
        }
        device.join();
        EXPECT_EQ(VD_E_ABORT, hr);
        EXPECT_EQ(static_cast<unsigned>(-1), result);
        EXPECT_TRUE(server->AbortedByClient());
    }
}

// A stream whose media cannot take its last bytes fails, in every media kind: when a flush
// brings the failure out, the flush completes with the error; when only the close does (the
// server has finished with the device), the device thread still ends with -1.
TEST(EngineDevices, FullDiskAtTheEndFailsTheStream) {
    const struct {
        const char* compress;
        const char* pass;
        bool dnet;
    } kinds[] = {{"A", "", false},   {"L", "", false},   {"G", "", false},
                 {"A", "pw", false}, {"G", "pw", false}, {"G", "pw", true}};
    for (const auto& k : kinds) {
        for (bool flush : {true, false}) {
            SCOPED_TRACE(std::string(k.compress) + "/" + k.pass + (k.dnet ? "/DNet" : "") +
                         (flush ? "/flush" : "/close"));
            Settings settings(k.compress, k.pass, k.dnet);
            g_streamFiles = {{1, "/dev/full"}};
            ClientSet client(1);
            auto server = OpenServer(client, true);
            ASSERT_TRUE(server);
            DeviceThreadParam p{client.set, 0, {"Sales", "", "", 1}, {}};
            wcscpy(p.setName, client.wideName.c_str());
            unsigned result = 0;
            std::thread device([&] { result = DeviceThreadProc(&p); });
            BYTE* buf = server->AllocateBuffer(65536);
            memset(buf, 'b', 100);
            DWORD code = 99, moved = 0;
            ASSERT_EQ(S_OK, server->Execute(0, VDC_Write, buf, 100, 30000, &code, &moved));
            EXPECT_EQ(ERROR_SUCCESS, code);  // it still fits a buffer
            if (flush) {
                ASSERT_EQ(S_OK, server->Execute(0, VDC_Flush, nullptr, 0, 30000, &code, &moved));
                EXPECT_EQ(ERROR_DISK_FULL, code);
            }
            server->CloseDevices();
            device.join();
            EXPECT_EQ(static_cast<unsigned>(-1), result);
        }
    }
}

TEST(EngineDevices, MoverChoice) {
    struct {
        bool dnet, backup;
        int listenPort;
        const char* entry;
        MoverKind want;
    } cases[] = {
        {true, false, 9000, "tcp://h:1", MoverKind::PlainFile},
        {true, true, 0, "", MoverKind::PlainFile},
        {false, false, 9000, "/bk/a.bak", MoverKind::ReceiveFromPeer},
        {false, true, 9000, "/bk/a.bak", MoverKind::FileMedia},
        {false, false, 0, "/bk/a.bak", MoverKind::FileMedia},
        {false, true, 0, "TCP://h:1", MoverKind::SendToService},
        {false, true, 0, "tcp://h:1", MoverKind::SendToService},
        {false, true, 0, "", MoverKind::SendToService},
        {false, false, 0, "tcp://h:1", MoverKind::ReceiveFromPeer},
        {false, false, 0, "", MoverKind::ReceiveFromPeer},
        {false, true, 0, "tcp:/x", MoverKind::FileMedia},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.want, ChooseMover(c.dnet, c.backup, c.listenPort, c.entry)) << c.entry << " " << c.backup;
}

// A media that does what a case tells it: the counts it gives, whether a flush works, and whether
// the call breaks it.
struct ScriptedMedia : MoverMedia {
    int64_t count = 0;
    bool flushes = true;
    bool breaks = false;
    bool broken = false;
    int64_t Read(BYTE*, DWORD) override { return Call(); }
    int64_t Write(const BYTE*, DWORD) override { return Call(); }
    bool Flush() override {
        Call();
        return flushes;
    }
    bool Broken() const override { return broken; }
    int64_t Call() {
        broken = broken || breaks;
        return count;
    }
};

// The one loop of every mover: how each command is completed from what the media did, and
// which outcomes end the loop, with the result it ends with.
TEST(EngineDevices, CommandLoopCompletesEachCommandByItsMedia) {
    const DWORD kNone = 0xFFFFFFFF;  // no command sent: the wait runs out
    const struct Case {
        const char* what;
        DWORD command;
        int64_t count;
        bool flushes, breaks;
        DWORD code, moved;  // the completion the server sees
        HRESULT end;        // S_OK: the loop ended after this command
    } cases[] = {
        {"whole read", VDC_Read, 100, true, false, ERROR_SUCCESS, 100, VD_E_CLOSE},
        {"short read", VDC_Read, 40, true, false, ERROR_HANDLE_EOF, 40, VD_E_CLOSE},
        {"failed read", VDC_Read, -1, true, false, ERROR_HANDLE_EOF, 0, VD_E_CLOSE},
        {"read of a broken media", VDC_Read, 0, true, true, ERROR_CRC, 0, S_OK},
        {"whole write", VDC_Write, 100, true, false, ERROR_SUCCESS, 100, VD_E_CLOSE},
        {"short write", VDC_Write, 60, true, false, ERROR_DISK_FULL, 60, VD_E_CLOSE},
        {"write that breaks the media", VDC_Write, 60, true, true, ERROR_DISK_FULL, 60, S_OK},
        {"whole write of a broken media", VDC_Write, 100, true, true, ERROR_DISK_FULL, 100, S_OK},
        {"flush", VDC_Flush, 0, true, false, ERROR_SUCCESS, 0, VD_E_CLOSE},
        {"failed flush", VDC_Flush, 0, false, false, ERROR_DISK_FULL, 0, VD_E_CLOSE},
        {"flush that breaks the media", VDC_Flush, 0, false, true, ERROR_DISK_FULL, 0, S_OK},
        {"clear error", VDC_ClearError, 0, true, false, ERROR_SUCCESS, 0, VD_E_CLOSE},
        {"a command no mover serves", 77, 0, true, false, ERROR_NOT_SUPPORTED, 0, VD_E_CLOSE},
        {"more bytes than the buffer holds", VDC_Read, 200, true, false, kNone, 0, VD_E_INVALID},
        {"no command within the wait", kNone, 0, true, false, kNone, 0, VD_E_TIMEOUT},
    };
    Log::SetLogLevel(Log::LOG_ERROR);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClientSet client(1);
        auto server = OpenServer(client, c.command == VDC_Write);
        ASSERT_TRUE(server);
        VDConfig cfg{};
        ASSERT_EQ(S_OK, client.set->GetConfiguration(5000, &cfg));
        IClientVirtualDevice* device = client.open(0);
        ScriptedMedia media;
        media.count = c.count;
        media.flushes = c.flushes;
        media.breaks = c.breaks;
        HRESULT end = S_FALSE;
        testing::internal::CaptureStdout();
        std::thread loop([&] {
            end = ServeCommands(device, media, CommandRules{c.command == kNone ? 200u : 30000u, "0x"});
        });
        if (c.command != kNone) {
            BYTE* buf = server->AllocateBuffer(100);
            DWORD code = 99, moved = 99;
            // A command whose completion fails is never answered.
            const HRESULT hr = server->Execute(0, c.command, buf, 100, c.code == kNone ? 500 : 30000, &code, &moved);
            if (c.code != kNone) {
                EXPECT_EQ(S_OK, hr);
                EXPECT_EQ(c.code, code);
                EXPECT_EQ(c.moved, moved);
            }
        }
        if (c.end == VD_E_CLOSE) server->CloseDevices();
        loop.join();
        const std::string console = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.end, end);
        const bool completionFailed = c.end == VD_E_INVALID;
        EXPECT_EQ(completionFailed, console.find("Completion Failed: 0x80770006") != std::string::npos) << console;
    }
    Log::SetLogLevel(Log::LOG_FATAL);
}

// A statement that fails ends the process with -1 once every device thread has ended.
void FailedStatementRun() {
    Settings settings("A", "", false);
    g_streamFiles = {{1, "/dev/null"}};  // the device is closed before a byte moves
    ClientSet client(1);
    auto server = OpenServer(client, true);
    server->CloseDevices();
    HANDLE statement = CreateThread(nullptr, 0, ReturnsCode, reinterpret_cast<void*>(uintptr_t(-1)), 0, nullptr);
    StreamInfo info{"Sales", "", "", 0};
    startSecondary(client.set, statement, 1, &info, client.wideName.c_str());
    exit(0);
}

// The statement completes at once; the server writes 100 bytes to stream 1 and closes the
// devices. How the run ends is up to the streams' media.
void CompletedStatementRun(const char* compress, const std::map<int, std::string>& files) {
    Settings settings(compress, "", false);
    g_streamFiles = files;
    const int count = static_cast<int>(files.size());
    ClientSet client(count);
    auto server = OpenServer(client, true);
    HANDLE statement = CreateThread(nullptr, 0, ReturnsCode, nullptr, 0, nullptr);
    StreamInfo info{"Sales", "", "", 0};
    std::thread run([&] { startSecondary(client.set, statement, count, &info, client.wideName.c_str()); });
    BYTE* buf = server->AllocateBuffer(65536);
    DWORD code = 0, moved = 0;
    server->Execute(0, VDC_Write, buf, 100, 30000, &code, &moved);
    server->CloseDevices();
    run.join();
    exit(0);
}

// A stream that fails while the statement completes (its close could not put the last bytes on
// the disk) ends the process with -1 as well.
void FailedStreamRun() { CompletedStatementRun("G", {{1, "/dev/full"}}); }

// A device thread that never ends (its media is a pipe no one reads: the open never returns)
// holds the run only for the bound once the statement has ended; then the process ends with -1,
// naming the stream. Stream 1 is served to its end and is not named.
void HangingDeviceRun(const std::string& fifo) {
    dup2(2, 1);  // the log's console lines, where the death test reads
    Log::SetLogLevel(Log::LOG_ERROR);
    g_deviceEndWaitMs = 300;
    CompletedStatementRun("A", {{1, "/dev/null"}, {2, fifo}});
}

TEST(EngineDevicesDeathTest, FailedStatementEndsTheProcess) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_EXIT(FailedStatementRun(), ::testing::ExitedWithCode(255), "");
    EXPECT_EXIT(FailedStreamRun(), ::testing::ExitedWithCode(255), "");
    TempDir dir;
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EXIT(HangingDeviceRun(fifo), ::testing::ExitedWithCode(255),
                "The data transfer of stream 2 did not end within 300 ms after the statement ended\\.");
}

}  // namespace
