#include "emulator/backup/BackupStream.h"

#include "emulator/backup/Crc32c.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

using kes::vdi::Request;
using kes::vdi::ServerDeviceSet;

namespace sqlemu::backup {

const char* kindName(BackupKind k) { return k == BackupKind::Log ? "LOG" : "DATABASE"; }

namespace {

constexpr uint16_t kTypeHeader = 1;
constexpr uint16_t kTypeData = 2;
constexpr uint16_t kTypeEnd = 3;
constexpr uint32_t kMaxHeaderPayload = 16u << 20;
constexpr uint32_t kEndPayload = 32;
constexpr DWORD kUnsupportedCommand = 99;
// The most a restore holds of families that have run ahead while its records are stalled.
constexpr uint64_t kHardAhead = 1ull << 30;

void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
uint64_t get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

struct RecordHeader {
    uint16_t type = 0;
    std::array<uint8_t, 16> setId{};
    uint16_t family = 0;
    uint16_t familyCount = 0;
    uint32_t payloadLen = 0;
    uint64_t seq = 0;
    uint64_t index = 0;
    uint64_t offset = 0;
    uint32_t fileId = 0;
    uint64_t lsn = 0;
};

void encodeRecord(const RecordHeader& r, uint8_t* out) {
    std::memset(out, 0, kRecordHeaderSize);
    put32(out, kRecordMagic);
    put16(out + 4, r.type);
    put16(out + 6, kFormatVersion);
    std::memcpy(out + 8, r.setId.data(), 16);
    put16(out + 24, r.family);
    put16(out + 26, r.familyCount);
    put32(out + 28, r.payloadLen);
    put64(out + 32, r.seq);
    put64(out + 40, r.index);
    put64(out + 48, r.offset);
    put32(out + 56, r.fileId);
    put64(out + 64, r.lsn);
    put32(out + 76, crc32c(0, out, 76));
}

bool decodeRecord(const uint8_t* in, RecordHeader* r) {
    if (get32(in) != kRecordMagic || get16(in + 6) != kFormatVersion) return false;
    if (get32(in + 76) != crc32c(0, in, 76)) return false;
    r->type = get16(in + 4);
    std::memcpy(r->setId.data(), in + 8, 16);
    r->family = get16(in + 24);
    r->familyCount = get16(in + 26);
    r->payloadLen = get32(in + 28);
    r->seq = get64(in + 32);
    r->index = get64(in + 40);
    r->offset = get64(in + 48);
    r->fileId = get32(in + 56);
    r->lsn = get64(in + 64);
    return true;
}

std::string osErrorText(DWORD code) {
    switch (code) {
        case 38: return "Reached the end of the file.";
        case 50: return "The request is not supported.";
        case 112: return "There is not enough space on the disk.";
        case 1460: return "This operation returned because the timeout period expired.";
        case 995:
            return "The I/O operation has been aborted because of either a thread exit or an application request.";
        default: return "The device reported an error.";
    }
}

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

void setError(StreamError* err, int number, std::string text) {
    if (!err) return;
    err->number = number;
    err->severity = 16;
    err->text = std::move(text);
}

void ioError(StreamError* err, bool write, const std::string& device, DWORD code) {
    setError(
        err, write ? 3202 : 3203,
        fmt("%s on \"%s\" failed: %u(%s)", write ? "Write" : "Read", device.c_str(), code, osErrorText(code).c_str()));
}

void malformed(StreamError* err, const std::string& device) {
    setError(err, 3241,
             fmt("The media family on device '%s' is incorrectly formed. SQL Server cannot process this media "
                 "family.",
                 device.c_str()));
}

// Waits for one command, polling for cancellation. A cancel aborts the set, and so does a client
// that leaves a command unanswered for the command time-out (VD_E_TIMEOUT).
HRESULT waitCommand(ServerDeviceSet& set, Request* ticket, const TransferOptions& opt, DWORD* code, DWORD* bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opt.commandTimeoutMs);
    for (;;) {
        HRESULT hr = set.Wait(ticket, 100, code, bytes);
        if (hr != VD_E_TIMEOUT) return hr;
        if (opt.cancelled && opt.cancelled()) {
            set.Abort();
            return VD_E_ABORT;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            set.Abort();
            return VD_E_TIMEOUT;
        }
    }
}

// The operating-system error a failed wait reports.
DWORD osCodeOf(HRESULT hr) { return hr == VD_E_TIMEOUT ? 1460 : 995; }

// Sends every device an unknown command; the device must answer it as unsupported, and the
// transfer goes on either way.
bool sendUnsupported(ServerDeviceSet& set, const TransferOptions& opt, bool write, StreamError* err) {
    for (DWORD d = 0; d < set.DeviceCount(); ++d) {
        Request* t = nullptr;
        DWORD code = 0, bytes = 0;
        HRESULT hr = set.Submit(d, kUnsupportedCommand, nullptr, 0, 0, &t);
        if (SUCCEEDED(hr)) hr = waitCommand(set, t, opt, &code, &bytes);
        if (FAILED(hr)) {
            ioError(err, write, set.DeviceName(d), osCodeOf(hr));
            return false;
        }
    }
    return true;
}

// ---- writer -----------------------------------------------------------------------------------

class Writer {
public:
    Writer(ServerDeviceSet& set, const TransferOptions& opt, StreamError* err)
        : set_(set), opt_(opt), err_(err), n_(set.DeviceCount()), fam_(n_) {
        size_t count = std::max<size_t>(opt.bufferCount, n_ + 1);
        for (size_t i = 0; i < count; ++i) {
            Slot s;
            s.buf = set.AllocateBuffer(opt.maxTransferSize);
            slots_.push_back(s);
            free_.push_back(static_cast<int>(i));
        }
    }

