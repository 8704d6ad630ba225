// The network movers and the connection thread in one process: client device sets served through
// the server side of the device sets, and loopback connections driven by the test.
#include "config/Config.h"
#include "engine/job.h"
#include "engine/netmovers.h"
#include "engine/service/connections.h"
#include "engine/service/request.h"
#include "engine/service/service.h"
#include "platform/vdi/VdiServer.h"
#include "platform/winsock/winsock.h"
#include "sql/Sql.h"
#include "support/Log.h"
#include "tests/support/ClientSet.h"
#include "tests/support/Files.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using kes::vdi::ServerDeviceSet;

namespace {

const char kList[] = ", MOVE ''Sales'' TO ''%DATA%Sales.mdf''";

// A one-device client set, its device opened once the server side has configured it.
struct Device {
    kestest::ClientSet client{1};
    std::unique_ptr<ServerDeviceSet> server;
    IClientVirtualDevice* device = nullptr;
    explicit Device(bool backup) {
        EXPECT_EQ(S_OK, ServerDeviceSet::Open("", client.name, 5000, &server));
        EXPECT_EQ(S_OK, server->Configure(backup, 512, 65536, 4));
        VDConfig cfg{};
        EXPECT_EQ(S_OK, client.set->GetConfiguration(5000, &cfg));
        device = client.open(0);
    }
    // One command from the server side: its completion code and byte count.
    std::pair<DWORD, DWORD> Run(DWORD code, BYTE* buf, DWORD size) {
        DWORD completion = 0, bytes = 0;
        EXPECT_EQ(S_OK, server->Execute(0, code, buf, size, 60000, &completion, &bytes));
        return {completion, bytes};
    }
};

// A loopback listener on a port of its own.
struct Listener {
    int fd = kestest::bindTcp(0, true);
    int port = kestest::localPort(fd);
    Listener() { EXPECT_GE(fd, 0); }
    ~Listener() { close(fd); }
    int Accept() { return accept(fd, nullptr, nullptr); }
    int Connect() const {
        const int s = kestest::connectLoopback(static_cast<uint16_t>(port));
        EXPECT_GE(s, 0);
        return s;
    }
};

// The job and settings a backup-side mover reads, restored afterwards.
struct BackupJob {
    Config saved = g_config;
    explicit BackupJob(int port) {
        WSADATA w;
        WSAStartup(MAKEWORD(2, 2), &w);
        g_job.host = "127.0.0.1";
        g_job.port = port;
        g_job.database = "Sales";
        g_job.isDatabase = true;
        g_moveClauses = kList;
        g_config.LocalVersion = 1500;
        g_config.LocalFolder[0] = 0;
    }
    ~BackupJob() {
        g_config = saved;
        g_job.host.clear();
        g_job.database.clear();
        g_moveClauses.clear();
        WSACleanup();
    }
};

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    uint32_t x = 2463534242u;
    for (char& c : s) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

std::string Receive(int fd, size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, &out[got], n - got, 0);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
}

