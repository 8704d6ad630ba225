// Backup media through a chain of gzip (or zlib) compression and AES-128-CTR encryption.
//
// Stored form, innermost first: the raw stream; then, with compression, one gzip member
// (RFC 1952) holding all of it; then, with a non-empty key text, AES-128 in CTR mode over
// all of that. Nothing else is stored. Every failure is an exception derived from
// std::exception: the library's, or a std::logic_error for a call in the wrong direction.
#pragma once

#include <cstdint>
#include <string>

#include <cryptopp/aes.h>
#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/gzip.h>
#include <cryptopp/modes.h>
#include <cryptopp/zlib.h>

struct tstream;
class MediaFileOut;

// The library's gzip compressor with the media's fixed member header: no name, no time stamp,
// operating system 0; the extra flags tell level 1 (04) and level 9 (02).
class MediaGzip : public CryptoPP::Gzip {
public:
    using CryptoPP::Gzip::Gzip;

protected:
    void WritePrestreamHeader() override;
};

class CryptoMedia {
public:
    // Opens (readMode) or creates the file at once; a name starting with "tcp://" (any case)
    // makes a writing media send to 127.0.0.1:8080 instead.
    CryptoMedia(const char* name, bool readMode, bool compress, bool useGzip, int32_t level, const char* keyText);
    // Keys both ciphers and nothing else: for EncryptFile / DecryptFile.
    explicit CryptoMedia(const char* keyText);
    ~CryptoMedia();
    CryptoMedia(const CryptoMedia&) = delete;
    CryptoMedia& operator=(const CryptoMedia&) = delete;

    int32_t Read(void* buffer, int32_t n);
    int32_t Write(const void* buffer, int32_t n);
    // A hard flush of a writing media also syncs its file to the disk; failures throw like Write.
    void Flush(bool hard);
    // Ends the stream: every stage finishes its output; a writing media's file is then synced to
    // the disk and closed, and a reading media with compression reads to the end of its file so
    // that the stream's CRC and length are checked. Failures throw like Write and Read.
    void Close();
    // The errno of the first failure of the output file (its creation included), 0 while none.
    int OutputError() const;
    bool IsDrained() const;
    bool IsEof() const;
    static bool IsSourceEof(CryptoPP::FileSource& source);

    // Whole-file conversions through the media's own ciphers and (de)compressor. They re-link
    // those members, so an object used for them serves nothing else.
    void EncryptFile(const char* inPath, const char* outPath, bool compress, bool encrypt);
    void DecryptFile(const char* inPath, const char* outPath, bool decompress, bool decrypt);

    // Every chain moves data in pieces of this size.
    static const int32_t kPiece = 8192;

    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption writeCipher;
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption readCipher;
    CryptoPP::MeterFilter meter;
    MediaGzip gzip;
    CryptoPP::Gunzip gunzip;
    CryptoPP::ZlibCompressor zlibCompressor;
    CryptoPP::ZlibDecompressor zlibDecompressor;
    CryptoPP::StreamTransformationFilter* cipherFilter;
    const char* name;
    const char* keyText;
    bool readMode;
    bool compress;
    bool encrypt;
    bool useGzip;
    tstream* tcpStream;
    CryptoPP::FileSink* fileSink;
    CryptoPP::FileSource* fileSource;
    bool endOfSource;
    std::string readAhead;
    int32_t readPos;
    CryptoPP::StringSink* stringSink;

private:
    // The output stream under fileSink when it writes a named file.
    MediaFileOut* fileOut = nullptr;

    CryptoPP::BufferedTransformation& Head();
    void LinkChain();
    void ReleaseChain();
};

// In-memory conversions under one built-in key; the first argument is not used.
void EncryptStream(void* unused, std::string in, std::string& out);
void DecryptStream(void* unused, std::string in, std::string& out);
void EncryptText(void* unused, std::string in, std::string& out);
void DecryptText(void* unused, std::string in, std::string& out);