    bool ok() const {
        return std::all_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.buf != nullptr; });
    }

    // Appends bytes to family f's stream.
    bool put(DWORD f, const uint8_t* p, size_t len, uint32_t* crc = nullptr) {
        while (len) {
            uint8_t* dst;
            size_t take;
            if (!room(f, &dst, &take, len)) return false;
            std::memcpy(dst, p, take);
            if (crc) *crc = crc32c(*crc, dst, take);
            if (!advance(f, take)) return false;
            p += take;
            len -= take;
        }
        return true;
    }

    // Appends `len` bytes of an extent, read straight into the command buffers.
    bool putExtent(DWORD f, const Extent& e, uint64_t within, size_t len, const ExtentReader& read, uint32_t* crc) {
        while (len) {
            uint8_t* dst;
            size_t take;
            if (!room(f, &dst, &take, len)) return false;
            if (!read(e, within, dst, take, err_)) return false;
            *crc = crc32c(*crc, dst, take);
            if (!advance(f, take)) return false;
            within += take;
            len -= take;
        }
        return true;
    }

    // Pads family f to the block size and sends its last buffer.
    bool finishFamily(DWORD f, uint32_t blockSize) {
        static const uint8_t zeros[4096] = {};
        if (blockSize > 1) {
            uint64_t pad = (blockSize - fam_[f].total % blockSize) % blockSize;
            while (pad) {
                size_t take = std::min<uint64_t>(pad, sizeof zeros);
                if (!put(f, zeros, take)) return false;
                pad -= take;
            }
        }
        return fam_[f].slot < 0 || submit(f);
    }

    bool drain() {
        while (!submitted_.empty())
            if (!waitOldest()) return false;
        return true;
    }

    uint64_t total(DWORD f) const { return fam_[f].total; }

private:
    struct Slot {
        uint8_t* buf = nullptr;
        Request* ticket = nullptr;
        DWORD device = 0;
        DWORD size = 0;
    };
    struct Family {
        int slot = -1;
        uint32_t fill = 0;
        uint64_t total = 0;  // bytes of the stream so far
        uint64_t sent = 0;   // bytes handed to the device
    };

    // Before the writer waits for the device side, it sends the buffers it has begun (within the
    // limit of outstanding commands): the reader of a stream that goes straight into a restore may
    // need those bytes to finish the record it waits for.
    bool sendBegun() {
        if (sending_) return true;
        sending_ = true;
        bool ok = true;
        for (DWORD g = 0; g < n_ && ok; ++g)
            if (fam_[g].slot >= 0 && fam_[g].fill > 0) ok = submit(g);
        sending_ = false;
        return ok;
    }

    bool room(DWORD f, uint8_t** dst, size_t* take, size_t want) {
        Family& fm = fam_[f];
        if (fm.slot < 0) {
            if (free_.empty() && (!sendBegun() || (free_.empty() && !waitOldest()))) return false;
            fm.slot = free_.front();
            free_.pop_front();
            fm.fill = 0;
        }
        *dst = slots_[fm.slot].buf + fm.fill;
        *take = std::min<size_t>(want, opt_.maxTransferSize - fm.fill);
        return true;
    }

    bool advance(DWORD f, size_t took) {
        Family& fm = fam_[f];
        fm.fill += static_cast<uint32_t>(took);
        fm.total += took;
        return fm.fill < opt_.maxTransferSize || submit(f);
    }

    bool submit(DWORD f) {
        Family& fm = fam_[f];
        int s = fm.slot;
        fm.slot = -1;
        DWORD size = fm.fill;
        if (static_cast<int>(f) == opt_.faults.stopDevice) {
            uint64_t left = opt_.faults.stopAfterBytes > fm.sent ? opt_.faults.stopAfterBytes - fm.sent : 0;
            size = static_cast<DWORD>(std::min<uint64_t>(size, left));
        }
        if (size == 0) {
            free_.push_back(s);
            return true;
        }
        while (submitted_.size() >= (opt_.bufferCount ? opt_.bufferCount : n_)) {
            if (!sendBegun() || !waitOldest()) {
                free_.push_back(s);
                return false;
            }
        }
        fm.sent += size;
        Slot& slot = slots_[s];
        slot.device = f;
        slot.size = size;
        HRESULT hr = set_.Submit(f, VDC_Write, slot.buf, size, 0, &slot.ticket);
        if (FAILED(hr)) {
            ioError(err_, true, set_.DeviceName(f), 995);
            free_.push_back(s);
            return false;
        }
        submitted_.push_back(s);
        return true;
    }

    bool waitOldest() {
        int s = submitted_.front();
        submitted_.pop_front();
        Slot& slot = slots_[s];
        DWORD code = 0, bytes = 0;
        HRESULT hr = waitCommand(set_, slot.ticket, opt_, &code, &bytes);
        slot.ticket = nullptr;
        if (FAILED(hr)) {
            ioError(err_, true, set_.DeviceName(slot.device), osCodeOf(hr));
            return false;
        }
        if (code != ERROR_SUCCESS || bytes != slot.size) {
            ioError(err_, true, set_.DeviceName(slot.device), code != ERROR_SUCCESS ? code : ERROR_DISK_FULL);
            return false;
        }
        free_.push_back(s);
        return true;
    }

    ServerDeviceSet& set_;
    const TransferOptions& opt_;
    StreamError* err_;
    DWORD n_;
    std::vector<Family> fam_;
    std::vector<Slot> slots_;
    std::deque<int> free_;
    std::deque<int> submitted_;
    bool sending_ = false;
};