TEST(Movers, StreamCrossesFromBackupDeviceToRestoreDevice) {
    Listener service;
    BackupJob job(service.port);
    const std::string data = Pattern(1500000);
    Device backup(true), restore(false);

    Log::SetLogLevel(Log::LOG_DEBUG);
    testing::internal::CaptureStdout();
    int sent = -1;
    std::thread sender([&] { sent = SendStreamToService(backup.device, 3, 2); });
    // The service's part: read the request, record the connection, answer.
    const int accepted = service.Accept();
    const std::string request = Receive(accepted, kRequestBlockSize);
    const std::string text = std::string(kList) + "|Sales#DATABASE#3#2:1500";
    ASSERT_EQ(request.size(), kRequestBlockSize);
    EXPECT_EQ(request, text + std::string(kRequestBlockSize - text.size(), '\0'));
    const std::string key = "127.0.0.1#Sales#DATABASE#3#2";
    uint64_t id = 0;
    ASSERT_EQ(RegisterConnection(key, SocketThreadParam{static_cast<SOCKET>(accepted), {}}, &id), Registered::Yes);
    send(accepted, request.data(), request.size(), 0);
    std::thread receiver([&] { ReceiveStreamFromPeer("Sales", "DATABASE", restore.device, "127.0.0.1", 3, 2); });

    // The backup's server writes the stream, then a flush and a command the movers do not serve.
    std::thread writer([&] {
        BYTE* out = backup.server->AllocateBuffer(65536);
        for (size_t done = 0; done < data.size();) {
            const DWORD n = static_cast<DWORD>(std::min<size_t>(65536, data.size() - done));
            memcpy(out, data.data() + done, n);
            EXPECT_EQ(backup.Run(VDC_Write, out, n), std::make_pair(DWORD(ERROR_SUCCESS), n));
            done += n;
        }
        EXPECT_EQ(backup.Run(VDC_Flush, out, 0).first, ERROR_SUCCESS);
        EXPECT_EQ(backup.Run(99, out, 0).first, ERROR_NOT_SUPPORTED);
        backup.server->CloseDevices();
    });

    // The restore's server reads until a read comes back short: the stream, without the closing block.
    BYTE* in = restore.server->AllocateBuffer(65536);
    std::string got;
    for (;;) {
        auto r = restore.Run(VDC_Read, in, 65536);
        got.append(reinterpret_cast<char*>(in), r.second);
        if (r.first != ERROR_SUCCESS) {
            EXPECT_EQ(r.first, ERROR_HANDLE_EOF);
            break;
        }
    }
    restore.server->CloseDevices();
    writer.join();
    sender.join();
    receiver.join();
    const std::string console = testing::internal::GetCapturedStdout();
    Log::SetLogLevel(Log::LOG_INFO);

    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    EXPECT_EQ(TakeConnection(key, 0), INVALID_SOCKET);  // the entry went with its socket
    EXPECT_EQ(sent, 0);
    EXPECT_NE(console.find("Backup Steam sent 1464KB."), std::string::npos) << console;
    EXPECT_EQ(console.find("Unexpected"), std::string::npos) << console;
}

TEST(Movers, StreamWithoutItsConnectionFailsWithoutTouchingAnother) {
    const uint32_t savedWait = g_connectionWaitMs;
    g_connectionWaitMs = 300;
    int other[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, other));
    const std::string otherKey = "10.0.0.9#Sales#LOG#2#1";
    uint64_t id = 0;
    ASSERT_EQ(RegisterConnection(otherKey, SocketThreadParam{static_cast<SOCKET>(other[0]), {}}, &id), Registered::Yes);
    send(other[1], "untouched", 9, 0);

    Device restore(false);
    std::thread receiver([&] { ReceiveStreamFromPeer("Sales", "LOG", restore.device, "10.0.0.9", 2, 2); });
    BYTE* in = restore.server->AllocateBuffer(4096);
    EXPECT_EQ(restore.Run(VDC_Read, in, 4096), std::make_pair(DWORD(ERROR_HANDLE_EOF), DWORD(0)));
    restore.server->CloseDevices();
    receiver.join();

    EXPECT_EQ(TakeConnection(otherKey, 0), static_cast<SOCKET>(other[0]));  // still waiting for its own restore
    char buf[16] = {};
    EXPECT_EQ(recv(other[0], buf, sizeof buf, MSG_DONTWAIT), 9);  // nobody read the other stream
    RemoveConnection(otherKey, static_cast<SOCKET>(other[0]));
    close(other[0]);
    close(other[1]);
    g_connectionWaitMs = savedWait;
}

