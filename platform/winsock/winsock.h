// Winsock 2.2 names on BSD sockets, one to one.
//
// Sockets are plain file descriptors held in the pointer-wide unsigned SOCKET type, so an
// accept()/socket() result of -1 compares equal to INVALID_SOCKET. The BSD calls keep their
// own names (socket, bind, listen, accept, connect, send, recv, shutdown, getaddrinfo,
// freeaddrinfo, getpeername, inet_addr, inet_ntoa, htons, ...). Pass address lengths as
// socklen_t (Winsock declares that type as well).
//
// WSAStartup must come before the first socket call, as on Windows: it also makes sure that
// a send on a connection the peer has closed fails with EPIPE instead of raising SIGPIPE.
// Error numbers are this platform's errno values (EADDRINUSE is 98 here, not 10048).
#pragma once

#include "platform/win32/wintypes.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>

typedef uintptr_t SOCKET;

#define INVALID_SOCKET (static_cast<SOCKET>(~static_cast<uintptr_t>(0)))
#define SOCKET_ERROR (-1)

#define MAKEWORD(low, high) \
    (static_cast<WORD>((static_cast<unsigned>(low) & 0xff) | ((static_cast<unsigned>(high) & 0xff) << 8)))
#define LOBYTE(w) (static_cast<unsigned char>(static_cast<unsigned>(w) & 0xff))
#define HIBYTE(w) (static_cast<unsigned char>((static_cast<unsigned>(w) >> 8) & 0xff))

#define SD_RECEIVE SHUT_RD
#define SD_SEND SHUT_WR
#define SD_BOTH SHUT_RDWR

// The Winsock error names that callers compare against, with this platform's values.
#define WSAEINTR EINTR
#define WSAEBADF EBADF
#define WSAEINVAL EINVAL
#define WSAEWOULDBLOCK EWOULDBLOCK
#define WSAENOTSOCK ENOTSOCK
#define WSAEADDRINUSE EADDRINUSE
#define WSAEADDRNOTAVAIL EADDRNOTAVAIL
#define WSAENETUNREACH ENETUNREACH
#define WSAECONNABORTED ECONNABORTED
#define WSAECONNRESET ECONNRESET
#define WSAENOTCONN ENOTCONN
#define WSAETIMEDOUT ETIMEDOUT
#define WSAECONNREFUSED ECONNREFUSED
#define WSAEHOSTUNREACH EHOSTUNREACH
#define WSANOTINITIALISED 10093
#define WSAVERNOTSUPPORTED 10092

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
};
typedef WSADATA* LPWSADATA;

// Counted like Winsock's: every successful WSAStartup wants one WSACleanup. Neither touches
// open sockets. Returns 0, or WSAVERNOTSUPPORTED for a requested version below 2.0.
int WSAStartup(WORD versionRequested, LPWSADATA data);
// 0, or SOCKET_ERROR (last error WSANOTINITIALISED) without a matching WSAStartup.
int WSACleanup();
// The calling thread's errno.
int WSAGetLastError();
void WSASetLastError(int error);
// close() of the descriptor: 0, or SOCKET_ERROR.
int closesocket(SOCKET s);

// The transfer calls on a SOCKET, each one call of the BSD function: the byte count (a receive
// gives 0 once the peer has closed), or SOCKET_ERROR with the error in WSAGetLastError()
// (WSAEINTR for an interrupted call, WSAENOTSOCK for INVALID_SOCKET). One call moves at most
// INT_MAX bytes.
int SocketSend(SOCKET s, const void* data, size_t size, int flags);
int SocketRecv(SOCKET s, void* data, size_t size, int flags);
// shutdown: 0, or SOCKET_ERROR.
int SocketShutdown(SOCKET s, int how);
// The connected peer's IPv4 address, as dotted text into `ip` (room for INET_ADDRSTRLEN), and its
// port. False, with the error in WSAGetLastError(), when it cannot be read or is no IPv4 address.
bool SocketPeer(SOCKET s, char* ip, size_t ipRoom, unsigned* port);
// The socket's pending error (SO_ERROR), cleared by the reading; 0 when none or unreadable.
int SocketPendingError(SOCKET s);

// Socket settings the engine needs that differ between Winsock and BSD sockets in form or in name.
// Each returns 0, or SOCKET_ERROR with the error in WSAGetLastError().

// Lets a listener bind its port again while connections of an earlier listener on it linger in
// TIME_WAIT (SO_REUSEADDR: the convention of servers here; a Windows server uses
// SO_EXCLUSIVEADDRUSE for the same end).
int SetListenerReuse(SOCKET s);
// Bounds every later receive on the socket: a recv that gets no byte for `ms` milliseconds fails,
// WSAGetLastError() then giving WSAEWOULDBLOCK (WSAETIMEDOUT on Windows). 0 lifts the bound.
int SetReceiveTimeout(SOCKET s, unsigned ms);
// Bounds every later send the same way: a send that can hand no byte to the connection for `ms`
// milliseconds (the peer reads nothing) returns what it had sent, or fails with nothing sent.
int SetSendTimeout(SOCKET s, unsigned ms);
// True when a receive failing by such a bound gave `error`.
bool IsReceiveTimeout(int error);
// True when the peer has closed or reset the connection and left no byte to read. Never blocks.
bool PeerHasGone(SOCKET s);

// What a look at a connection shows, without waiting and without taking a byte: Open (bytes wait,
// or none has come yet), Closed (the peer has closed its side and every byte it sent has been
// read) or Reset (the connection was reset or has failed; its error is cleared by the look).
enum class PeerState { Open, Closed, Reset };
PeerState SocketPeerState(SOCKET s);
