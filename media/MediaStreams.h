// The ends of the media chains: a read-ahead sink that can fill the caller's buffer directly,
// and a file output stream that gathers the chain's small pieces into large writes.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include <cryptopp/filters.h>

// Appends to the read-ahead string like a StringSink, except that while a Read offers its own
// buffer the bytes go there first, saving a copy through the read-ahead string.
class ReadAheadSink : public CryptoPP::StringSink {
public:
    explicit ReadAheadSink(std::string& readAhead) : CryptoPP::StringSink(readAhead), readAhead_(&readAhead) {}

    // Offers [buffer, buffer + room) for what the next pumps decode.
    void Offer(char* buffer, size_t room) {
        direct_ = buffer;
        room_ = room;
        filled_ = 0;
    }
    // Ends the offer; returns the bytes placed in the offered buffer.
    size_t Withdraw() {
        size_t n = filled_;
        direct_ = nullptr;
        room_ = filled_ = 0;
        return n;
    }

    size_t Put2(const CryptoPP::byte* in, size_t length, int messageEnd, bool blocking) override;

private:
    std::string* readAhead_;
    char* direct_ = nullptr;
    size_t room_ = 0;
    size_t filled_ = 0;
};

// Binary output to a file through a buffer of its own. Writes that the buffer cannot take go
// to the file whole. A failed write leaves the stream bad (so a FileSink over it throws).
class MediaFileOut : public std::ostream {
public:
    // Creates the file or cuts it to length 0; is_open() tells whether that worked.
    explicit MediaFileOut(const char* path);
    ~MediaFileOut() override;
    bool is_open() const { return buf_.fd >= 0; }
    // Writes out what is buffered and syncs the file to the disk; false when that failed, or an
    // earlier write did.
    bool Sync() { return buf_.Sync(); }
    // Writes out what is buffered, syncs the file to the disk and closes it; false when any of
    // that failed, or an earlier write did.
    bool Close() { return buf_.Close(); }
    // The errno of the first failure (the open's included), 0 while there was none.
    int Error() const { return buf_.error; }

private:
    struct Buf : std::streambuf {
        explicit Buf(const char* path);
        ~Buf() override;
        bool Drain();
        bool WriteAll(const char* p, size_t n);
        bool Sync();
        bool Close();
        void Failed(int err);
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int sync() override;
        int fd;
        int error;
        std::vector<char> space;
    };
    Buf buf_;
};
