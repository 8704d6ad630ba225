#include "media/MediaStreams.h"

#include "platform/win32/win32.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// Large writes keep the per-call cost of the file system below the cost of the copy.
const size_t kFileBuffer = 1 << 20;
}  // namespace

size_t ReadAheadSink::Put2(const CryptoPP::byte* in, size_t length, int, bool) {
    // Signals arrive as empty puts, possibly without a pointer.
    if (length == 0) return 0;
    if (direct_ && filled_ < room_) {
        size_t n = length < room_ - filled_ ? length : room_ - filled_;
        std::memcpy(direct_ + filled_, in, n);
        filled_ += n;
        in += n;
        length -= n;
    }
    if (length) readAhead_->append(reinterpret_cast<const char*>(in), length);
    return 0;
}

MediaFileOut::Buf::Buf(const char* path) : fd(-1), error(0) {
    fd = path ? ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666) : -1;
    if (fd >= 0) {
        space.resize(kFileBuffer);
        setp(space.data(), space.data() + space.size());
    } else {
        error = path ? errno : EINVAL;
    }
}

MediaFileOut::Buf::~Buf() {
    if (fd >= 0) {
        Drain();
        ::close(fd);
    }
}

void MediaFileOut::Buf::Failed(int err) {
    if (!error) error = err ? err : EIO;
}

bool MediaFileOut::Buf::WriteAll(const char* p, size_t n) {
    while (n) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            Failed(w < 0 ? errno : EIO);
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool MediaFileOut::Buf::Sync() {
    if (fd < 0) return false;
    bool ok = Drain();
    if (_commit(fd) != 0) {
        Failed(errno);
        ok = false;
    }
    return ok && !error;
}

bool MediaFileOut::Buf::Close() {
    if (fd < 0) return false;
    bool ok = Sync();
    if (::close(fd) != 0) {
        Failed(errno);
        ok = false;
    }
    fd = -1;
    return ok && !error;
}

bool MediaFileOut::Buf::Drain() {
    if (fd < 0) return false;
    size_t n = static_cast<size_t>(pptr() - pbase());
    setp(space.data(), space.data() + space.size());
    return WriteAll(space.data(), n);
}

MediaFileOut::Buf::int_type MediaFileOut::Buf::overflow(int_type c) {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize MediaFileOut::Buf::xsputn(const char* s, std::streamsize n) {
    if (fd < 0) return 0;
    size_t len = static_cast<size_t>(n);
    if (len <= static_cast<size_t>(epptr() - pptr())) {
        std::memcpy(pptr(), s, len);
        pbump(static_cast<int>(len));
        return n;
    }
    if (!Drain()) return 0;
    if (len >= space.size()) return WriteAll(s, len) ? n : 0;
    std::memcpy(pptr(), s, len);
    pbump(static_cast<int>(len));
    return n;
}

int MediaFileOut::Buf::sync() { return Drain() ? 0 : -1; }

MediaFileOut::MediaFileOut(const char* path) : std::ostream(nullptr), buf_(path) {
    rdbuf(&buf_);
    if (!is_open()) setstate(std::ios_base::failbit);
}

MediaFileOut::~MediaFileOut() {}