// How the extents are cut into data records: record i goes to family i mod n, and its length
// is chosen so that it ends where a command buffer of its family ends, as long as the buffers are
// filled one after the other. So a full buffer holds whole records and is sent at once.
struct Cut {
    size_t extent;
    uint64_t within;
    uint64_t length;
};

std::vector<Cut> planRecords(const std::vector<Extent>& extents, DWORD n, uint32_t maxTransfer, uint64_t headerRecord) {
    const uint64_t overhead = kRecordHeaderSize + 4;
    std::vector<uint64_t> fill(n, headerRecord % maxTransfer);
    std::vector<Cut> cuts;
    uint64_t index = 0;
    for (size_t i = 0; i < extents.size(); ++i) {
        for (uint64_t within = 0; within < extents[i].length; ++index) {
            uint64_t& f = fill[index % n];
            uint64_t room = maxTransfer - f;
            uint64_t fits = room > overhead ? room - overhead : room + maxTransfer - overhead;
            uint64_t len = std::min(fits, extents[i].length - within);
            cuts.push_back({i, within, len});
            f = (f + overhead + len) % maxTransfer;
            within += len;
        }
    }
    return cuts;
}

bool putRecord(Writer& w, DWORD f, RecordHeader r, const std::string& payload) {
    uint8_t head[kRecordHeaderSize];
    r.payloadLen = static_cast<uint32_t>(payload.size());
    encodeRecord(r, head);
    uint8_t crc[4];
    put32(crc, crc32c(0, payload.data(), payload.size()));
    return w.put(f, head, sizeof head) && w.put(f, reinterpret_cast<const uint8_t*>(payload.data()), payload.size()) &&
           w.put(f, crc, 4);
}

bool checkAbortFault(ServerDeviceSet& set, const TransferOptions& opt, uint64_t done, uint64_t total, bool write,
                     StreamError* err) {
    int p = opt.faults.abortAtPercent;
    if (p < 0) return true;
    if (total ? done * 100 < total * static_cast<uint64_t>(p) : p > 0) return true;
    set.Abort();
    ioError(err, write, set.DeviceName(0), 995);
    return false;
}

}  // namespace

// ---- set header ---------------------------------------------------------------------------------

namespace {
void putStr(std::string& out, const std::string& s) {
    uint8_t n[4];
    put32(n, static_cast<uint32_t>(s.size()));
    out.append(reinterpret_cast<char*>(n), 4);
    out += s;
}
template <class T>
void putNum(std::string& out, T v) {
    uint8_t b[8];
    put64(b, static_cast<uint64_t>(v));
    out.append(reinterpret_cast<char*>(b), 8);
}

struct In {
    const uint8_t* p;
    size_t left;
    bool ok = true;
    uint64_t num() {
        if (left < 8) return ok = false, 0;
        uint64_t v = get64(p);
        p += 8;
        left -= 8;
        return v;
    }
    std::string str() {
        if (left < 4) return ok = false, std::string();
        uint32_t n = get32(p);
        p += 4;
        left -= 4;
        if (n > left) return ok = false, std::string();
        std::string s(reinterpret_cast<const char*>(p), n);
        p += n;
        left -= n;
        return s;
    }
};
}  // namespace