TEST(Movers, StreamThatFallsSilentFailsWithinTheIdleBound) {
    const uint32_t savedIdle = g_streamIdleMs;
    g_streamIdleMs = 400;
    const std::string data = Pattern(5000);
    for (size_t sent : {size_t(0), data.size()}) {  // silent from the start, or stalled midway
        int pair[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
        const std::string key = "10.0.0.7#Sales#DATABASE#1#1";
        uint64_t id = 0;
        ASSERT_EQ(RegisterConnection(key, SocketThreadParam{static_cast<SOCKET>(pair[0]), {}}, &id), Registered::Yes);
        send(pair[1], data.data(), sent, 0);

        Device restore(false);
        Log::SetLogLevel(Log::LOG_DEBUG);
        testing::internal::CaptureStdout();
        std::thread receiver([&] { ReceiveStreamFromPeer("Sales", "DATABASE", restore.device, "10.0.0.7", 1, 1); });
        BYTE* in = restore.server->AllocateBuffer(65536);
        const DWORD start = GetTickCount();
        EXPECT_EQ(restore.Run(VDC_Read, in, 65536), std::make_pair(DWORD(ERROR_HANDLE_EOF), DWORD(sent))) << sent;
        EXPECT_GE(GetTickCount() - start, 400u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(in), sent), data.substr(0, sent));
        // The stream stays broken: a later read fails at once.
        EXPECT_EQ(restore.Run(VDC_Read, in, 65536), std::make_pair(DWORD(ERROR_HANDLE_EOF), DWORD(0)));
        restore.server->CloseDevices();
        receiver.join();  // without waiting for a closing block the peer never sends
        EXPECT_LT(GetTickCount() - start, 3000u);
        const std::string console = testing::internal::GetCapturedStdout();
        Log::SetLogLevel(Log::LOG_INFO);

        EXPECT_NE(console.find("No byte of stream 1 came for 400 ms; the stream fails."), std::string::npos) << console;
        char buf[1];
        EXPECT_EQ(recv(pair[1], buf, 1, 0), 0);  // the service closed its end
        EXPECT_EQ(RegisterConnection(key, SocketThreadParam{INVALID_SOCKET, {}}, &id),
                  Registered::Yes);  // and removed it
        RemoveConnection(key, INVALID_SOCKET);
        close(pair[1]);
    }
    g_streamIdleMs = savedIdle;
}

TEST(Movers, WritesToAServiceThatClosedOrFellSilentCompleteWith112) {
    // The service takes the request, then closes at once or neither answers nor reads: in both the
    // writes complete with 112 (for a silent one once the connection is full and the idle bound has
    // passed), and the mover ends.
    const uint32_t idle = g_streamIdleMs;
    g_streamIdleMs = 400;
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent service" : "service that closed");
        Listener service;
        BackupJob job(service.port);
        Device backup(true);
        std::thread sender([&] { SendStreamToService(backup.device, 1, 1); });
        const int accepted = service.Accept();
        Receive(accepted, kRequestBlockSize);
        if (!silent) close(accepted);  // refused: no answer

        BYTE* out = backup.server->AllocateBuffer(65536);
        memset(out, 7, 65536);
        std::pair<DWORD, DWORD> r{0, 0};
        for (int i = 0; i < 2000 && r.first == ERROR_SUCCESS; ++i) r = backup.Run(VDC_Write, out, 65536);
        EXPECT_EQ(r.first, ERROR_DISK_FULL);
        EXPECT_LT(r.second, 65536u);
        backup.server->CloseDevices();
        sender.join();
        if (silent) close(accepted);
    }
    g_streamIdleMs = idle;
}

