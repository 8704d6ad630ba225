// Whole-file and in-memory conversions to and from the media encoding.
#include <cstring>
#include <iostream>

#include <cryptopp/queue.h>

#include "media/CryptoMedia.h"
#include "media/MediaKey.h"

using CryptoPP::BufferedTransformation;
using CryptoPP::Redirector;

namespace {

const CryptoPP::lword kFilePump = 8192;
const size_t kEncryptStep = 16;
const size_t kDecryptStep = 4096;
const size_t kTextProgressEvery = 10 * 1024 * 1024;

void Link(BufferedTransformation& from, BufferedTransformation& to) { from.Attach(new Redirector(to)); }

void PrintProgress(const CryptoPP::MeterFilter& meter) {
    std::cout << "Processed: " << meter.GetTotalBytes() << std::endl;
}

// Pumps the source in fixed pieces until its file is exhausted, soft-flushing the chain's first
// filter after each, then ends the message at 'last'.
void PumpFile(CryptoPP::FileSource& source, BufferedTransformation& first, BufferedTransformation& last,
              const CryptoPP::MeterFilter& meter) {
    while (!CryptoMedia::IsSourceEof(source) && !source.SourceExhausted()) {
        source.Pump(kFilePump);
        first.Flush(false, -1, true);
        PrintProgress(meter);
    }
    last.MessageEnd(-1, true);
}

typedef CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption TextCipher;

void KeyTextCipher(TextCipher& cipher) {
    CryptoPP::byte key[media_key::kKeySize];
    CryptoPP::byte counter[media_key::kBlockSize];
    std::memset(key, media_key::kTextFill, sizeof key);
    std::memset(counter, media_key::kTextFill, sizeof counter);
    cipher.SetKeyWithIV(key, sizeof key, counter, sizeof counter);
}

enum class Progress { kOnceAtEnd, kEveryStep, kEvery10MiB };

// source -> head -> second -> meter -> sink, stepping through the input in fixed steps.
// Move(done) moves the next step from the source into head.
template <class MoveStep>
void RunSteps(size_t length, size_t step, Progress progress, BufferedTransformation& head,
              const CryptoPP::MeterFilter& meter, MoveStep move) {
    for (size_t done = 0; done < length;) {
        move();
        head.Flush(false, -1, true);
        done += step;
        if (progress == Progress::kEveryStep || (progress == Progress::kEvery10MiB && done % kTextProgressEvery == 0))
            PrintProgress(meter);
    }
    if (progress == Progress::kOnceAtEnd) PrintProgress(meter);
    head.MessageEnd(-1, true);
}

void ConvertQueue(const std::string& in, std::string& out, bool encrypting) {
    TextCipher cipher;
    KeyTextCipher(cipher);
    CryptoPP::ByteQueue queue;
    queue.Put(reinterpret_cast<const CryptoPP::byte*>(in.data()), in.size());
    MediaGzip gzip(nullptr, 6, 15, true);
    CryptoPP::Gunzip gunzip;
    CryptoPP::StreamTransformationFilter cipherFilter(cipher);
    CryptoPP::MeterFilter meter(nullptr, true);
    CryptoPP::StringSink sink(out);
    BufferedTransformation& head = encrypting ? static_cast<BufferedTransformation&>(gzip) : cipherFilter;
    BufferedTransformation& second = encrypting ? static_cast<BufferedTransformation&>(cipherFilter) : gunzip;
    Link(head, second);
    Link(second, meter);
    Link(meter, sink);
    const size_t step = encrypting ? kEncryptStep : kDecryptStep;
    RunSteps(in.size(), step, encrypting ? Progress::kOnceAtEnd : Progress::kEveryStep, head, meter,
             [&] { queue.TransferTo(head, step); });
}

void ConvertText(const std::string& in, std::string& out, bool encrypting) {
    TextCipher cipher;
    KeyTextCipher(cipher);
    CryptoPP::StringSource source(in, false);
    MediaGzip gzip(nullptr, 6, 15, true);
    CryptoPP::Gunzip gunzip;
    CryptoPP::StreamTransformationFilter cipherFilter(cipher);
    CryptoPP::MeterFilter meter(nullptr, true);
    CryptoPP::StringSink sink(out);
    BufferedTransformation& head = encrypting ? static_cast<BufferedTransformation&>(gzip) : cipherFilter;
    BufferedTransformation& second = encrypting ? static_cast<BufferedTransformation&>(cipherFilter) : gunzip;
    Link(source, head);
    Link(head, second);
    Link(second, meter);
    Link(meter, sink);
    const size_t step = encrypting ? kEncryptStep : kDecryptStep;
    RunSteps(in.size(), step, Progress::kEvery10MiB, head, meter, [&] { source.Pump(step); });
}

}  // namespace

void CryptoMedia::EncryptFile(const char* inPath, const char* outPath, bool compress, bool encrypt) {
    if (!keyText || !*keyText) encrypt = false;
    CryptoPP::FileSource source(inPath, false, nullptr, true);
    CryptoPP::FileSink sink(outPath, true);
    CryptoPP::StreamTransformationFilter cipher(writeCipher);
    BufferedTransformation* last = &source;
    if (compress) {
        Link(*last, gzip);
        last = &gzip;
    }
    if (encrypt) {
        Link(*last, cipher);
        last = &cipher;
    }
    Link(*last, meter);
    Link(meter, sink);
    BufferedTransformation& head = compress  ? static_cast<BufferedTransformation&>(gzip)
                                   : encrypt ? static_cast<BufferedTransformation&>(cipher)
                                             : meter;
    PumpFile(source, head, head, meter);
}

void CryptoMedia::DecryptFile(const char* inPath, const char* outPath, bool decompress, bool decrypt) {
    if (!keyText || !*keyText) decrypt = false;
    CryptoPP::FileSource source(inPath, false, nullptr, true);
    CryptoPP::FileSink sink(outPath, true);
    CryptoPP::StreamTransformationFilter cipher(readCipher);
    BufferedTransformation* last = &source;
    if (decrypt) {
        Link(*last, cipher);
        last = &cipher;
    }
    if (decompress) {
        Link(*last, gunzip);
        last = &gunzip;
    }
    Link(*last, meter);
    Link(meter, sink);
    BufferedTransformation& first = decrypt      ? static_cast<BufferedTransformation&>(cipher)
                                    : decompress ? static_cast<BufferedTransformation&>(gunzip)
                                                 : meter;
    // The cipher holds nothing back in counter mode, so the end can start at the decompressor.
    BufferedTransformation& end = decompress ? static_cast<BufferedTransformation&>(gunzip) : first;
    PumpFile(source, first, end, meter);
}

void EncryptStream(void*, std::string in, std::string& out) { ConvertQueue(in, out, true); }
void DecryptStream(void*, std::string in, std::string& out) { ConvertQueue(in, out, false); }
void EncryptText(void*, std::string in, std::string& out) { ConvertText(in, out, true); }
void DecryptText(void*, std::string in, std::string& out) { ConvertText(in, out, false); }