std::string encodeHeader(const SetHeader& h) {
    std::string out;
    out.append(reinterpret_cast<const char*>(h.setId.data()), 16);
    putNum(out, static_cast<uint64_t>(h.kind));
    putNum(out, h.familyCount);
    putNum(out, h.flags);
    putNum(out, h.blockSize);
    putNum(out, h.firstLsn);
    putNum(out, h.lastLsn);
    putNum(out, h.databaseBackupLsn);
    putNum(out, h.createdUnix);
    putNum(out, h.dataRecords);
    putNum(out, h.dataBytes);
    putStr(out, h.database);
    putStr(out, h.familyGuid);
    putStr(out, h.serverName);
    putStr(out, h.certificate);
    putNum(out, h.files.size());
    for (const FileEntry& f : h.files) {
        putNum(out, f.fileId);
        putNum(out, static_cast<int64_t>(f.groupId));
        putStr(out, f.logicalName);
        putStr(out, f.physicalPath);
        putNum(out, f.sizeBytes);
    }
    putNum(out, h.props.size());
    for (const auto& kv : h.props) {
        putStr(out, kv.first);
        putStr(out, kv.second);
    }
    return out;
}

bool decodeHeader(const uint8_t* data, size_t len, SetHeader* out) {
    if (len < 16) return false;
    SetHeader h;
    std::memcpy(h.setId.data(), data, 16);
    In in{data + 16, len - 16};
    uint64_t kind = in.num();
    if (kind < 1 || kind > 3) return false;
    h.kind = static_cast<BackupKind>(kind);
    h.familyCount = static_cast<uint16_t>(in.num());
    h.flags = static_cast<uint32_t>(in.num());
    h.blockSize = static_cast<uint32_t>(in.num());
    h.firstLsn = in.num();
    h.lastLsn = in.num();
    h.databaseBackupLsn = in.num();
    h.createdUnix = in.num();
    h.dataRecords = in.num();
    h.dataBytes = in.num();
    h.database = in.str();
    h.familyGuid = in.str();
    h.serverName = in.str();
    h.certificate = in.str();
    uint64_t files = in.num();
    if (!in.ok || files > 32767) return false;
    for (uint64_t i = 0; i < files && in.ok; ++i) {
        FileEntry f;
        f.fileId = static_cast<uint32_t>(in.num());
        f.groupId = static_cast<int32_t>(static_cast<int64_t>(in.num()));
        f.logicalName = in.str();
        f.physicalPath = in.str();
        f.sizeBytes = in.num();
        h.files.push_back(std::move(f));
    }
    uint64_t props = in.num();
    if (!in.ok || props > 100000) return false;
    for (uint64_t i = 0; i < props && in.ok; ++i) {
        std::string k = in.str();
        h.props[k] = in.str();
    }
    if (!in.ok || in.left != 0) return false;
    *out = std::move(h);
    return true;
}

// ---- writing --------------------------------------------------------------------------------------

