// The two ends of a TCP connection between a backup run and a restore service.
#pragma once

#include "platform/win32/win32.h"
#include "platform/winsock/winsock.h"

// What the listener hands to each connection thread: the accepted socket and the UTC time of
// its acceptance. The block is the thread's own for as long as its procedure runs and is
// released by the listener's thread wrapper once the procedure returns; keep a copy of it to
// use it longer. The socket belongs to the thread, which closes it (or passes it on).
struct SocketThreadParam {
    SOCKET socket;
    SYSTEMTIME accepted;
};

// Whether a peer, by its dotted IPv4 address, may go on to a connection thread; asked on the
// listener's thread right after each accept.
typedef bool (*AdmitPeerProc)(const char* peerIp);

// Listens on every local IPv4 address at the port (decimal text; the address may be reused while
// connections of an earlier listener linger) and runs 'procedure' on a new thread for every
// accepted connection, with a pointer to that connection's SocketThreadParam, pausing 250 ms
// after each. With `admit`, a peer it refuses is closed at once, without a thread or the pause.
// A failed accept pauses a second before the next; the same failure is logged once a minute at
// most. Returns -1 when the listener cannot be set up or a thread cannot be started; otherwise it
// never returns.
int StartRestoreService(const char* port, LPTHREAD_START_ROUTINE procedure, AdmitPeerProc admit = nullptr);

// Connects to host:port, trying again every 15 seconds for as long as the connect fails.
// True: *socket holds the connected socket, which the caller owns (Winsock stays started).
// False (Winsock, resolver or socket failure, all logged): *socket is INVALID_SOCKET.
bool ConnectToServer(const char* host, const char* port, SOCKET* socket);

// Sample client: sends "this is a test" to 127.0.0.1:8000 and prints what comes back.
void SocketClientTest();
