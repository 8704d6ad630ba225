#include "media/CryptoMedia.h"

#include <strings.h>

#include <cstring>
#include <iostream>
#include <stdexcept>

#include "media/MediaKey.h"
#include "media/MediaStreams.h"
#include "media/tstream.h"

using CryptoPP::BufferedTransformation;
using CryptoPP::Redirector;

namespace media_key {

void MakeKey(const char* keyText, uint8_t key[kKeySize]) {
    size_t len = keyText ? std::strlen(keyText) : 0;
    if (len > kKeySize) len = kKeySize;
    std::memcpy(key, kKeyFill, kKeySize);
    if (len) std::memcpy(key, keyText, len);
}

}  // namespace media_key

namespace {

const char kReadOnWriteMedia[] = "Media is not writable in Read Mode.";
const char kWriteOnReadMedia[] = "Media is not open in write mode.";

// Compressor construction shared by the members and the text routines.
const unsigned kInitialLevel = 6;
const unsigned kLog2Window = 15;

// Links stage 'from' to 'to' through a link that 'from' owns and that does not own 'to'.
void Link(BufferedTransformation& from, BufferedTransformation& to) { from.Attach(new Redirector(to)); }

void KeyCipher(CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption& cipher, const char* keyText) {
    uint8_t key[media_key::kKeySize];
    media_key::MakeKey(keyText, key);
    cipher.SetKeyWithIV(key, sizeof key, media_key::kInitialCounter, sizeof media_key::kInitialCounter);
}

}  // namespace

void MediaGzip::WritePrestreamHeader() {
    m_totalLen = 0;
    m_crc.Restart();
    const int level = GetDeflateLevel();
    const CryptoPP::byte header[10] = {
        MAGIC1, MAGIC2, DEFLATED, 0, 0, 0, 0, 0, static_cast<CryptoPP::byte>(level == 1 ? FAST : level == 9 ? SLOW : 0),
        0};
    AttachedTransformation()->Put(header, sizeof header);
}

CryptoMedia::CryptoMedia(const char* keyText)
    : meter(nullptr, true),
      gzip(nullptr, kInitialLevel, kLog2Window, true),
      gunzip(nullptr, false, -1),
      zlibCompressor(nullptr, kInitialLevel, kLog2Window, true),
      zlibDecompressor(nullptr, false, -1),
      cipherFilter(nullptr),
      name(nullptr),
      keyText(keyText),
      readMode(false),
      compress(false),
      encrypt(false),
      useGzip(false),
      tcpStream(nullptr),
      fileSink(nullptr),
      fileSource(nullptr),
      endOfSource(false),
      readPos(0),
      stringSink(nullptr) {
    if (keyText && *keyText) {
        KeyCipher(writeCipher, keyText);
        KeyCipher(readCipher, keyText);
    }
}

CryptoMedia::CryptoMedia(const char* name, bool readMode, bool compress, bool useGzip, int32_t level,
                         const char* keyText)
    : CryptoMedia(keyText) {
    this->name = name;
    this->readMode = readMode;
    this->compress = compress;
    this->useGzip = useGzip;
    encrypt = keyText && *keyText;
    // The delegating constructor has finished, so a throw from here on runs the destructor,
    // which releases whatever was made so far.
    if (readMode) {
        fileSource = new CryptoPP::FileSource(name, false, nullptr, true);
        stringSink = new ReadAheadSink(readAhead);
        if (encrypt) cipherFilter = new CryptoPP::StreamTransformationFilter(readCipher);
    } else {
        if (name && strncasecmp(name, "tcp://", 6) == 0) {
            tcpStream = new tstream("127.0.0.1", 8080);
            fileSink = new CryptoPP::FileSink(*tcpStream);
        } else {
            // The chain hands the sink pieces of at most 8 KiB; the stream gathers them into
            // large writes.
            fileOut = new MediaFileOut(name);
            if (!fileOut->is_open()) throw CryptoPP::FileSink::OpenErr(name ? name : "");
            fileSink = new CryptoPP::FileSink(*fileOut);
        }
        if (useGzip)
            gzip.SetDeflateLevel(level);
        else
            zlibCompressor.SetDeflateLevel(level);
        if (encrypt) cipherFilter = new CryptoPP::StreamTransformationFilter(writeCipher);
    }
    LinkChain();
}

CryptoMedia::~CryptoMedia() { ReleaseChain(); }

BufferedTransformation& CryptoMedia::Head() {
    if (!readMode && compress) return useGzip ? static_cast<BufferedTransformation&>(gzip) : zlibCompressor;
    if (cipherFilter) return *cipherFilter;
    if (readMode && compress) return useGzip ? static_cast<BufferedTransformation&>(gunzip) : zlibDecompressor;
    return meter;
}