bool writeBackupSet(ServerDeviceSet& set, SetHeader header, const std::vector<Extent>& extents,
                    const ExtentReader& read, const TransferOptions& opt, StreamError* err) {
    const DWORD n = set.DeviceCount();
    if (opt.maxTransferSize <= kRecordHeaderSize + 4) {
        setError(err, 3250, "The value is not within range for the MAXTRANSFERSIZE parameter.");
        return false;
    }
    header.familyCount = static_cast<uint16_t>(n);
    header.blockSize = opt.blockSize;
    header.dataRecords = 0;
    header.dataBytes = 0;
    for (const Extent& e : extents) header.dataBytes += e.length;
    // The set header's size does not depend on the counts it carries.
    const uint64_t headerRecord = kRecordHeaderSize + encodeHeader(header).size() + 4;
    const std::vector<Cut> cuts = planRecords(extents, n, opt.maxTransferSize, headerRecord);
    header.dataRecords = cuts.size();
    Writer w(set, opt, err);
    if (!w.ok()) {
        setError(err, 701, "There is insufficient system memory in resource pool 'default' to run this query.");
        return false;
    }
    if (opt.faults.unsupportedCommand && !sendUnsupported(set, opt, true, err)) return false;

    const std::string headerPayload = encodeHeader(header);
    for (DWORD f = 0; f < n; ++f) {
        RecordHeader r;
        r.type = kTypeHeader;
        r.setId = header.setId;
        r.family = static_cast<uint16_t>(f + 1);
        r.familyCount = static_cast<uint16_t>(n);
        if (!putRecord(w, f, r, headerPayload)) return false;
    }

    std::vector<uint64_t> seq(n, 0), famRecords(n, 0), famBytes(n, 0);
    uint64_t index = 0, done = 0;
    if (!checkAbortFault(set, opt, 0, header.dataBytes, true, err)) return false;
    for (const Cut& cut : cuts) {
        {
            const Extent& e = extents[cut.extent];
            const uint64_t within = cut.within;
            DWORD f = static_cast<DWORD>(index % n);
            uint64_t len = cut.length;
            RecordHeader r;
            r.type = kTypeData;
            r.setId = header.setId;
            r.family = static_cast<uint16_t>(f + 1);
            r.familyCount = static_cast<uint16_t>(n);
            r.payloadLen = static_cast<uint32_t>(len);
            r.seq = ++seq[f];
            r.index = index;
            r.offset = e.offset + within;
            r.fileId = e.fileId;
            r.lsn = e.lsn;
            uint8_t head[kRecordHeaderSize];
            encodeRecord(r, head);
            uint32_t crc = 0;
            uint8_t tail[4];
            if (!w.put(f, head, sizeof head)) return false;
            if (!w.putExtent(f, e, within, len, read, &crc)) return false;
            put32(tail, crc);
            if (!w.put(f, tail, 4)) return false;
            ++famRecords[f];
            famBytes[f] += len;
            done += len;
            ++index;
            if (opt.progress) opt.progress(done, header.dataBytes);
            if (!checkAbortFault(set, opt, done, header.dataBytes, true, err)) return false;
        }
    }

    for (DWORD f = 0; f < n; ++f) {
        RecordHeader r;
        r.type = kTypeEnd;
        r.setId = header.setId;
        r.family = static_cast<uint16_t>(f + 1);
        r.familyCount = static_cast<uint16_t>(n);
        r.seq = ++seq[f];
        std::string end(kEndPayload, '\0');
        auto* p = reinterpret_cast<uint8_t*>(&end[0]);
        put64(p, famRecords[f]);
        put64(p + 8, famBytes[f]);
        put64(p + 16, header.dataRecords);
        put64(p + 24, header.dataBytes);
        if (!putRecord(w, f, r, end) || !w.finishFamily(f, header.blockSize)) return false;
    }
    if (!w.drain()) return false;
    // The flushes go out side by side, as many at a time as commands may be outstanding: a
    // client's flush may take a while (finishing its media), and the devices finish together.
    const size_t window = opt.bufferCount ? opt.bufferCount : n;
    std::deque<std::pair<DWORD, Request*>> flushing;
    auto waitFlush = [&]() {
        auto [f, t] = flushing.front();
        flushing.pop_front();
        DWORD code = 0, bytes = 0;
        HRESULT hr = waitCommand(set, t, opt, &code, &bytes);
        if (FAILED(hr)) {
            ioError(err, true, set.DeviceName(f), osCodeOf(hr));
            return false;
        }
        if (code != ERROR_SUCCESS) {
            ioError(err, true, set.DeviceName(f), code);
            return false;
        }
        return true;
    };
    for (DWORD f = 0; f < n; ++f) {
        while (flushing.size() >= window)
            if (!waitFlush()) return false;
        Request* t = nullptr;
        HRESULT hr = set.Submit(f, VDC_Flush, nullptr, 0, 0, &t);
        if (FAILED(hr)) {
            ioError(err, true, set.DeviceName(f), osCodeOf(hr));
            return false;
        }
        flushing.emplace_back(f, t);
    }
    while (!flushing.empty())
        if (!waitFlush()) return false;
    return true;
}

// ---- reading --------------------------------------------------------------------------------------

namespace {

// What the readers of one set share: one lock and signal for every family's queue, and the first
// failure any reader met.
struct ReadGate {
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;            // the records are read (or the read failed): readers end
    bool applierStalled = false;  // the records have waited a while for data that has not arrived
    bool failed = false;
    StreamError error;
};

// One family's byte stream. A thread of its own keeps reads outstanding on the device and queues
// the buffers as they arrive, so every family moves while the records are taken in set order: on
// the far side a backup may be unable to send the family the records wait for until another
// family's stream has moved. A family holding its share of the buffers (queued and outstanding)
// issues no more reads; once the records have waited stallMs for another family's data, it goes
// on in buffers of its own, up to the hard bound.
class FamilyIn {
public:
    FamilyIn(ServerDeviceSet& set, DWORD device, size_t slots, const TransferOptions& opt, ReadGate& gate,
             uint64_t softAhead, uint64_t hardAhead)
        : set_(set),
          device_(device),
          opt_(opt),
          gate_(gate),
          name_(set.DeviceName(device)),
          softAhead_(softAhead),
          hardAhead_(hardAhead) {
        for (size_t i = 0; i < slots; ++i) newSlot();
    }
    ~FamilyIn() { join(); }

