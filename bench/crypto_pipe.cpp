// The bare Crypto++ pipeline a media file is written through (gzip, AES-128-CTR, file), fed a
// raw backup stream in transfer-sized pieces: the yardstick the backup runs are measured by.
//
//   crypto_pipe [--gzip] [--aes] [--level L] [--chunk BYTES] [--threads N] IN OUT
//
// With --threads N the input is cut into N equal slices, each through a pipeline of its own on
// its own thread into OUT.1 .. OUT.N (as N streams of a backup would be). Prints the seconds.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <cryptopp/aes.h>
#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/gzip.h>
#include <cryptopp/modes.h>

namespace {

struct Options {
    bool gzip = false, aes = false;
    unsigned level = 4;
    size_t chunk = 524288;
    unsigned threads = 1;
    std::string in, out;
};

// One slice [from, to) of the input through its own chain into `out`; false on a read error.
bool RunSlice(const Options& o, off_t from, off_t to, const std::string& out) {
    int fd = ::open(o.in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const CryptoPP::byte key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const CryptoPP::byte iv[16] = {0};
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher;
    cipher.SetKeyWithIV(key, sizeof key, iv, sizeof iv);
    // Each stage owns the next one, as a Crypto++ chain is usually built.
    CryptoPP::BufferedTransformation* chain = new CryptoPP::FileSink(out.c_str(), true);
    if (o.aes) chain = new CryptoPP::StreamTransformationFilter(cipher, chain);
    if (o.gzip) chain = new CryptoPP::Gzip(chain, o.level);
    std::unique_ptr<CryptoPP::BufferedTransformation> head(chain);
    std::vector<CryptoPP::byte> buf(o.chunk);
    bool ok = true;
    for (off_t at = from; at < to;) {
        size_t want = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(buf.size()), to - at));
        ssize_t n = ::pread(fd, buf.data(), want, at);
        if (n <= 0) {
            ok = false;
            break;
        }
        head->Put(buf.data(), static_cast<size_t>(n));
        at += n;
    }
    head->MessageEnd();
    ::close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--gzip")
            o.gzip = true;
        else if (a == "--aes")
            o.aes = true;
        else if (a == "--level" && hasValue)
            o.level = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--chunk" && hasValue)
            o.chunk = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--threads" && hasValue)
            o.threads = static_cast<unsigned>(std::atoi(argv[++i]));
        else
            files.push_back(a);
    }
    if (files.size() != 2 || o.chunk == 0 || o.threads < 1 || o.level > 9) {
        std::fprintf(stderr, "usage: crypto_pipe [--gzip] [--aes] [--level L] [--chunk BYTES] [--threads N] IN OUT\n");
        return 2;
    }
    o.in = files[0];
    o.out = files[1];
    struct stat st;
    if (::stat(o.in.c_str(), &st) != 0) {
        std::perror(o.in.c_str());
        return 1;
    }
    const off_t size = st.st_size;
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    std::vector<char> ok(o.threads, 0);
    for (unsigned k = 0; k < o.threads; ++k) {
        off_t from = size * k / o.threads, to = size * (k + 1) / o.threads;
        std::string out = o.threads == 1 ? o.out : o.out + "." + std::to_string(k + 1);
        workers.emplace_back([&, k, from, to, out] { ok[k] = RunSlice(o, from, to, out); });
    }
    for (auto& w : workers) w.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (char k : ok)
        if (!k) {
            std::fprintf(stderr, "crypto_pipe: cannot read %s\n", o.in.c_str());
            return 1;
        }
    std::printf("%.3f\n", secs);
    return 0;
}
