#include "media/SocketService.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "support/Log.h"

namespace {

const DWORD kPauseAfterAccept = 250;
// A failed accept (descriptors used up, for instance) is tried again after this pause, and the
// same failure is logged again only after a minute of it.
const DWORD kPauseAfterFailedAccept = 1000;
const DWORD kRepeatFailureLogMs = 60000;
const DWORD kConnectRetry = 15000;

// The block of one connection thread together with the procedure it runs.
struct ConnectionStart {
    LPTHREAD_START_ROUTINE procedure;
    SocketThreadParam param;
};

DWORD RunConnection(LPVOID arg) {
    ConnectionStart* start = static_cast<ConnectionStart*>(arg);
    DWORD code = start->procedure(&start->param);
    delete start;
    return code;
}

addrinfo Hints(int flags, int family) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_flags = flags;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    return hints;
}

}  // namespace

int StartRestoreService(const char* port, LPTHREAD_START_ROUTINE procedure, AdmitPeerProc admit) {
    WSADATA wsaData;
    int rc = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (rc != 0) {
        Log::WError("WSAStartup failed with error: %d", rc);
        return -1;
    }
    addrinfo hints = Hints(AI_PASSIVE, AF_INET);
    addrinfo* result = nullptr;
    rc = getaddrinfo(nullptr, port, &hints, &result);
    if (rc != 0) {
        Log::WError("getaddrinfo failed with error: %d", rc);
        WSACleanup();
        return -1;
    }
    SOCKET listenSocket = ::socket(result->ai_family, result->ai_socktype, result->ai_protocol);
    if (listenSocket == INVALID_SOCKET) {
        Log::WError("socket failed with error: %ld", static_cast<long>(WSAGetLastError()));
        freeaddrinfo(result);
        WSACleanup();
        return -1;
    }
    // A restart must not wait for the connections of the previous run to leave TIME_WAIT.
    if (SetListenerReuse(listenSocket) == SOCKET_ERROR)
        Log::WError("setsockopt failed with error: %d", WSAGetLastError());
    if (::bind(static_cast<int>(listenSocket), result->ai_addr, result->ai_addrlen) == SOCKET_ERROR) {
        Log::WError("bind failed with error: %d", WSAGetLastError());
        freeaddrinfo(result);
        closesocket(listenSocket);
        WSACleanup();
        return -1;
    }
    freeaddrinfo(result);
    Log::WInfo("Start Restore Service on TCP-%s", port);
    if (::listen(static_cast<int>(listenSocket), SOMAXCONN) == SOCKET_ERROR) {
        Log::WError("listen failed with error: %d", WSAGetLastError());
        closesocket(listenSocket);
        WSACleanup();
        return -1;
    }
    int lastError = 0;
    DWORD lastLogged = 0;
    unsigned failures = 0;
    bool peerFailureLogged = false;
    DWORD peerFailureAt = 0;
    for (;;) {
        SOCKET client = ::accept(static_cast<int>(listenSocket), nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            const int error = WSAGetLastError();
            const DWORD now = GetTickCount();
            if (error != lastError || now - lastLogged >= kRepeatFailureLogMs) {
                Log::WError("accept failed with error: %d", error);
                lastError = error;
                lastLogged = now;
            }
            ++failures;
            Sleep(kPauseAfterFailedAccept);
            continue;
        }
        if (failures) {
            Log::WInfo("Accepting again after %u failed tries.", failures);
            failures = 0;
            lastError = 0;
        }
        // A refused peer costs no thread and no pause, so that a flood of them delays no one.
        if (admit) {
            char peerIp[INET_ADDRSTRLEN] = "";
            unsigned peerPort = 0;
            if (!SocketPeer(client, peerIp, sizeof peerIp, &peerPort)) {
                // Peers that reset at once are no reason for a line each either.
                const DWORD now = GetTickCount();
                if (!peerFailureLogged || now - peerFailureAt >= kRepeatFailureLogMs) {
                    Log::WError("getpeername failed with error: %d", WSAGetLastError());
                    peerFailureLogged = true;
                    peerFailureAt = now;
                }
                closesocket(client);
                continue;
            }
            if (!admit(peerIp)) {
                closesocket(client);
                continue;
            }
        }
        ConnectionStart* start = new (std::nothrow) ConnectionStart;
        HANDLE thread = nullptr;
        if (start) {
            start->procedure = procedure;
            start->param.socket = client;
            GetSystemTime(&start->param.accepted);
            thread = CreateThread(nullptr, 0, RunConnection, start, 0, nullptr);
        }
        if (!thread) {
            delete start;
            Log::WError("Failed to create socket thread.");
            return -1;
        }
        // The listener never waits on its connection threads.
        CloseHandle(thread);
        Sleep(kPauseAfterAccept);
    }
}