    bool ok() const {
        return std::all_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.buf != nullptr; });
    }
    const std::string& name() const { return name_; }

    void start() {
        thread_ = std::thread([this] { run(); });
    }
    // The thread ends once every read it has outstanding is answered (or the set aborted).
    void join() {
        if (thread_.joinable()) thread_.join();
    }

    // The next bytes of the stream (at most `max`); *got = 0 at the end of the stream. Fails with
    // the first failure of any family's reader.
    bool span(size_t max, const uint8_t** p, size_t* got, StreamError* err) {
        *got = 0;
        std::unique_lock<std::mutex> lock(gate_.m);
        for (;;) {
            if (gate_.failed) {
                if (err) *err = gate_.error;
                return false;
            }
            if (!queue_.empty() && pos_ < queue_.front().len) break;
            if (!queue_.empty()) {  // taken whole: its buffer goes back to the reader
                queued_ -= queue_.front().len;
                free_.push_back(queue_.front().slot);
                queue_.pop_front();
                pos_ = 0;
                gate_.cv.notify_all();
                continue;
            }
            if (finished_) return true;
            auto arrived = [&] { return !queue_.empty() || finished_ || gate_.failed; };
            if (!gate_.cv.wait_for(lock, std::chrono::milliseconds(opt_.stallMs), arrived)) {
                gate_.applierStalled = true;
                gate_.cv.notify_all();
                gate_.cv.wait(lock, arrived);  // the readers' own waits are bounded
            }
            gate_.applierStalled = false;
        }
        const Chunk& c = queue_.front();
        *got = std::min(max, c.len - pos_);
        *p = c.buf + pos_;
        pos_ += *got;
        return true;
    }

    // Exactly n bytes; false with the truncation error when the stream ends first.
    bool exact(uint8_t* dst, size_t n, StreamError* err) {
        while (n) {
            const uint8_t* p;
            size_t got;
            if (!span(n, &p, &got, err)) return false;
            if (got == 0) {
                ioError(err, false, name_, ERROR_HANDLE_EOF);
                return false;
            }
            std::memcpy(dst, p, got);
            dst += got;
            n -= got;
        }
        return true;
    }

private:
    struct Slot {
        uint8_t* buf = nullptr;
        Request* ticket = nullptr;
    };
    struct Chunk {
        int slot;
        const uint8_t* buf;
        size_t len;
    };

    int newSlot() {
        Slot s;
        s.buf = set_.AllocateBuffer(opt_.maxTransferSize);
        slots_.push_back(s);
        return s.buf ? static_cast<int>(slots_.size() - 1) : -1;
    }

    void run() {
        StreamError err;
        bool ok = true;
        for (size_t i = 0; i < slots_.size() && ok; ++i) ok = issue(static_cast<int>(i), &err);
        bool eof = false;
        while (ok) {
            if (order_.empty()) {
                if (eof) break;
                // Every read is answered and queued: wait until the records take some.
                std::unique_lock<std::mutex> lock(gate_.m);
                gate_.cv.wait(lock, [&] { return gate_.stop || mayRead(); });
                if (gate_.stop) break;
                lock.unlock();
                ok = refill(&err);
                continue;
            }
            int s = order_.front();
            order_.pop_front();
            DWORD code = 0, bytes = 0;
            HRESULT hr = waitCommand(set_, slots_[s].ticket, opt_, &code, &bytes);
            slots_[s].ticket = nullptr;
            if (FAILED(hr)) {
                if (!eof) ioError(&err, false, name_, osCodeOf(hr));
                ok = eof;
                break;  // the set is aborted or stuck: the other reads are abandoned with it
            }
            if (eof) continue;  // read ahead past the end
            if (code != ERROR_SUCCESS && code != ERROR_HANDLE_EOF) {
                ioError(&err, false, name_, code);
                ok = false;
                break;
            }
            if (static_cast<int>(device_) == opt_.faults.stopDevice) {
                uint64_t left = opt_.faults.stopAfterBytes > received_ ? opt_.faults.stopAfterBytes - received_ : 0;
                if (bytes >= left) {
                    bytes = static_cast<DWORD>(left);
                    code = ERROR_HANDLE_EOF;
                }
            }
            received_ += bytes;
            eof = code == ERROR_HANDLE_EOF || bytes < opt_.maxTransferSize;
            {
                std::lock_guard<std::mutex> lock(gate_.m);
                if (bytes) {
                    queue_.push_back({s, slots_[s].buf, bytes});
                    queued_ += bytes;
                    gate_.cv.notify_all();
                } else {
                    free_.push_back(s);
                }
            }
            if (!eof) ok = refill(&err);
        }
        std::lock_guard<std::mutex> lock(gate_.m);
        if (!ok && !gate_.stop && !gate_.failed) {
            gate_.failed = true;
            gate_.error = err;
        }
        finished_ = true;
        gate_.cv.notify_all();
    }

    // Under gate_.m: whether one more read keeps the family within its bound (what is queued and
    // what is outstanding).
    bool mayRead() const {
        const uint64_t after = queued_ + (order_.size() + 1) * uint64_t(opt_.maxTransferSize);
        return after <= softAhead_ || (gate_.applierStalled && after <= hardAhead_);
    }

    // Issues reads while the family stays within its bound, each into a buffer the records have
    // given back or else a new one.
    bool refill(StreamError* err) {
        for (;;) {
            int next = -1;
            {
                std::lock_guard<std::mutex> lock(gate_.m);
                if (gate_.stop || !mayRead()) return true;
                if (!free_.empty()) {
                    next = free_.back();
                    free_.pop_back();
                }
            }
            if (next < 0 && (next = newSlot()) < 0) {
                setError(err, 701, "There is insufficient system memory in resource pool 'default' to run this query.");
                return false;
            }
            if (!issue(next, err)) return false;
        }
    }

    bool issue(int s, StreamError* err) {
        HRESULT hr = set_.Submit(device_, VDC_Read, slots_[s].buf, opt_.maxTransferSize, 0, &slots_[s].ticket);
        if (FAILED(hr)) {
            ioError(err, false, name_, 995);
            return false;
        }
        order_.push_back(s);
        return true;
    }

    ServerDeviceSet& set_;
    DWORD device_;
    const TransferOptions& opt_;
    ReadGate& gate_;
    std::string name_;
    const uint64_t softAhead_, hardAhead_;
    // The reader thread's own (the constructor's before it starts):
    std::vector<Slot> slots_;  // grows while the family runs ahead
    std::deque<int> order_;    // reads outstanding, oldest first
    uint64_t received_ = 0;
    std::thread thread_;
    // Under gate_.m:
    std::deque<Chunk> queue_;  // arrived, not yet taken
    std::vector<int> free_;    // buffers the records have given back
    uint64_t queued_ = 0;
    size_t pos_ = 0;  // taken from queue_.front()
    bool finished_ = false;
};