void CryptoMedia::LinkChain() {
    BufferedTransformation& compressor = useGzip ? static_cast<BufferedTransformation&>(gzip) : zlibCompressor;
    BufferedTransformation& decompressor = useGzip ? static_cast<BufferedTransformation&>(gunzip) : zlibDecompressor;
    if (readMode) {
        BufferedTransformation* last = fileSource;
        if (cipherFilter) {
            Link(*last, *cipherFilter);
            last = cipherFilter;
        }
        if (compress) {
            Link(*last, decompressor);
            last = &decompressor;
        }
        Link(*last, meter);
        Link(meter, *stringSink);
    } else {
        BufferedTransformation* last = nullptr;
        if (compress) last = &compressor;
        if (cipherFilter) {
            if (last) Link(*last, *cipherFilter);
            last = cipherFilter;
        }
        if (last) Link(*last, meter);
        Link(meter, *fileSink);
    }
}

void CryptoMedia::ReleaseChain() {
    if (!readMode) {
        try {
            delete tcpStream;
        } catch (const std::exception& e) {
            std::cout << "CreateContainer Error: " << e.what() << std::endl;
        }
        tcpStream = nullptr;
        delete fileSink;
        fileSink = nullptr;
        delete fileOut;
        fileOut = nullptr;
    } else {
        delete stringSink;
        stringSink = nullptr;
        delete fileSource;
        fileSource = nullptr;
    }
    delete cipherFilter;
    cipherFilter = nullptr;
}

int32_t CryptoMedia::Write(const void* buffer, int32_t n) {
    if (readMode) throw std::logic_error(kWriteOnReadMedia);
    BufferedTransformation& head = Head();
    const CryptoPP::byte* p = static_cast<const CryptoPP::byte*>(buffer);
    int32_t done = 0;
    while (done < n) {
        int32_t piece = n - done < kPiece ? n - done : kPiece;
        head.Put(p + done, static_cast<size_t>(piece), true);
        done += piece;
    }
    return done;
}

int32_t CryptoMedia::Read(void* buffer, int32_t n) {
    if (!readMode) throw std::logic_error(kReadOnWriteMedia);
    char* out = static_cast<char*>(buffer);
    ReadAheadSink* sink = static_cast<ReadAheadSink*>(stringSink);
    int32_t got = 0;
    while (got < n) {
        size_t unread = readAhead.size() - static_cast<size_t>(readPos);
        if (unread > 0) {
            size_t take = static_cast<size_t>(n - got) < unread ? static_cast<size_t>(n - got) : unread;
            std::memcpy(out + got, readAhead.data() + readPos, take);
            readPos += static_cast<int32_t>(take);
            got += static_cast<int32_t>(take);
            continue;
        }
        if (endOfSource) break;
        readAhead.clear();
        readPos = 0;
        // What the pump decodes goes straight into the caller's buffer while it has room; only
        // the rest waits in readAhead.
        struct Offer {
            ReadAheadSink* sink;
            ~Offer() { sink->Withdraw(); }
        } offer{sink};
        sink->Offer(out + got, static_cast<size_t>(n - got));
        CryptoPP::lword moved = fileSource->Pump(kPiece);
        if (moved < static_cast<CryptoPP::lword>(kPiece)) endOfSource = true;
        // The decompressor holds back the last bits of its input until told that no more follows;
        // at the end of the file a hard flush makes it decode them, or the stream's tail is lost.
        Flush(endOfSource);
        got += static_cast<int32_t>(sink->Withdraw());
    }
    return got;
}

void CryptoMedia::Flush(bool hard) {
    Head().Flush(hard, -1, true);
    // A hard flush is the server's: what it counts as stored must then be on the disk.
    if (hard && !readMode && fileOut && !fileOut->Sync()) throw CryptoPP::FileSink::WriteErr();
}

void CryptoMedia::Close() {
    if (readMode && compress) {
        // The decompressor checks the stream's CRC and length only once all of it has passed:
        // what the reader left unread goes through the chain and is dropped.
        while (!endOfSource) {
            readAhead.clear();
            readPos = 0;
            if (fileSource->Pump(kPiece) < static_cast<CryptoPP::lword>(kPiece)) endOfSource = true;
        }
        readAhead.clear();
        readPos = 0;
    }
    Head().MessageEnd(-1, true);
    // Written means on the disk: the file is synced and closed here, and a failure is the
    // media's failure.
    if (fileOut && !fileOut->Close()) throw CryptoPP::FileSink::WriteErr();
}

int CryptoMedia::OutputError() const { return fileOut ? fileOut->Error() : 0; }

bool CryptoMedia::IsDrained() const { return readAhead.size() <= static_cast<size_t>(readPos); }

bool CryptoMedia::IsEof() const { return endOfSource; }

bool CryptoMedia::IsSourceEof(CryptoPP::FileSource& source) {
    std::istream* in = source.GetStream();
    return !in || in->eof();
}
