#include "media/FileMedia.h"

#include "platform/win32/win32.h"

#include <errno.h>
#include <unistd.h>

namespace {
// zlib's own default buffer is 8 KiB; backup buffers are far larger.
const unsigned kGzBuffer = 256 * 1024;
}  // namespace

FileMedia::FileMedia(const char* name, int32_t mode, int32_t compress, int32_t level, int32_t strategy)
    : file(nullptr), mode(mode), compress(compress), level(level), strategy(strategy), gz(nullptr) {
    file = Open(name);
}

FileMedia::~FileMedia() {
    if (gz) gzclose(gz);
    if (file) std::fclose(file);
}

std::string FileMedia::ModeText(int32_t mode, int32_t compress, int32_t level, int32_t strategy) {
    std::string text = mode == 2 ? "ab" : mode == 1 ? "wb" : "rb";
    if (mode == 1 && level == 0) return text + "T";
    if (compress != 0) {
        if (level >= 1 && level <= 9) text += static_cast<char>('0' + level);
        static const char kStrategy[] = {'f', 'h', 'R', 'F'};
        if (strategy >= 1 && strategy <= 4) text += kStrategy[strategy - 1];
    }
    return text;
}

FILE* FileMedia::Open(const char* name) {
    const std::string text = ModeText(mode, compress, level, strategy);
    // stdio takes "T" as a hint and knows no other zlib letter: the gzip case gives it the base text.
    FILE* f = std::fopen(name, compress == 0 ? text.c_str() : text.substr(0, 2).c_str());
    if (!f || compress == 0) return f;
    // zlib closes the descriptor it is given, and fclose closes ours: each gets its own.
    int fd = ::dup(fileno(f));
    gz = fd < 0 ? nullptr : gzdopen(fd, text.c_str());
    if (!gz) {
        if (fd >= 0) ::close(fd);
        std::fclose(f);
        return nullptr;
    }
    gzbuffer(gz, kGzBuffer);
    return f;
}

int32_t FileMedia::Read(void* buffer, uint32_t n) {
    if (gz) {
        int r = gzread(gz, buffer, n);
        return r < 0 ? 0 : r;
    }
    return static_cast<int32_t>(std::fread(buffer, 1, n, file));
}

int32_t FileMedia::Write(const void* buffer, uint32_t n) {
    if (gz) return n == 0 ? 0 : gzwrite(gz, buffer, n);
    return static_cast<int32_t>(std::fwrite(buffer, 1, n, file));
}

int32_t FileMedia::Flush() {
    const bool writing = mode == 1 || mode == 2;
    if (gz && writing) {
        // A sync point, so that everything written so far can be read back from the file.
        errno = 0;
        if (gzflush(gz, Z_SYNC_FLUSH) != Z_OK) {
            if (!errno) errno = EIO;
            return EOF;
        }
    }
    if (std::fflush(file) != 0) return EOF;
    // The server counts what it flushed as stored: it must be on the disk before it hears so.
    if (writing && _commit(fileno(file)) != 0) return EOF;
    return 0;
}

int32_t FileMedia::Close() {
    // The first failure's errno is the one the caller sees.
    int err = 0;
    auto failed = [&err] {
        if (!err) err = errno ? errno : EIO;
    };
    const bool writing = mode == 1 || mode == 2;
    if (gz) {
        if (!writing) {
            // The stream's CRC and length are checked only once all of it is read: read what the
            // caller left.
            char rest[8192];
            int n;
            while ((n = gzread(gz, rest, sizeof rest)) > 0) {
            }
            int state = Z_OK;
            gzerror(gz, &state);
            if (n < 0 || state != Z_OK) {
                errno = EIO;
                failed();
            }
        }
        if (gzclose(gz) != Z_OK) failed();
        gz = nullptr;
    }
    // Written means on the disk: a file that cannot be synced is not a good media file.
    if (writing && std::ferror(file)) {  // an earlier write or flush failed: its bytes are lost
        errno = EIO;
        failed();
    }
    if (writing && (std::fflush(file) != 0 || _commit(fileno(file)) != 0)) failed();
    if (std::fclose(file) != 0) failed();
    file = nullptr;
    if (!err) return 0;
    errno = err;
    return EOF;
}