// The readers of a set; they are stopped and joined however the read ends.
struct FamilyReaders {
    explicit FamilyReaders(ServerDeviceSet& s) : set(s) {}
    ~FamilyReaders() {
        if (!stopped) stop(false);
    }
    // After a failure the set is aborted, which ends the reads still outstanding.
    bool stop(bool ok) {
        stopped = true;
        {
            std::lock_guard<std::mutex> lock(gate.m);
            gate.stop = true;
            gate.cv.notify_all();
        }
        if (!ok) set.Abort();
        for (auto& f : fam) f->join();
        return ok;
    }
    ServerDeviceSet& set;
    ReadGate gate;
    std::vector<std::unique_ptr<FamilyIn>> fam;
    bool stopped = false;
};

bool readRecordHeader(FamilyIn& in, RecordHeader* r, StreamError* err) {
    uint8_t head[kRecordHeaderSize];
    if (!in.exact(head, sizeof head, err)) return false;
    if (!decodeRecord(head, r)) {
        malformed(err, in.name());
        return false;
    }
    return true;
}

bool readSmallPayload(FamilyIn& in, uint32_t len, std::string* out, StreamError* err) {
    if (len > kMaxHeaderPayload) {
        malformed(err, in.name());
        return false;
    }
    out->assign(len, '\0');
    uint8_t crc[4];
    if (!in.exact(reinterpret_cast<uint8_t*>(&(*out)[0]), len, err) || !in.exact(crc, 4, err)) return false;
    if (get32(crc) != crc32c(0, out->data(), out->size())) {
        malformed(err, in.name());
        return false;
    }
    return true;
}

}  // namespace

bool abortedByClient(ServerDeviceSet& set, bool write, StreamError* err) {
    if (!set.AbortedByClient()) return false;
    ioError(err, write, set.DeviceName(0), 995);
    return true;
}

