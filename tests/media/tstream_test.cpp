#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "media/tstream.h"
#include "tests/media/media_test_util.h"
#include "tests/support/Sockets.h"

// This binary's own send and recv take the place of the C library's, so that a test can make
// the network accept or deliver one descriptor's data in small pieces, or fail after a while.
namespace {
std::atomic<int> g_fd{-1};
std::atomic<size_t> g_piece{0};
std::atomic<long> g_failAfter{-1};  // bytes that may still pass before every call fails
std::atomic<int> g_calls{0};

size_t Shape(int fd, size_t len) {
    if (fd != g_fd.load()) return len;
    ++g_calls;
    size_t piece = g_piece.load();
    if (piece && len > piece) len = piece;
    long left = g_failAfter.load();
    if (left >= 0 && static_cast<long>(len) > left) len = static_cast<size_t>(left);
    return len;
}

void Account(int fd, long moved) {
    if (fd == g_fd.load() && moved > 0 && g_failAfter.load() >= 0) g_failAfter -= moved;
}
}  // namespace

extern "C" ssize_t send(int fd, const void* buf, size_t len, int flags) {
    size_t n = Shape(fd, len);
    if (n == 0 && len > 0) {
        errno = ECONNRESET;
        return -1;
    }
    long r = syscall(SYS_sendto, fd, buf, n, flags, nullptr, 0);
    Account(fd, r);
    return r;
}

extern "C" ssize_t recv(int fd, void* buf, size_t len, int flags) {
    size_t n = Shape(fd, len);
    if (n == 0 && len > 0) {
        errno = ECONNRESET;
        return -1;
    }
    long r = syscall(SYS_recvfrom, fd, buf, n, flags, nullptr, nullptr);
    Account(fd, r);
    return r;
}

namespace {

// A one-connection TCP peer on an ephemeral loopback port.
class Peer {
public:
    Peer() : listener_(kestest::bindTcp(0, true)), port_(kestest::localPort(listener_)) { EXPECT_GE(listener_, 0); }
    ~Peer() {
        if (thread_.joinable()) thread_.join();
        if (conn_ >= 0) ::close(conn_);
        ::close(listener_);
    }
    unsigned short port() const { return port_; }

    // Accepts, then receives until the other side closes.
    void ReceiveAll() {
        thread_ = std::thread([this] {
            Accept();
            char buf[65536];
            ssize_t r;
            while ((r = ::recv(conn_, buf, sizeof buf, 0)) > 0) received_.append(buf, static_cast<size_t>(r));
        });
    }
    // Accepts, sends data in pieces of the given size, then closes.
    void SendAndClose(const std::string& data, size_t piece) {
        thread_ = std::thread([this, data, piece] {
            Accept();
            for (size_t done = 0; done < data.size(); done += piece) {
                ::send(conn_, data.data() + done, std::min(piece, data.size() - done), 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            ::close(conn_);
            conn_ = -1;
        });
    }
    const std::string& Join() {
        thread_.join();
        return received_;
    }

private:
    void Accept() { conn_ = ::accept(listener_, nullptr, nullptr); }
    int listener_ = -1;
    int conn_ = -1;
    unsigned short port_ = 0;
    std::thread thread_;
    std::string received_;
};

class TstreamTest : public ::testing::Test {
protected:
    void TearDown() override {
        g_fd = -1;
        g_piece = 0;
        g_failAfter = -1;
        g_calls = 0;
    }
    // Shapes the traffic of s's socket.
    static void ShapeSocket(tstream& s, size_t piece, long failAfter = -1) {
        g_piece = piece;
        g_failAfter = failAfter;
        g_calls = 0;
        g_fd = static_cast<int>(s.buf.handle());
    }
    // Stops the shaping first: the peer may accept only after the close and get the same number.
    static void CloseShaped(tstream& s) {
        g_fd = -1;
        s.buf.close();
    }
};

// overflow is protected; reach it through the base class.
struct BufAccess : std::streambuf {
    static int_type Overflow(std::streambuf* b, int_type c) { return (b->*&BufAccess::overflow)(c); }
};

TEST_F(TstreamTest, UnopenedAndFailedStreamsAreBad) {
    tstream unopened;
    EXPECT_TRUE(unopened.bad());
    unopened.write("abc", 3);
    EXPECT_TRUE(unopened.bad());

    // No name is resolved: only dotted addresses connect.
    tstream named("localhost", 8080);
    EXPECT_TRUE(named.bad());
    EXPECT_TRUE(named.fail());

    // Nobody listens on a port just given up.
    unsigned short port;
    {
        Peer gone;
        port = gone.port();
    }
    tstream refused("127.0.0.1", port);
    EXPECT_TRUE(refused.fail());
    refused.write("x", 1);
    EXPECT_TRUE(refused.bad());
}

TEST_F(TstreamTest, LargeWriteInSmallSendsArrivesOnceInOrder) {
    Peer peer;
    peer.ReceiveAll();
    tstream s("127.0.0.1", peer.port());
    ASSERT_TRUE(s.good());
    ShapeSocket(s, 1000);
    const std::string data = mt::PageData(100000, 1);
    s.write(data.data(), static_cast<std::streamsize>(data.size()));
    EXPECT_TRUE(s.good());
    EXPECT_GE(g_calls.load(), 100);
    CloseShaped(s);
    EXPECT_TRUE(peer.Join() == data);
}

TEST_F(TstreamTest, FailingSendStopsTheWriteWithoutRepeatingBytes) {
    Peer peer;
    peer.ReceiveAll();
    tstream s("127.0.0.1", peer.port());
    ShapeSocket(s, 4096, 30000);
    const std::string data = mt::PageData(100000, 2);
    s.write(data.data(), static_cast<std::streamsize>(data.size()));
    EXPECT_TRUE(s.bad());
    CloseShaped(s);
    const std::string got = peer.Join();
    EXPECT_EQ(30000u, got.size());
    EXPECT_TRUE(got == data.substr(0, 30000));
}

TEST_F(TstreamTest, ReadCollectsSmallPiecesAndStopsAtTheEnd) {
    const std::string data = mt::PageData(5000, 3);
    Peer peer;
    peer.SendAndClose(data, 700);
    tstream s("127.0.0.1", peer.port());
    ASSERT_TRUE(s.good());
    ShapeSocket(s, 300);
    // One peeked byte is left for the read.
    EXPECT_EQ(static_cast<unsigned char>(data[0]), s.rdbuf()->sgetc());
    char buf[8192];
    s.read(buf, 1000);
    EXPECT_EQ(1000, s.gcount());
    EXPECT_TRUE(s.good());
    // Asked for more than the peer sends before it closes.
    s.read(buf + 1000, 7192);
    EXPECT_EQ(4000, s.gcount());
    EXPECT_TRUE(s.eof());
    EXPECT_TRUE(std::string(buf, 5000) == data);
    // No get area: sbumpc goes to the socket and finds the end.
    EXPECT_EQ(std::char_traits<char>::eof(), s.rdbuf()->sbumpc());
    peer.Join();
}

TEST_F(TstreamTest, SingleBytesAndCloseThroughOverflow) {
    Peer peer;
    peer.ReceiveAll();
    tstream s("127.0.0.1", peer.port());
    s.put('k').put('s');
    EXPECT_TRUE(s.good());
    // eof closes the connection; a later write fails.
    EXPECT_EQ(0, BufAccess::Overflow(s.rdbuf(), std::char_traits<char>::eof()));
    EXPECT_EQ("ks", peer.Join());
    s.put('x');
    EXPECT_TRUE(s.bad());
}

}  // namespace
