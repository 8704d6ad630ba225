#include "media/tstream.h"

#include <climits>
#include <cstring>

tstream::tcpbuf::tcpbuf() : socket_(INVALID_SOCKET) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

tstream::tcpbuf::~tcpbuf() { close(); }

bool tstream::tcpbuf::connect(const char* host, unsigned short port) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = inet_addr(host ? host : "");
    SOCKET s = handle();
    // inet_addr gives INADDR_NONE for anything but a dotted address (and for the broadcast
    // address, which a TCP connect cannot reach either).
    if (addr.sin_addr.s_addr == INADDR_NONE) return false;
    return ::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != SOCKET_ERROR;
}

int tstream::tcpbuf::close() {
    int r = closesocket(socket_);
    socket_ = INVALID_SOCKET;
    return r;
}

SOCKET tstream::tcpbuf::handle() {
    if (socket_ == INVALID_SOCKET) socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return socket_;
}

int tstream::tcpbuf::read(char* buf, int len) {
    return static_cast<int>(::recv(static_cast<int>(socket_), buf, static_cast<size_t>(len), 0));
}

int tstream::tcpbuf::write(const char* buf, int len) {
    return static_cast<int>(::send(static_cast<int>(socket_), buf, static_cast<size_t>(len), 0));
}

tstream::tcpbuf::int_type tstream::tcpbuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        close();
        return 0;
    }
    char ch = traits_type::to_char_type(c);
    return write(&ch, 1) >= 1 ? c : traits_type::eof();
}

// A look at the next byte that leaves it for the next uflow or xsgetn.
tstream::tcpbuf::int_type tstream::tcpbuf::underflow() {
    unsigned char ch;
    if (::recv(static_cast<int>(socket_), &ch, 1, MSG_PEEK) == 1)
        return traits_type::to_int_type(static_cast<char>(ch));
    return traits_type::eof();
}

tstream::tcpbuf::int_type tstream::tcpbuf::uflow() {
    char ch;
    if (read(&ch, 1) == 1) return traits_type::to_int_type(ch);
    return traits_type::eof();
}

std::streamsize tstream::tcpbuf::xsgetn(char_type* s, std::streamsize n) {
    std::streamsize got = 0;
    while (got < n) {
        std::streamsize want = n - got;
        int r = read(s + got, want > INT_MAX ? INT_MAX : static_cast<int>(want));
        if (r <= 0) break;
        got += r;
    }
    return got;
}

std::streamsize tstream::tcpbuf::xsputn(const char_type* s, std::streamsize n) {
    std::streamsize sent = 0;
    while (sent < n) {
        std::streamsize left = n - sent;
        int r = write(s + sent, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (r <= 0) break;
        sent += r;
    }
    return sent;
}

tstream::tstream() : std::basic_iostream<char>(nullptr) {
    rdbuf(&buf);
    clear(std::ios_base::badbit);
}

tstream::tstream(const char* host, unsigned short port) : tstream() { open(host, port); }

bool tstream::open(const char* host, unsigned short port) {
    if (buf.connect(host, port)) {
        clear(std::ios_base::goodbit);
        return true;
    }
    setstate(std::ios_base::failbit);
    return false;
}
