#include <gtest/gtest.h>

#include <poll.h>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "media/SocketService.h"
#include "support/Log.h"
#include "tests/support/Capture.h"
#include "tests/support/Sockets.h"

namespace {

using Clock = std::chrono::steady_clock;

class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        Log::Initialize(nullptr);
        Log::SetLogLevel(Log::LOG_DEBUG);
    }
};
const auto* const kLogEnvironment = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A socket bound to a free port of every local IPv4 address, listening or not.
struct BoundSocket {
    explicit BoundSocket(bool listening) : fd(kestest::bindTcp(0, listening, true)) {
        EXPECT_GE(fd, 0);
        port = std::to_string(kestest::localPort(fd));
    }
    ~BoundSocket() { Close(); }
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fd;
    std::string port;
};

// The listening sockets of this process: the listeners of earlier tests live on.
std::set<int> ListeningSockets() {
    std::set<int> fds;
    for (int fd = 3; fd < 1024; ++fd) {
        int on = 0;
        socklen_t len = sizeof on;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on) fds.insert(fd);
    }
    return fds;
}

// The port of a listening socket of this process that is not among 'before', once there is one.
std::string FindNewListeningPort(const std::set<int>& before) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        for (int fd : ListeningSockets()) {
            if (before.count(fd)) continue;
            sockaddr_in a;
            socklen_t len = sizeof a;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
            return std::to_string(ntohs(a.sin_port));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "";
}

int ConnectLoopback(const std::string& port) {
    const int fd = kestest::connectLoopback(static_cast<uint16_t>(std::stoi(port)));
    EXPECT_GE(fd, 0);
    return fd;
}

// What the connection threads saw.
struct Seen {
    SOCKET socket;
    SYSTEMTIME accepted;
    Clock::time_point started;
    std::string firstBytes;
};
std::mutex g_seenLock;
std::vector<Seen> g_seen;  // cleared before each test, so that a test sees only its own connections

// Reads what the peer sends until it closes, answers "ok" and closes the socket.
DWORD RecordConnection(LPVOID arg) {
    const SocketThreadParam* p = static_cast<const SocketThreadParam*>(arg);
    Seen seen{p->socket, p->accepted, Clock::now(), ""};
    char buf[256];
    int got;
    while ((got = static_cast<int>(::recv(static_cast<int>(p->socket), buf, sizeof buf, 0))) > 0)
        seen.firstBytes.append(buf, static_cast<size_t>(got));
    ::send(static_cast<int>(p->socket), "ok", 2, 0);
    closesocket(p->socket);
    std::lock_guard<std::mutex> lock(g_seenLock);
    g_seen.push_back(seen);
    return 0;
}

void StartServiceInBackground(const std::string& port) {
    std::thread([port] { StartRestoreService(port.c_str(), RecordConnection); }).detach();
}

std::vector<Seen> WaitForSeen(size_t n) {
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> lock(g_seenLock);
            if (g_seen.size() >= n) return g_seen;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> lock(g_seenLock);
    return g_seen;
}

class SeenConnections : public testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_seenLock);
        g_seen.clear();
    }
};
class MediaRestoreService : public SeenConnections {};
class MediaConnectToServer : public SeenConnections {};

TEST_F(MediaRestoreService, SetUpFailuresReturnMinusOneAndLogTheirCall) {
    BoundSocket taken(true);
    std::string log;
    log = kestest::capturedStdout([&] { EXPECT_EQ(-1, StartRestoreService(taken.port.c_str(), RecordConnection)); });
    EXPECT_NE(std::string::npos, log.find("bind failed with error: " + std::to_string(EADDRINUSE))) << log;
    EXPECT_EQ(std::string::npos, log.find("Start Restore Service")) << log;

    log = kestest::capturedStdout([&] { EXPECT_EQ(-1, StartRestoreService("no-such-service", RecordConnection)); });
    EXPECT_NE(std::string::npos, log.find("getaddrinfo failed with error: ")) << log;
    // The port is free again once the listener has given up: nothing was left open on it.
    taken.Close();
}