// The settings a connection thread reads, restored afterwards. No such driver: the move list's
// resolution and any restore's statement fail at once, and a stream goes on without them.
struct ServiceSettings {
    const std::string peers = g_allowedPeers;
    const int32_t version = g_config.LocalVersion;
    const uint32_t idle = g_streamIdleMs;
    const uint32_t wait = g_connectionWaitMs;
    char driver[sizeof g_odbcDriver];
    ServiceSettings() {
        WSADATA w;
        WSAStartup(MAKEWORD(2, 2), &w);
        memcpy(driver, g_odbcDriver, sizeof driver);
        strcpy(g_odbcDriver, "Kestrune Test No Driver");
        g_allowedPeers = ",,";
        g_config.LocalVersion = 1500;
        g_streamIdleMs = 400;
        Log::SetLogLevel(Log::LOG_INFO);
    }
    ~ServiceSettings() {
        g_allowedPeers = peers;
        g_config.LocalVersion = version;
        g_streamIdleMs = idle;
        g_connectionWaitMs = wait;
        memcpy(g_odbcDriver, driver, sizeof driver);
        WSACleanup();
    }
};

std::string Block(const std::string& text) { return text + std::string(kRequestBlockSize - text.size(), '\0'); }

bool TableHolds(const std::string& key) {
    std::lock_guard<std::mutex> hold(g_connectionsLock);
    return g_connections.count(key) != 0;
}

// How a backup-side mover fared against a service played by the test: its result, the first
// command that failed (-1: none) and that command's completion code.
struct SendOutcome {
    int result = -2;
    int failedCommand = -1;
    DWORD code = ERROR_SUCCESS;
    std::string console;
    int port = 0;
};

// The service's part on the accepted connection: `req` is the request block it read; it calls
// `ready()` once the backup's server may flush, may wait with `done()` until the mover has
// returned, and closes the connection itself.
using PlayedService =
    std::function<void(int fd, std::string req, std::function<void()> ready, std::function<void()> done)>;

// One stream of `writes` 64 KiB writes, then a flush, through SendStreamToService; the writes stop
// at the first that fails.
SendOutcome SendAgainst(int writes, const PlayedService& service) {
    Listener listener;
    BackupJob job(listener.port);
    Device backup(true);
    SendOutcome o;
    o.port = listener.port;
    Log::SetLogLevel(Log::LOG_INFO);
    testing::internal::CaptureStdout();
    std::thread sender([&] { o.result = SendStreamToService(backup.device, 1, 1); });
    const int accepted = listener.Accept();
    std::mutex m;
    std::condition_variable cv;
    bool flushMayCome = false, senderDone = false;
    auto waitFor = [&](bool& flag) {
        std::unique_lock<std::mutex> hold(m);
        cv.wait_for(hold, std::chrono::seconds(20), [&] { return flag; });
    };
    auto raise = [&](bool& flag) {
        std::lock_guard<std::mutex> hold(m);
        flag = true;
        cv.notify_all();
    };
    std::thread played([&] {
        service(
            accepted, Receive(accepted, kRequestBlockSize), [&] { raise(flushMayCome); }, [&] { waitFor(senderDone); });
    });
    BYTE* out = backup.server->AllocateBuffer(65536);
    memset(out, 7, 65536);
    for (int i = 0; i <= writes && o.failedCommand < 0; ++i) {
        if (i == writes) waitFor(flushMayCome);
        const auto r = backup.Run(i < writes ? VDC_Write : VDC_Flush, out, i < writes ? 65536 : 0);
        if (r.first != ERROR_SUCCESS) {
            o.failedCommand = i;
            o.code = r.first;
        }
    }
    backup.server->CloseDevices();
    sender.join();
    raise(senderDone);
    played.join();
    o.console = testing::internal::GetCapturedStdout();
    return o;
}

void Answer(int fd, const std::string& req) { send(fd, req.data(), req.size(), 0); }

