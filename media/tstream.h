// A standard character stream over one TCP connection.
#pragma once

#include <istream>
#include <streambuf>

#include "platform/winsock/winsock.h"

struct tstream : std::basic_iostream<char> {
    // No get or put area: every character goes straight through send/recv.
    class tcpbuf : public std::basic_streambuf<char> {
    public:
        tcpbuf();
        ~tcpbuf() override;
        tcpbuf(const tcpbuf&) = delete;
        tcpbuf& operator=(const tcpbuf&) = delete;

        // host must be a dotted IPv4 address; no name is resolved.
        bool connect(const char* host, unsigned short port);
        int close();
        // The socket, created on first use.
        SOCKET handle();
        int read(char* buf, int len);
        int write(const char* buf, int len);

    protected:
        int_type overflow(int_type c) override;
        int_type underflow() override;
        int_type uflow() override;
        std::streamsize xsgetn(char_type* s, std::streamsize n) override;
        std::streamsize xsputn(const char_type* s, std::streamsize n) override;

    private:
        SOCKET socket_;
    };

    tstream();
    tstream(const char* host, unsigned short port);
    tstream(const tstream&) = delete;
    tstream& operator=(const tstream&) = delete;

    bool open(const char* host, unsigned short port);

    tcpbuf buf;
};