TEST_F(MediaRestoreService, EachConnectionGetsItsOwnThreadAndBlock) {
    const std::set<int> listening = ListeningSockets();
    std::string port;
    std::string log = kestest::capturedStdout([&] {
        StartServiceInBackground("0");
        port = FindNewListeningPort(listening);
    });
    EXPECT_NE(std::string::npos, log.find("Start Restore Service on TCP-0")) << log;
    ASSERT_NE("", port);
    SYSTEMTIME before;
    GetSystemTime(&before);
    // Two clients at the same moment, each with its own message.
    int a = ConnectLoopback(port), b = ConnectLoopback(port);
    ::send(a, "first", 5, 0);
    ::send(b, "second", 6, 0);
    ::shutdown(a, SHUT_WR);
    ::shutdown(b, SHUT_WR);
    std::vector<Seen> seen = WaitForSeen(2);
    ASSERT_EQ(2u, seen.size());
    // Each thread read its own client's message from its socket.
    std::vector<std::string> got = {seen[0].firstBytes, seen[1].firstBytes};
    std::sort(got.begin(), got.end());
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), got);
    // The second thread starts only after the pause that follows the first.
    auto gap =
        seen[1].started > seen[0].started ? seen[1].started - seen[0].started : seen[0].started - seen[1].started;
    EXPECT_GE(gap, std::chrono::milliseconds(240));
    for (const Seen& s : seen) EXPECT_EQ(before.wYear, s.accepted.wYear);
    char reply[4] = {};
    EXPECT_EQ(2, ::recv(a, reply, sizeof reply, MSG_WAITALL));
    EXPECT_STREQ("ok", reply);
    ::close(a);
    ::close(b);
}

int ConnectFrom(const std::string& port, const char* source) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &a.sin_addr);
    EXPECT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    return fd;
}

bool AdmitOnly127001(const char* peerIp) { return std::strcmp(peerIp, "127.0.0.1") == 0; }

TEST_F(MediaRestoreService, RefusedPeersAreClosedAtOnceWithoutAThread) {
    const std::set<int> listening = ListeningSockets();
    std::thread([] { StartRestoreService("0", RecordConnection, AdmitOnly127001); }).detach();
    const std::string port = FindNewListeningPort(listening);
    ASSERT_NE("", port);
    std::vector<int> refused;
    for (int i = 0; i < 20; ++i) refused.push_back(ConnectFrom(port, "127.0.0.2"));
    const int admitted = ConnectLoopback(port);
    ::send(admitted, "in", 2, 0);
    ::shutdown(admitted, SHUT_WR);
    for (int fd : refused) {
        char c;
        EXPECT_EQ(0, ::recv(fd, &c, 1, 0));  // closed by the listener
        ::close(fd);
    }

    std::vector<Seen> seen = WaitForSeen(1);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("in", seen[0].firstBytes);
    ::close(admitted);
}

TEST_F(MediaConnectToServer, ResolverFailureReturnsFalse) {
    SOCKET s = 0;
    std::string log = kestest::capturedStdout([&] { EXPECT_FALSE(ConnectToServer("no-such-host.invalid", "1", &s)); });
    EXPECT_EQ(INVALID_SOCKET, s);
    EXPECT_NE(std::string::npos, log.find("getaddrinfo failed with error: ")) << log;
    EXPECT_EQ(std::string::npos, log.find("Will retry")) << log;
}

// Takes one 15-second retry.
TEST_F(MediaConnectToServer, RetriesUntilALateListenerAnswers) {
    // Bound but not listening: connects are refused, and the port stays ours until the service
    // takes it over.
    BoundSocket reserved(false);
    const std::string port = reserved.port;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        reserved.Close();
        StartServiceInBackground(port);
    });
    SOCKET s = INVALID_SOCKET;
    bool connected = false;
    std::string log = kestest::capturedStdout([&] { connected = ConnectToServer("127.0.0.1", port.c_str(), &s); });
    late.join();
    ASSERT_TRUE(connected) << log;
    ASSERT_NE(INVALID_SOCKET, s);
    EXPECT_EQ(1, Count(log, "Restore Service is not ready. Will retry in 15 seconds.")) << log;
    EXPECT_EQ(1, Count(log, "The restore service at 127.0.0.1:" + port +
                                " cannot be reached (Connection refused); trying again every 15 seconds."))
        << log;
    EXPECT_EQ(5, ::send(static_cast<int>(s), "hello", 5, 0));
    ::shutdown(static_cast<int>(s), SHUT_WR);
    std::vector<Seen> seen = WaitForSeen(1);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("hello", seen[0].firstBytes);
    closesocket(s);
}

