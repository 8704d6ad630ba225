// TCP sockets for the tests that play a peer on this machine.
#pragma once

#include <cstdint>

namespace kestest {

// A TCP socket bound to `port` (0: a free one) of 127.0.0.1, or of every local IPv4 address with
// `anyAddress`, and listening when asked. -1 when the bind fails (the port is taken).
int bindTcp(uint16_t port, bool listening, bool anyAddress = false);

// The local port of a bound socket.
uint16_t localPort(int fd);

// A socket connected to 127.0.0.1 at `port`; -1 when the connect fails.
int connectLoopback(uint16_t port);

}  // namespace kestest
