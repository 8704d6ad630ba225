#include "platform/winsock/winsock.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>

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
