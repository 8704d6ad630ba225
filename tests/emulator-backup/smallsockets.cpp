// Preloaded into processes whose TCP connections must hold little in flight: every stream socket
// gets 4 KiB send and receive buffers (an accepted socket inherits its listener's).
#include <dlfcn.h>
#include <sys/socket.h>

extern "C" int socket(int domain, int type, int protocol) {
    using Fn = int (*)(int, int, int);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "socket"));
    int fd = real(domain, type, protocol);
    if (fd >= 0 && (type & 0xf) == SOCK_STREAM) {
        int size = 4096;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    return fd;
}
