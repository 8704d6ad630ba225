#include "platform/winsock/winsock.h"

#include <sys/time.h>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <mutex>

namespace {
std::atomic<long> g_startups{0};
std::once_flag g_sigpipeOnce;

// A SOCKET is the descriptor itself.
int Descriptor(SOCKET s) { return static_cast<int>(s); }

size_t OneCall(size_t size) { return size > static_cast<size_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : size; }
}  // namespace

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    if (LOBYTE(versionRequested) < 2) return WSAVERNOTSUPPORTED;
    // A peer that closes its end must show as a failing send, never as a signal that ends us.
    std::call_once(g_sigpipeOnce, [] { std::signal(SIGPIPE, SIG_IGN); });
    if (data) {
        std::memset(data, 0, sizeof *data);
        data->wVersion = MAKEWORD(2, 2);
        data->wHighVersion = MAKEWORD(2, 2);
        std::strcpy(data->szDescription, "BSD sockets");
        std::strcpy(data->szSystemStatus, "Running");
    }
    g_startups.fetch_add(1);
    return 0;
}

int WSACleanup() {
    long n = g_startups.load();
    while (n > 0) {
        if (g_startups.compare_exchange_weak(n, n - 1)) return 0;
    }
    errno = WSANOTINITIALISED;
    return SOCKET_ERROR;
}

int WSAGetLastError() { return errno; }

void WSASetLastError(int error) { errno = error; }

int closesocket(SOCKET s) { return ::close(Descriptor(s)) == 0 ? 0 : SOCKET_ERROR; }

int SocketSend(SOCKET s, const void* data, size_t size, int flags) {
    if (s == INVALID_SOCKET) {
        errno = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    return static_cast<int>(::send(Descriptor(s), data, OneCall(size), flags));
}

int SocketRecv(SOCKET s, void* data, size_t size, int flags) {
    if (s == INVALID_SOCKET) {
        errno = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    return static_cast<int>(::recv(Descriptor(s), data, OneCall(size), flags));
}

int SocketShutdown(SOCKET s, int how) { return ::shutdown(Descriptor(s), how) == 0 ? 0 : SOCKET_ERROR; }

bool SocketPeer(SOCKET s, char* ip, size_t ipRoom, unsigned* port) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(Descriptor(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sin_family != AF_INET ||
        !::inet_ntop(AF_INET, &addr.sin_addr, ip, static_cast<socklen_t>(ipRoom)))
        return false;
    *port = ntohs(addr.sin_port);
    return true;
}

int SocketPendingError(SOCKET s) {
    int pending = 0;
    socklen_t len = sizeof pending;
    ::getsockopt(Descriptor(s), SOL_SOCKET, SO_ERROR, &pending, &len);
    return pending;
}

int SetListenerReuse(SOCKET s) {
    int on = 1;
    return ::setsockopt(Descriptor(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : SOCKET_ERROR;
}

namespace {
int SetTimeout(SOCKET s, int option, unsigned ms) {
    timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return ::setsockopt(Descriptor(s), SOL_SOCKET, option, &tv, sizeof tv) == 0 ? 0 : SOCKET_ERROR;
}
}  // namespace

int SetReceiveTimeout(SOCKET s, unsigned ms) { return SetTimeout(s, SO_RCVTIMEO, ms); }

int SetSendTimeout(SOCKET s, unsigned ms) { return SetTimeout(s, SO_SNDTIMEO, ms); }

bool IsReceiveTimeout(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT; }

bool PeerHasGone(SOCKET s) { return SocketPeerState(s) != PeerState::Open; }

PeerState SocketPeerState(SOCKET s) {
    char c;
    const int saved = errno;
    const ssize_t n = ::recv(Descriptor(s), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    PeerState state = PeerState::Open;
    if (n == 0)
        state = PeerState::Closed;
    else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        state = PeerState::Reset;
    errno = saved;
    return state;
}
