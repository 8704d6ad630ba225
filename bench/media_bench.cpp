// Throughput of the backup media chains against the same Crypto++ stages used directly and
// against the standard command-line tools, on page-like data.
//
//   media_bench [--mib N] [--buffer BYTES] [--level L] [--reps R] [--dir FOLDER]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <cryptopp/aes.h>
#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/gzip.h>
#include <cryptopp/modes.h>

#include "media/CryptoMedia.h"
#include "media/MediaKey.h"

namespace {

using Clock = std::chrono::steady_clock;
const char kKey[] = "bench pass phrase";

struct Options {
    size_t mib = 256;
    size_t buffer = 64 * 1024;
    int level = 4;
    int reps = 3;
    std::string dir;
};

struct Mix {
    size_t text = 0, random = 0, zero = 0;
};

// 8 KiB pages: half text-like rows, a quarter random, a quarter zero.
std::string PageData(size_t bytes, Mix& mix) {
    static const char* kWords[] = {"customer",   "order",  "invoice", "2026-12-10", "NULL",  "shipped",
                                   "status=OK",  "amount", "region",  "north",      "south", "pending",
                                   "0000012345", "EUR",    "USD",     "Kestrel",    "item",  "quantity"};
    std::mt19937_64 rng(1);
    std::string out;
    out.reserve(bytes);
    std::string page;
    while (out.size() < bytes) {
        page.clear();
        uint64_t kind = rng() % 4;
        if (kind == 0) {
            page.assign(8192, '\0');
            ++mix.zero;
        } else if (kind == 1) {
            while (page.size() < 8192) {
                uint64_t r = rng();
                page.append(reinterpret_cast<const char*>(&r), sizeof r);
            }
            ++mix.random;
        } else {
            while (page.size() < 8192) {
                page += kWords[rng() % 18];
                page += (rng() % 8 == 0) ? '\n' : '\t';
                if (rng() % 4 == 0) page += std::to_string(rng() % 100000);
            }
            ++mix.text;
        }
        page.resize(8192);
        out += page;
    }
    out.resize(bytes);
    return out;
}

double Seconds(const std::function<void()>& f) {
    auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double Best(int reps, const std::function<void()>& f) {
    double best = 1e300;
    for (int i = 0; i < reps; ++i) best = std::min(best, Seconds(f));
    return best;
}

// Times a and b in turns, best of reps each; 'before' runs untimed ahead of every run.
void BestOfPairs(int reps, const std::function<void()>& before, const std::function<void()>& a,
                 const std::function<void()>& b, double& bestA, double& bestB) {
    bestA = bestB = 1e300;
    for (int i = 0; i < reps; ++i) {
        before();
        bestA = std::min(bestA, Seconds(a));
        before();
        bestB = std::min(bestB, Seconds(b));
    }
}

size_t FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<size_t>(in.tellg()) : 0;
}

// Hands decoded bytes to the caller in buffers of its size, as a reader of the media would
// get them.
class CallerSink : public CryptoPP::Bufferless<CryptoPP::Sink> {
public:
    explicit CallerSink(size_t size) : buf_(size), used_(0), total_(0) {}
    size_t Put2(const CryptoPP::byte* in, size_t len, int, bool) override {
        while (len) {
            size_t n = std::min(len, buf_.size() - used_);
            std::memcpy(buf_.data() + used_, in, n);
            used_ += n;
            in += n;
            len -= n;
            total_ += n;
            if (used_ == buf_.size()) used_ = 0;
        }
        return 0;
    }
    size_t total() const { return total_; }

private:
    std::vector<char> buf_;
    size_t used_;
    size_t total_;
};

struct Chain {
    const char* name;
    bool compress;
    bool encrypt;
};

void Keyed(CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption& c) {
    uint8_t key[media_key::kKeySize];
    media_key::MakeKey(kKey, key);
    c.SetKeyWithIV(key, sizeof key, media_key::kInitialCounter, sizeof media_key::kInitialCounter);
}

void MediaWrite(const Chain& c, const Options& o, const std::string& data, const std::string& path) {
    CryptoMedia media(path.c_str(), false, c.compress, true, o.level, c.encrypt ? kKey : "");
    for (size_t done = 0; done < data.size(); done += o.buffer)
        media.Write(data.data() + done, static_cast<int32_t>(std::min(o.buffer, data.size() - done)));
    media.Close();
}

size_t MediaRead(const Chain& c, const Options& o, const std::string& path, const std::string* expect) {
    CryptoMedia media(path.c_str(), true, c.compress, true, o.level, c.encrypt ? kKey : "");
    std::vector<char> buf(o.buffer);
    size_t total = 0;
    for (;;) {
        int32_t got = media.Read(buf.data(), static_cast<int32_t>(buf.size()));
        if (expect && (total + got > expect->size() || std::memcmp(buf.data(), expect->data() + total, got) != 0)) {
            std::fprintf(stderr, "media_bench: %s read back wrong bytes at %zu\n", c.name, total);
            std::exit(1);
        }
        total += static_cast<size_t>(got);
        if (got < static_cast<int32_t>(buf.size())) break;
    }
    media.Close();
    return total;
}

// The same stages, each owning the next, fed with the caller's buffers whole.
void RawWrite(const Chain& c, const Options& o, const std::string& data, const std::string& path) {
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher;
    if (c.encrypt) Keyed(cipher);
    CryptoPP::BufferedTransformation* sink = new CryptoPP::FileSink(path.c_str(), true);
    if (c.encrypt) sink = new CryptoPP::StreamTransformationFilter(cipher, sink);
    std::unique_ptr<CryptoPP::BufferedTransformation> head(
        c.compress ? new CryptoPP::Gzip(sink, static_cast<unsigned>(o.level)) : sink);
    for (size_t done = 0; done < data.size(); done += o.buffer)
        head->Put(reinterpret_cast<const CryptoPP::byte*>(data.data()) + done, std::min(o.buffer, data.size() - done));
    head->MessageEnd();
}

size_t RawRead(const Chain& c, const Options& o, const std::string& path) {
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher;
    if (c.encrypt) Keyed(cipher);
    CallerSink* out = new CallerSink(o.buffer);
    CryptoPP::BufferedTransformation* chain = out;
    if (c.compress) chain = new CryptoPP::Gunzip(chain);
    if (c.encrypt) chain = new CryptoPP::StreamTransformationFilter(cipher, chain);
    CryptoPP::FileSource source(path.c_str(), false, chain, true);
    source.PumpAll();
    return out->total();
}

int Run(const std::string& command) {
    int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Hex(const uint8_t* b, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", b[i]);
        s += two;
    }
    return s;
}

double Rate(size_t bytes, double seconds) { return bytes / 1e6 / seconds; }

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--mib")
            o.mib = std::strtoul(argv[i + 1], nullptr, 10);
        else if (a == "--buffer")
            o.buffer = std::strtoul(argv[i + 1], nullptr, 10);
        else if (a == "--level")
            o.level = std::atoi(argv[i + 1]);
        else if (a == "--reps")
            o.reps = std::atoi(argv[i + 1]);
        else if (a == "--dir")
            o.dir = argv[i + 1];
        else {
            std::fprintf(stderr,
                         "usage: media_bench [--mib N] [--buffer BYTES] [--level L] [--reps R] [--dir FOLDER]\n");
            return 2;
        }
    }
    if (o.mib == 0 || o.buffer == 0 || o.reps < 1) return 2;
    bool ownDir = o.dir.empty();
    if (ownDir) {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/media-bench-XXXXXX";
        if (!mkdtemp(&tmpl[0])) return 1;
        o.dir = tmpl;
    }
    Mix mix;
    const std::string data = PageData(o.mib << 20, mix);
    const std::string rawPath = o.dir + "/raw";
    { std::ofstream(rawPath, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size())); }
    std::printf(
        "data: %zu MiB of 8 KiB pages (%zu text-like, %zu random, %zu zero); caller buffer %zu bytes; "
        "gzip level %d; best of %d\n",
        o.mib, mix.text, mix.random, mix.zero, o.buffer, o.level, o.reps);
    std::printf("MB/s of raw stream bytes (1 MB = 10^6 bytes); ratio = media / raw Crypto++ pipeline\n\n");
    std::printf("%-9s %12s %12s %7s   %12s %12s %7s   %10s\n", "chain", "media write", "raw write", "ratio",
                "media read", "raw read", "ratio", "stored MB");
    const Chain chains[] = {
        {"plain", false, false}, {"aes", false, true}, {"gzip", true, false}, {"gzip+aes", true, true}};
    for (const Chain& c : chains) {
        const std::string mediaPath = o.dir + "/media." + c.name;
        const std::string rawOut = o.dir + "/rawpipe." + c.name;
        // Untimed: both stored forms decode to the data.
        MediaWrite(c, o, data, mediaPath);
        MediaRead(c, o, mediaPath, &data);
        RawWrite(c, o, data, rawOut);
        if (RawRead(c, o, rawOut) != data.size() || MediaRead(c, o, rawOut, &data) != data.size()) {
            std::fprintf(stderr, "media_bench: %s: the raw pipeline's file does not read back\n", c.name);
            return 1;
        }
        // Every timed write starts without its file, and the page cache holds no dirty pages of
        // an earlier run, so neither side pays for the other's writeback.
        auto fresh = [&] {
            ::unlink(mediaPath.c_str());
            ::unlink(rawOut.c_str());
            ::sync();
        };
        double mw, rw, mr, rr;
        BestOfPairs(
            o.reps, fresh, [&] { MediaWrite(c, o, data, mediaPath); }, [&] { RawWrite(c, o, data, rawOut); }, mw, rw);
        MediaWrite(c, o, data, mediaPath);
        RawWrite(c, o, data, rawOut);
        BestOfPairs(
            o.reps, [] {}, [&] { MediaRead(c, o, mediaPath, nullptr); }, [&] { RawRead(c, o, rawOut); }, mr, rr);
        std::printf("%-9s %12.0f %12.0f %7.2f   %12.0f %12.0f %7.2f   %10.1f\n", c.name, Rate(data.size(), mw),
                    Rate(data.size(), rw), rw / mw, Rate(data.size(), mr), Rate(data.size(), rr), rr / mr,
                    FileSize(mediaPath) / 1e6);
    }
    uint8_t key[media_key::kKeySize];
    media_key::MakeKey(kKey, key);
    const std::string ctr = "openssl enc -aes-128-ctr -K " + Hex(key, sizeof key) + " -iv " +
                            Hex(media_key::kInitialCounter, sizeof media_key::kInitialCounter);
    const std::string gz = o.dir + "/ext.gz", enc = o.dir + "/ext.ctr";
    struct Tool {
        const char* label;
        std::string command;
    } tools[] = {
        {"gzip -4", "gzip -4 -c < '" + rawPath + "' > '" + gz + "'"},
        {"gzip -d", "gzip -dc < '" + gz + "' > /dev/null"},
        {"openssl enc", ctr + " -in '" + rawPath + "' -out '" + enc + "'"},
        {"openssl enc -d", ctr + " -d -in '" + enc + "' -out /dev/null"},
    };
    std::printf("\n%-15s %12s\n", "tool", "MB/s");
    for (const Tool& t : tools) {
        int rc = 0;
        double s = Best(o.reps, [&] { rc = Run(t.command); });
        if (rc != 0)
            std::printf("%-15s %12s\n", t.label, "failed");
        else
            std::printf("%-15s %12.0f\n", t.label, Rate(data.size(), s));
    }
    std::printf("gzip -4 stored: %.1f MB\n", FileSize(gz) / 1e6);
    if (ownDir) Run("rm -rf '" + o.dir + "'");
    return 0;
}