// The socket calls the engine makes on a SOCKET, on both ends of a loopback connection.
TEST(WinsockCalls, TransferPeerShutdownAndPendingError) {
    BoundSocket listener(true);
    const int client = ConnectLoopback(listener.port);
    const SOCKET accepted = static_cast<SOCKET>(::accept(listener.fd, nullptr, nullptr));
    ASSERT_NE(INVALID_SOCKET, accepted);

    char ip[INET_ADDRSTRLEN] = "";
    unsigned port = 0;
    ASSERT_TRUE(SocketPeer(accepted, ip, sizeof ip, &port));
    sockaddr_in own;
    socklen_t len = sizeof own;
    ::getsockname(client, reinterpret_cast<sockaddr*>(&own), &len);
    EXPECT_STREQ("127.0.0.1", ip);
    EXPECT_EQ(ntohs(own.sin_port), port);

    EXPECT_EQ(5, SocketSend(accepted, "hello", 5, 0));
    char buf[16] = {};
    EXPECT_EQ(5, SocketRecv(static_cast<SOCKET>(client), buf, 5, MSG_WAITALL));
    EXPECT_STREQ("hello", buf);
    EXPECT_EQ(0, SocketPendingError(accepted));
    EXPECT_EQ(0, SocketShutdown(accepted, SD_SEND));
    EXPECT_EQ(0, SocketRecv(static_cast<SOCKET>(client), buf, sizeof buf, 0));  // the end shows as a close
    ::close(client);
    closesocket(accepted);

    // No socket at all: every call fails the Winsock way and touches no descriptor.
    EXPECT_EQ(SOCKET_ERROR, SocketSend(INVALID_SOCKET, "x", 1, 0));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, SocketRecv(INVALID_SOCKET, buf, 1, 0));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());

    // A peer that is no IPv4 peer has no address to give.
    int pair[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    EXPECT_FALSE(SocketPeer(static_cast<SOCKET>(pair[0]), ip, sizeof ip, &port));
    ::close(pair[0]);
    ::close(pair[1]);

    // A refused connect leaves its error pending on the socket, once.
    BoundSocket closed(false);
    const int refused = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(closed.port)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(refused, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EINPROGRESS) {
        pollfd p{refused, POLLOUT, 0};
        ::poll(&p, 1, 5000);
        EXPECT_EQ(ECONNREFUSED, SocketPendingError(static_cast<SOCKET>(refused)));
    }
    EXPECT_EQ(0, SocketPendingError(static_cast<SOCKET>(refused)));
    ::close(refused);
}

TEST(MediaSocketClientTest, TalksToPort8000) {
    BoundSocket probe(false);
    probe.Close();
    // The sample client's port is fixed; leave it alone when something else holds it.
    const int fd = kestest::bindTcp(8000, false);
    if (fd < 0) GTEST_SKIP() << "port 8000 is in use";
    // Bound, not listening: refused.
    EXPECT_EQ("Unable to connect to server!\n", kestest::capturedStdout(SocketClientTest));
    ASSERT_EQ(0, ::listen(fd, 1));
    std::thread echo([fd] {
        int c = ::accept(fd, nullptr, nullptr);
        std::string got;
        char buf[64];
        ssize_t r;
        while ((r = ::recv(c, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(r));
        ::send(c, got.data(), got.size(), 0);
        ::close(c);
    });
    std::string out = kestest::capturedStdout(SocketClientTest);
    echo.join();
    ::close(fd);
    EXPECT_EQ("Bytes Sent: 14\nBytes received: 14\nConnection closed\n", out);
}

}  // namespace