// Closes with a reset instead of a close.
void ResetClose(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

TEST(Movers, BackupStreamSucceedsOnlyWhenTheServiceTookIt) {
    // The service's answer, and whether it closed or reset the connection before it took the
    // closing block, decide; a stream small enough for the socket buffers is judged like any other.
    const uint32_t idle = g_streamIdleMs;
    g_streamIdleMs = 400;
    const int writes = 3;
    const size_t stream = writes * 65536;
    const int kNone = -1, kFirstWrite = 0, kFlush = writes, kSomeWrite = 1000;
    struct Case {
        const char* what;
        PlayedService service;
        int failed;        // the first command that fails
        const char* line;  // the backup side's reason after "The restore service at <address>"; null: success
        int writes;
    };
    const Case cases[] = {
        {"takes the stream and stays connected",
         [&](int fd, std::string req, std::function<void()> ready, std::function<void()> done) {
             Answer(fd, req);
             ready();
             EXPECT_EQ(Receive(fd, stream + kRequestBlockSize), std::string(stream, '\7') + req);
             done();
             close(fd);
         },
         kNone, nullptr, writes},
        {"takes the stream and closes after the closing block",
         [&](int fd, std::string req, std::function<void()> ready, std::function<void()>) {
             Answer(fd, req);
             ready();
             EXPECT_EQ(Receive(fd, stream + kRequestBlockSize).size(), stream + kRequestBlockSize);
             close(fd);
         },
         kNone, nullptr, writes},
        {"answers with another block",
         [&](int fd, std::string req, std::function<void()> ready, std::function<void()> done) {
             req[req.size() - 1] = 'x';
             Answer(fd, req);
             ready();
             done();
             close(fd);
         },
         kFirstWrite, " answered stream 1 with another block than its request.", writes},
        {"refuses: closes right after its answer",
         [&](int fd, std::string req, std::function<void()> ready, std::function<void()>) {
             Answer(fd, req);
             close(fd);
             ready();
         },
         kFirstWrite, " closed stream 1 after its answer: it refused the stream (see the service's log).", writes},
        {"closes once the stream is in, before the flush",
         [&](int fd, std::string req, std::function<void()> ready, std::function<void()>) {
             Answer(fd, req);
             EXPECT_EQ(Receive(fd, stream).size(), stream);
             close(fd);
             ready();
         },
         kFlush, " closed stream 1 after its answer: it refused the stream (see the service's log).", writes},
        {"resets after its answer",
         [&](int fd, std::string req, std::function<void()> ready, std::function<void()>) {
             Answer(fd, req);
             ResetClose(fd);
             ready();
         },
         kFirstWrite, " reset stream 1.", writes},
        {"resets with the closing block unread, after the server's statement",
         [&](int fd, std::string req, std::function<void()> ready, std::function<void()>) {
             Answer(fd, req);
             ready();
             EXPECT_EQ(Receive(fd, stream + 1).size(), stream + 1);
             ResetClose(fd);
         },
         kNone, " reset stream 1.", writes},
        {"answers, then reads nothing",
         [&](int fd, std::string req, std::function<void()> ready, std::function<void()> done) {
             Answer(fd, req);
             ready();
             done();
             close(fd);
         },
         kSomeWrite, " read nothing of stream 1 for 400 ms.", 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SendOutcome o = SendAgainst(c.writes, c.service);
        EXPECT_EQ(o.result, c.line ? -1 : 0);
        if (c.failed == kSomeWrite) {
            EXPECT_GE(o.failedCommand, 0);
            EXPECT_LT(o.failedCommand, c.writes);
        } else {
            EXPECT_EQ(o.failedCommand, c.failed);
        }
        if (o.failedCommand >= 0) {
            EXPECT_EQ(o.code, static_cast<DWORD>(ERROR_DISK_FULL));
        }
        const std::string named = "The restore service at 127.0.0.1:" + std::to_string(o.port);
        if (c.line) {
            // Said once, with the address.
            const size_t at = o.console.find(named + c.line);
            EXPECT_NE(at, std::string::npos) << o.console;
            EXPECT_EQ(at, o.console.rfind("The restore service at ")) << o.console;
        } else {
            EXPECT_EQ(o.console.find("The restore service at "), std::string::npos) << o.console;
        }
    }
    g_streamIdleMs = idle;
}

// The service side of one stream, 1 of 2 from 10.0.0.5, fed by the test over a socket pair.
struct ReceivedStream {
    std::string given;  // what the restore's server was given, read by read
    std::vector<DWORD> codes;
    std::string copy;  // the local copy
    std::string console;
};

// `pieces` are sent one after the other with a pause between them; the peer then closes, or
// stays connected until the mover has ended. The server reads `readSize` at a time until a read
// comes back short.
ReceivedStream ReceiveFrom(const std::vector<std::string>& pieces, bool peerCloses, DWORD readSize) {
    const kestest::TempDir folder("kes-copy");
    const Config saved = g_config;
    strcpy(g_config.LocalFolder, folder.path().c_str());
    int pair[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    const std::string key = "10.0.0.5#Sales#DATABASE#2#1";
    uint64_t id = 0;
    EXPECT_EQ(RegisterConnection(key, SocketThreadParam{static_cast<SOCKET>(pair[0]), {}}, &id), Registered::Yes);
    std::thread peer([&] {
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i) std::this_thread::sleep_for(std::chrono::milliseconds(300));
            send(pair[1], pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL);
        }
        if (peerCloses) shutdown(pair[1], SHUT_WR);
    });

    ReceivedStream r;
    Device restore(false);
    Log::SetLogLevel(Log::LOG_INFO);
    testing::internal::CaptureStdout();
    std::thread receiver([&] { ReceiveStreamFromPeer("Sales", "DATABASE", restore.device, "10.0.0.5", 2, 1); });
    BYTE* in = restore.server->AllocateBuffer(readSize);
    for (;;) {
        const auto got = restore.Run(VDC_Read, in, readSize);
        r.given.append(reinterpret_cast<char*>(in), got.second);
        r.codes.push_back(got.first);
        if (got.first != ERROR_SUCCESS || r.codes.size() > 1000) break;
    }
    restore.server->CloseDevices();
    receiver.join();
    peer.join();
    r.console = testing::internal::GetCapturedStdout();
    close(pair[1]);
    g_config = saved;

    for (const auto& e : std::filesystem::directory_iterator(folder.path())) r.copy = kestest::readFile(e.path());
    return r;
}

TEST(Movers, ServiceStreamEndsAtItsClosingBlock) {
    // The closing block is held back from the server and the copy wherever the reads and the
    // receives cut it; without one, the peer's close ends the stream with every byte it sent.
    const uint32_t idle = g_streamIdleMs;
    g_streamIdleMs = 20000;
    const std::string closing = Block(std::string(kList) + "|Sales#DATABASE#2#1:1500");
    const std::string otherStream = Block(std::string(kList) + "|Sales#DATABASE#2#2:1500");
    struct Case {
        const char* what;
        std::string data;
        bool closingBlock;
        std::vector<size_t> cuts;  // where the peer pauses, counted in the stream and its closing block
        bool peerCloses;
        DWORD readSize;
        std::string after;  // sent a while after the closing block
    };
    const Case cases[] = {
        {"within one read", Pattern(100000), true, {}, false, 65536, ""},
        {"split over two reads and two sends", Pattern(65536 - 3000), true, {65536}, false, 65536, ""},
        {"stream shorter than a block", Pattern(5000), true, {}, false, 65536, ""},
        {"stream that fills its reads", Pattern(131072), true, {131072}, false, 65536, ""},
        {"reads shorter than a block", Pattern(20000), true, {10000, 24000}, false, 4096, ""},
        {"another stream's block is data", Pattern(30000) + otherStream, true, {}, false, 65536, ""},
        {"then closes", Pattern(70000), true, {}, true, 65536, ""},
        {"bytes after the closing block", Pattern(70000), true, {}, false, 65536, "after the end"},
        {"closed without a closing block", Pattern(70000), false, {}, true, 65536, ""},
        {"short stream closed without a closing block", Pattern(5000), false, {}, true, 65536, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string wire = c.data + (c.closingBlock ? closing : std::string());
        std::vector<std::string> pieces;
        size_t from = 0;
        for (size_t cut : c.cuts) {
            pieces.push_back(wire.substr(from, cut - from));
            from = cut;
        }
        pieces.push_back(wire.substr(from));
        if (!c.after.empty()) pieces.push_back(c.after);
        const DWORD start = GetTickCount();
        const ReceivedStream r = ReceiveFrom(pieces, c.peerCloses, c.readSize);
        EXPECT_TRUE(r.given == c.data) << r.given.size() << " bytes of " << c.data.size();
        EXPECT_TRUE(r.copy == c.data) << r.copy.size() << " bytes of " << c.data.size();
        ASSERT_FALSE(r.codes.empty());
        EXPECT_EQ(r.codes.back(), static_cast<DWORD>(ERROR_HANDLE_EOF));  // like the end of a file
        // Neither the reads nor the end waited for bytes the peer never sends.
        EXPECT_EQ(r.console.find("No byte of stream"), std::string::npos) << r.console;
        EXPECT_LT(GetTickCount() - start, g_streamIdleMs);
    }
    g_streamIdleMs = idle;
}

TEST(Connection, ShortRequestOfALaterStreamIsRecordedAndAnsweredUntilTakenOrGone) {
    ServiceSettings settings;
    g_allowedPeers = ",127.0.0.1,";
    for (bool peerGoes : {false, true}) {
        Listener service;
        const int peer = service.Connect();
        SocketThreadParam param{static_cast<SOCKET>(service.Accept()), {}};

        // Fewer than 8192 bytes, then nothing: the rest of the block stays zero once the wait ends.
        const std::string text = std::string(kList) + "|T#LOG#2#2:1500";
        send(peer, text.data(), text.size(), 0);
        testing::internal::CaptureStdout();
        std::thread connection([&] { EXPECT_EQ(HandleRestoreConnection(&param), 0u); });
        EXPECT_EQ(Receive(peer, kRequestBlockSize), Block(text));
        const std::string key = "127.0.0.1#T#LOG#2#2";
        if (peerGoes) {
            close(peer);  // the backup side has gone: nothing is left to restore from this stream
        } else {
            EXPECT_EQ(TakeConnection(key, 5000), param.socket);  // stream 2's device thread takes it
        }
        connection.join();
        const std::string console = testing::internal::GetCapturedStdout();

        EXPECT_NE(console.find("Failed to receive data, sock error code = 0"), std::string::npos) << console;
        EXPECT_EQ(TableHolds(key), !peerGoes);
        if (peerGoes) {
            EXPECT_NE(console.find("Connection[127.0.0.1#T#LOG#2#2] was closed by its peer before a restore took it."),
                      std::string::npos)
                << console;
        } else {
            RemoveConnection(key, param.socket);
            close(static_cast<int>(param.socket));
            close(peer);
        }
    }
}

TEST(Connection, StreamOneOfARestoreThatCannotStartIsClosed) {
    ServiceSettings settings;
    Listener service;
    const int peer = service.Connect();
    SocketThreadParam param{static_cast<SOCKET>(service.Accept()), {}};
    const std::string block = Block(std::string(kList) + "|T#LOG#1#1:1500");
    send(peer, block.data(), block.size(), 0);
    // The statement fails, so the server never opens the set: the restore gives up after its wait
    // for the configuration, and nothing takes the stream.
    testing::internal::CaptureStdout();
    EXPECT_EQ(HandleRestoreConnection(&param), 0u);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("VDS::Getconfig fails"), std::string::npos) << console;
    EXPECT_EQ(Receive(peer, 2 * kRequestBlockSize).size(), kRequestBlockSize);  // the answer, then the close
    EXPECT_FALSE(TableHolds("127.0.0.1#T#LOG#1#1"));
    close(peer);
}

TEST(Connection, RefusedPeersAndRequestsLeaveNoEntry) {
    ServiceSettings settings;
    struct Case {
        const char* peers;
        std::string text;  // empty: the peer sends nothing at all
        size_t answer;     // bytes the peer gets back before the close
    };
    const Case cases[] = {
        {",127.0.0.10,", "|T#LOG#1#1:1500", 0},        // only begins with the allowed address
        {",,", "|T#LOG#33#1:1500", 0},                 // invalid
        {",,", "|T#LOG#1#1:1600", kRequestBlockSize},  // newer server: the block comes back, then the close
        {",,", "|T#LOG#1#1:1500", 0},                  // no file list, and no database T to restore over
        {",,", ", MOVE ''T'' TO ''%DATA%../T.mdf''|T#LOG#1#1:1500", 0},  // a file outside the data folder
        {",,", "", 0},                                                   // silent: the request's wait ends
    };
    for (const Case& c : cases) {
        g_allowedPeers = c.peers;
        Listener service;
        const int peer = service.Connect();
        SocketThreadParam param{static_cast<SOCKET>(service.Accept()), {}};
        if (!c.text.empty()) send(peer, Block(c.text).data(), kRequestBlockSize, 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(HandleRestoreConnection(&param), 0u);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(Receive(peer, 2 * kRequestBlockSize).size(), c.answer) << c.text;
        std::lock_guard<std::mutex> hold(g_connectionsLock);
        EXPECT_TRUE(g_connections.empty()) << c.text;
        close(peer);
    }
}

TEST(Connection, KeyInUseOrFullTableRefusesTheRequest) {
    ServiceSettings settings;
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    const SocketThreadParam held{static_cast<SOCKET>(pair[0]), {}};
    const std::string key = "127.0.0.1#T#LOG#1#1";
    struct Case {
        const char* what;
        const char* warning;
        std::function<void()> before;
    };
    uint64_t id = 0;
    const Case cases[] = {
        {"a connection waits under the key", "a connection of the same key [127.0.0.1#T#LOG#1#1] waits or is in use.",
         [&] { RegisterConnection(key, held, &id); }},
        {"a restore reads the key's stream", "a connection of the same key [127.0.0.1#T#LOG#1#1] waits or is in use.",
         [&] {
             RegisterConnection(key, held, &id);
             TakeConnection(key, 0);
         }},
        {"the table is full", "64 connections wait for their restore already.",
         [&] {
             for (size_t i = 0; i < kMaxWaitingConnections; ++i)
                 RegisterConnection("10.0.0." + std::to_string(1 + i % 2) + "#T" + std::to_string(i) + "#LOG#2#2", held,
                                    &id);
         }},
    };
    for (const Case& c : cases) {
        c.before();
        Listener service;
        const int peer = service.Connect();
        SocketThreadParam param{static_cast<SOCKET>(service.Accept()), {}};
        send(peer, Block(std::string(kList) + "|T#LOG#1#1:1500").data(), kRequestBlockSize, 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(HandleRestoreConnection(&param), 0u);
        const std::string console = testing::internal::GetCapturedStdout();
        EXPECT_EQ(Receive(peer, 2 * kRequestBlockSize).size(), 0u) << c.what;  // refused like an invalid request
        EXPECT_NE(console.find(c.warning), std::string::npos) << c.what << console;
        EXPECT_NE(console.find("Invalid Requested. Connection is closed."), std::string::npos) << c.what;
        std::lock_guard<std::mutex> hold(g_connectionsLock);
        for (const auto& entry : g_connections) EXPECT_EQ(entry.second.connection.socket, held.socket) << c.what;
        g_connections.clear();
        close(peer);
    }
    close(pair[0]);
    close(pair[1]);
}

}  // namespace