bool readBackupSet(ServerDeviceSet& set, RestoreSink& sink, const TransferOptions& opt, SetHeader* header,
                   StreamError* err) {
    const DWORD n = set.DeviceCount();
    const uint64_t buffers = std::max<uint64_t>(opt.bufferCount, n);
    size_t perDevice = std::max<size_t>(1, buffers / n);
    // A family runs ahead by its share of the buffers, and by up to kHardAhead over all families
    // while the records are stalled on another family.
    const uint64_t softAhead = std::max<uint64_t>(2, (buffers + n - 1) / n) * opt.maxTransferSize;
    const uint64_t hardAhead = std::max<uint64_t>(softAhead, kHardAhead / n);
    FamilyReaders readers(set);
    std::vector<std::unique_ptr<FamilyIn>>& fam = readers.fam;
    for (DWORD d = 0; d < n; ++d) {
        fam.push_back(std::make_unique<FamilyIn>(set, d, perDevice, opt, readers.gate, softAhead, hardAhead));
        if (!fam.back()->ok()) {
            setError(err, 701, "There is insufficient system memory in resource pool 'default' to run this query.");
            return false;
        }
    }
    auto finish = [&](bool ok) { return readers.stop(ok); };
    auto fail = [&] { return finish(false); };
    if (opt.faults.unsupportedCommand && !sendUnsupported(set, opt, false, err)) return false;
    for (auto& f : fam) f->start();

    // Set headers: one per family, all alike, each family on its own device.
    std::vector<RecordHeader> heads(n);
    std::vector<std::string> payloads(n);
    for (DWORD d = 0; d < n; ++d) {
        if (!readRecordHeader(*fam[d], &heads[d], err)) return fail();
        if (heads[d].type != kTypeHeader || heads[d].seq != 0) {
            malformed(err, fam[d]->name());
            return fail();
        }
        if (!readSmallPayload(*fam[d], heads[d].payloadLen, &payloads[d], err)) return fail();
    }
    SetHeader h;
    for (DWORD d = 0; d < n; ++d) {
        const RecordHeader& r = heads[d];
        if (!decodeHeader(reinterpret_cast<const uint8_t*>(payloads[d].data()), payloads[d].size(), &h) ||
            h.familyCount != r.familyCount || h.setId != r.setId || r.family < 1 || r.family > r.familyCount) {
            malformed(err, fam[d]->name());
            return fail();
        }
        if (r.familyCount > n) {
            setError(err, 3132,
                     fmt("The media set has %u media families but only %u are provided. All members must be "
                         "provided.",
                         unsigned(r.familyCount), unsigned(n)));
            return fail();
        }
        if (r.familyCount < n) {
            setError(err, 3231,
                     fmt("The media loaded on \"%s\" is formatted to support %u media families, but %u media "
                         "families are expected according to the backup device specification.",
                         fam[d]->name().c_str(), unsigned(r.familyCount), unsigned(n)));
            return fail();
        }
    }
    for (DWORD d = 1; d < n; ++d) {
        if (heads[d].setId != heads[0].setId || payloads[d] != payloads[0]) {
            malformed(err, fam[d]->name());
            return fail();
        }
    }
    for (DWORD d = 0; d < n; ++d) {
        for (DWORD e = 0; e < d; ++e) {
            if (heads[e].family == heads[d].family) {
                setError(err, 3227,
                         fmt("The volume on device \"%s\" is a duplicate of stripe set member %u.",
                             fam[d]->name().c_str(), unsigned(heads[d].family)));
                return fail();
            }
        }
    }
    for (DWORD d = 0; d < n; ++d) {
        if (heads[d].family != d + 1) {
            setError(err, 3229,
                     fmt("The volume on device \"%s\" is sequence number 1 of media family %u, but sequence "
                         "number 1 of media family %u is expected. Check that the device specifications and "
                         "loaded media are correct.",
                         fam[d]->name().c_str(), unsigned(heads[d].family), unsigned(d + 1)));
            return fail();
        }
    }
    if (!decodeHeader(reinterpret_cast<const uint8_t*>(payloads[0].data()), payloads[0].size(), &h)) {
        malformed(err, fam[0]->name());
        return fail();
    }
    if (header) *header = h;
    if (!sink.begin(h, err)) return fail();

    // Data records in set order.
    std::vector<uint64_t> seq(n, 0), famRecords(n, 0), famBytes(n, 0);
    uint64_t done = 0;
    if (!checkAbortFault(set, opt, 0, h.dataBytes, false, err)) return fail();
    for (uint64_t index = 0; index < h.dataRecords; ++index) {
        DWORD d = static_cast<DWORD>(index % n);
        FamilyIn& in = *fam[d];
        RecordHeader r;
        if (!readRecordHeader(in, &r, err)) return fail();
        if (r.type != kTypeData || r.setId != h.setId || r.family != d + 1 || r.seq != seq[d] + 1 || r.index != index ||
            r.payloadLen == 0) {
            malformed(err, in.name());
            return fail();
        }
        seq[d] = r.seq;
        Extent e{r.fileId, r.offset, r.payloadLen, r.lsn};
        uint32_t crc = 0;
        for (uint64_t within = 0; within < r.payloadLen;) {
            const uint8_t* p;
            size_t got;
            if (!in.span(r.payloadLen - within, &p, &got, err)) return fail();
            if (got == 0) {
                ioError(err, false, in.name(), ERROR_HANDLE_EOF);
                return fail();
            }
            crc = crc32c(crc, p, got);
            if (!sink.data(e, within, p, got, err)) return fail();
            within += got;
        }
        uint8_t tail[4];
        if (!in.exact(tail, 4, err)) return fail();
        if (get32(tail) != crc) {
            setError(err, 3183,
                     fmt("RESTORE detected an error on page (%u:%llu) in database \"%s\" as read from the backup "
                         "set.",
                         r.fileId, static_cast<unsigned long long>(r.offset / 8192), h.database.c_str()));
            return fail();
        }
        if (!sink.recordDone(e, err)) return fail();
        ++famRecords[d];
        famBytes[d] += r.payloadLen;
        done += r.payloadLen;
        if (opt.progress) opt.progress(done, h.dataBytes);
        if (!checkAbortFault(set, opt, done, h.dataBytes, false, err)) return fail();
    }

    // End records: each family's counts and the set's.
    for (DWORD d = 0; d < n; ++d) {
        RecordHeader r;
        std::string end;
        if (!readRecordHeader(*fam[d], &r, err)) return fail();
        if (r.type != kTypeEnd || r.setId != h.setId || r.seq != seq[d] + 1 || r.payloadLen != kEndPayload) {
            malformed(err, fam[d]->name());
            return fail();
        }
        if (!readSmallPayload(*fam[d], r.payloadLen, &end, err)) return fail();
        auto* p = reinterpret_cast<const uint8_t*>(end.data());
        if (get64(p) != famRecords[d] || get64(p + 8) != famBytes[d] || get64(p + 16) != h.dataRecords ||
            get64(p + 24) != h.dataBytes) {
            malformed(err, fam[d]->name());
            return fail();
        }
    }
    return finish(true);
}

}  // namespace sqlemu::backup
