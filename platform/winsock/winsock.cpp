#include "platform/winsock/winsock.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/time.h>

namespace {
std::atomic<long> g_startups{0};
std::once_flag g_sigpipeOnce;
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

int closesocket(SOCKET s) {
  return ::close(static_cast<int>(s)) == 0 ? 0 : SOCKET_ERROR;
}

int SetListenerReuse(SOCKET s) {
  int on = 1;
  return ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : SOCKET_ERROR;
}

int SetReceiveTimeout(SOCKET s, unsigned ms) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? 0 : SOCKET_ERROR;
}

bool IsReceiveTimeout(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT; }

bool PeerHasGone(SOCKET s) {
  char c;
  const int saved = errno;
  const ssize_t n = ::recv(static_cast<int>(s), &c, 1, MSG_PEEK | MSG_DONTWAIT);
  const bool gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  errno = saved;
  return gone;
}