bool ConnectToServer(const char* host, const char* port, SOCKET* connectSocket) {
    *connectSocket = INVALID_SOCKET;
    WSADATA wsaData;
    int rc = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (rc != 0) {
        Log::WError("WSAStartup failed with error: %d", rc);
        return false;
    }
    addrinfo hints = Hints(0, AF_UNSPEC);
    addrinfo* result = nullptr;
    rc = getaddrinfo(host, port, &hints, &result);
    if (rc != 0) {
        Log::WError("getaddrinfo failed with error: %d", rc);
        WSACleanup();
        return false;
    }
    // Only the first address is ever tried.
    for (bool named = false;; named = true) {
        *connectSocket = ::socket(result->ai_family, result->ai_socktype, result->ai_protocol);
        if (*connectSocket == INVALID_SOCKET) {
            Log::WError("socket failed with error: %ld", static_cast<long>(WSAGetLastError()));
            freeaddrinfo(result);
            WSACleanup();
            return false;
        }
        if (::connect(static_cast<int>(*connectSocket), result->ai_addr, result->ai_addrlen) != SOCKET_ERROR) break;
        const int error = WSAGetLastError();
        closesocket(*connectSocket);
        *connectSocket = INVALID_SOCKET;
        // The fixed line says nothing of where or why; the first failure names both.
        if (!named)
            Log::WWarn("The restore service at %s:%s cannot be reached (%s); trying again every 15 seconds.", host,
                       port, std::strerror(error));
        Log::WWarn("Restore Service is not ready. Will retry in 15 seconds.");
        Sleep(kConnectRetry);
    }
    freeaddrinfo(result);
    return true;
}

void SocketClientTest() {
    WSADATA wsaData;
    int rc = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (rc != 0) {
        std::printf("WSAStartup failed with error: %d\n", rc);
        return;
    }
    addrinfo hints = Hints(0, AF_UNSPEC);
    addrinfo* result = nullptr;
    rc = getaddrinfo("127.0.0.1", "8000", &hints, &result);
    if (rc != 0) {
        std::printf("getaddrinfo failed with error: %d\n", rc);
        WSACleanup();
        return;
    }
    SOCKET s = INVALID_SOCKET;
    for (addrinfo* p = result; p; p = p->ai_next) {
        s = ::socket(p->ai_family, p->ai_socktype, p->ai_protocol);
        if (s == INVALID_SOCKET) {
            std::printf("socket failed with error: %ld\n", static_cast<long>(WSAGetLastError()));
            freeaddrinfo(result);
            WSACleanup();
            return;
        }
        if (::connect(static_cast<int>(s), p->ai_addr, p->ai_addrlen) != SOCKET_ERROR) break;
        closesocket(s);
        s = INVALID_SOCKET;
    }
    freeaddrinfo(result);
    if (s == INVALID_SOCKET) {
        std::printf("Unable to connect to server!\n");
        WSACleanup();
        return;
    }
    static const char kMessage[] = "this is a test";
    long sent = static_cast<long>(::send(static_cast<int>(s), kMessage, sizeof kMessage - 1, 0));
    if (sent == SOCKET_ERROR) {
        std::printf("send failed with error: %d\n", WSAGetLastError());
        closesocket(s);
        WSACleanup();
        return;
    }
    std::printf("Bytes Sent: %ld\n", sent);
    if (::shutdown(static_cast<int>(s), SD_SEND) == SOCKET_ERROR) {
        std::printf("shutdown failed with error: %d\n", WSAGetLastError());
        closesocket(s);
        WSACleanup();
        return;
    }
    char buf[8192];
    for (;;) {
        int got = static_cast<int>(::recv(static_cast<int>(s), buf, sizeof buf, 0));
        if (got > 0) {
            std::printf("Bytes received: %d\n", got);
        } else if (got == 0) {
            std::printf("Connection closed\n");
            break;
        } else {
            std::printf("recv failed with error: %d\n", WSAGetLastError());
            break;
        }
    }
    closesocket(s);
    WSACleanup();
}
