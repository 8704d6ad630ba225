#include "tests/support/Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestest {

namespace {

sockaddr_in Address(uint32_t host, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = htons(port);
    return a;
}

}  // namespace

int bindTcp(uint16_t port, bool listening, bool anyAddress) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Address(anyAddress ? INADDR_ANY : INADDR_LOOPBACK, port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        (listening && ::listen(fd, 8) != 0)) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

int connectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Address(INADDR_LOOPBACK, port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace kestest
