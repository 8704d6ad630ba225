// The backup stream on its own: the server side runs here through the device-set server API, the
// device side is the in-process test client.
#include "emulator/backup/BackupStream.h"
#include "emulator/backup/Crc32c.h"
#include "tests/emulator-backup/DeviceClient.h"
#include "tests/support/ClientSet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

using namespace sqlemu::backup;
using kes::vdi::ServerDeviceSet;
using testclient::DeviceClient;

namespace {

// Content of a few "files" in memory.
struct Content {
    std::map<uint32_t, std::string> files;
    std::vector<Extent> extents;

    static Content make(std::vector<size_t> sizes, uint32_t seed = 7) {
        Content c;
        std::mt19937 rng(seed);
        uint32_t id = 1;
        for (size_t size : sizes) {
            std::string& f = c.files[id];
            f.resize(size);
            for (char& ch : f) ch = static_cast<char>(rng());
            c.extents.push_back({id, 0, size, 0});
            ++id;
        }
        return c;
    }
    ExtentReader reader() const {
        return [this](const Extent& e, uint64_t within, uint8_t* dst, size_t len, StreamError*) {
            std::memcpy(dst, files.at(e.fileId).data() + e.offset + within, len);
            return true;
        };
    }
};

SetHeader sampleHeader(BackupKind kind = BackupKind::Full) {
    SetHeader h;
    for (int i = 0; i < 16; ++i) h.setId[i] = static_cast<uint8_t>(i * 17 + 3);
    h.kind = kind;
    h.flags = kFlagChecksum;
    h.firstLsn = 10;
    h.lastLsn = 42;
    h.databaseBackupLsn = 5;
    h.database = "Sales";
    h.familyGuid = "F-1";
    h.files = {{1, 1, "Sales", "/d/Sales.mdf", 1 << 20}, {2, 0, "Sales_log", "/l/Sales_log.ldf", 8192}};
    h.props["seed"] = "9";
    return h;
}

// Collects what a reader hands over.
struct MemorySink : RestoreSink {
    std::map<uint32_t, std::string> files;
    SetHeader seen;
    int begun = 0;
    bool begin(const SetHeader& h, StreamError*) override {
        seen = h;
        ++begun;
        return true;
    }
    bool data(const Extent& r, uint64_t within, const uint8_t* p, size_t len, StreamError*) override {
        std::string& f = files[r.fileId];
        if (f.size() < r.offset + within + len) f.resize(r.offset + within + len);
        std::memcpy(&f[r.offset + within], p, len);
        return true;
    }
};

std::unique_ptr<ServerDeviceSet> openConfigured(DeviceClient& c, bool write, const TransferOptions& o) {
    std::unique_ptr<ServerDeviceSet> s;
    EXPECT_EQ(S_OK, ServerDeviceSet::Open("", c.name(), 1000, &s));
    EXPECT_EQ(S_OK, s->Configure(write, o.blockSize, o.maxTransferSize, o.bufferCount));
    return s;
}

// Backs the content up over `devices` devices; returns the families.
std::vector<std::string> backup(const Content& c, unsigned devices, const TransferOptions& o,
                                const SetHeader& h = sampleHeader()) {
    DeviceClient client(devices);
    client.start();
    auto set = openConfigured(client, true, o);
    StreamError err;
    EXPECT_TRUE(writeBackupSet(*set, h, c.extents, c.reader(), o, &err)) << err.number << " " << err.text;
    set->CloseDevices();
    EXPECT_EQ(S_OK, client.finish());
    EXPECT_TRUE(client.writeMedia);
    for (unsigned d = 0; d < devices; ++d) {
        EXPECT_EQ(VDC_Flush, client.commands[d].back());
        EXPECT_EQ(0u, client.media[d].size() % o.blockSize);
    }
    return client.media;
}

struct RestoreResult {
    bool ok;
    StreamError err;
    MemorySink sink;
    HRESULT client;
};

RestoreResult restore(const std::vector<std::string>& media, const TransferOptions& o) {
    RestoreResult r;
    DeviceClient client(static_cast<unsigned>(media.size()));
    client.media = media;
    client.start();
    auto set = openConfigured(client, false, o);
    r.ok = readBackupSet(*set, r.sink, o, nullptr, &r.err);
    if (r.ok)
        set->CloseDevices();
    else
        set->Abort();
    r.client = client.finish();
    EXPECT_FALSE(client.writeMedia);
    return r;
}

TransferOptions opts(uint32_t maxTransfer, uint32_t buffers = 0, uint32_t block = 512) {
    TransferOptions o;
    o.maxTransferSize = maxTransfer;
    o.bufferCount = buffers;
    o.blockSize = block;
    return o;
}

TEST(EmulatorBackupCrc, KnownValueAndBothPathsAgree) {
    EXPECT_EQ(0xE3069283u, crc32c(0, "123456789", 9));
    EXPECT_EQ(0xE3069283u, crc32cPortable(0, "123456789", 9));
    std::string data(100003, '\0');
    std::mt19937 rng(1);
    for (char& c : data) c = static_cast<char>(rng());
    for (size_t len : {0, 1, 7, 8, 9, 4095, 100003}) {
        EXPECT_EQ(crc32cPortable(0, data.data(), len), crc32c(0, data.data(), len)) << len;
        // Continuing over two pieces equals one pass.
        uint32_t split = crc32c(crc32c(0, data.data(), len / 3), data.data() + len / 3, len - len / 3);
        EXPECT_EQ(crc32c(0, data.data(), len), split);
    }
}

TEST(EmulatorBackupStream, HeaderRoundTripsAndRejectsDamage) {
    SetHeader h = sampleHeader(BackupKind::Differential);
    h.certificate = "BackupCert";
    h.dataRecords = 3;
    std::string enc = encodeHeader(h);
    SetHeader back;
    ASSERT_TRUE(decodeHeader(reinterpret_cast<const uint8_t*>(enc.data()), enc.size(), &back));
    EXPECT_EQ(h.setId, back.setId);
    EXPECT_EQ(BackupKind::Differential, back.kind);
    EXPECT_EQ(h.files, back.files);
    EXPECT_EQ(h.props, back.props);
    EXPECT_EQ("BackupCert", back.certificate);
    EXPECT_EQ(5u, back.databaseBackupLsn);
    EXPECT_FALSE(decodeHeader(reinterpret_cast<const uint8_t*>(enc.data()), enc.size() - 1, &back));
    enc += 'x';
    EXPECT_FALSE(decodeHeader(reinterpret_cast<const uint8_t*>(enc.data()), enc.size(), &back));
}

TEST(EmulatorBackupStream, RoundTripsOverAnyDeviceCountAndCommandSize) {
    struct Case {
        unsigned devices;
        uint32_t backupTransfer, restoreTransfer, buffers, block;
        std::vector<size_t> sizes;
    } cases[] = {
        {1, 65536, 65536, 1, 512, {200000, 8192}},
        {3, 65536, 1 << 20, 0, 4096, {1 << 20, 65536 - 84, 65536 - 83, 1}},
        {2, 1 << 20, 65536, 7, 65536, {3 << 20, 0, 12345}},
        {8, 65536, 131072, 16, 512, {300000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devices);
        Content content = Content::make(c.sizes);
        auto media = backup(content, c.devices, opts(c.backupTransfer, c.buffers, c.block));
        ASSERT_EQ(c.devices, media.size());
        RestoreResult r = restore(media, opts(c.restoreTransfer, c.buffers, 512));
        ASSERT_TRUE(r.ok) << r.err.number << " " << r.err.text;
        EXPECT_EQ(S_OK, r.client);
        EXPECT_EQ(1, r.sink.begun);
        EXPECT_EQ(c.devices, r.sink.seen.familyCount);
        EXPECT_EQ("Sales", r.sink.seen.database);
        for (const auto& f : content.files) {
            if (!f.second.empty()) {
                EXPECT_EQ(f.second, r.sink.files[f.first]) << "file " << f.first;
            }
        }
    }
}

TEST(EmulatorBackupStream, NoMoreThanBufferCountCommandsAreOutstanding) {
    Content content = Content::make({600000});
    for (uint32_t buffers : {1u, 3u}) {
        DeviceClient client(3);
        client.holdMs = 5;
        client.start();
        TransferOptions o = opts(65536, buffers);
        auto set = openConfigured(client, true, o);
        StreamError err;
        ASSERT_TRUE(writeBackupSet(*set, sampleHeader(), content.extents, content.reader(), o, &err)) << err.text;
        set->CloseDevices();
        EXPECT_EQ(S_OK, client.finish());
        EXPECT_LE(client.maxHeld.load(), static_cast<int>(buffers));
        if (buffers == 3) {
            EXPECT_GE(client.maxHeld.load(), 2);  // the devices do work side by side
        }
    }
}

TEST(EmulatorBackupStream, RecordsOfAFullBufferEndWithIt) {
    // So that a buffer once full holds whole records and a reader never waits for the next one.
    Content content = Content::make({1000000, 300000});
    auto media = backup(content, 2, opts(65536));
    for (const std::string& m : media) {
        for (size_t at = 65536; at + 65536 < m.size(); at += 65536) {
            uint32_t head;
            std::memcpy(&head, m.data() + at, 4);
            EXPECT_EQ(kRecordMagic, head) << at;
        }
    }
}

TEST(EmulatorBackupStream, LogRecordsArriveInSetOrderAcrossFamilies) {
    // Many small records with rising LSNs spread over three families must come back in LSN order.
    Content c;
    std::string& f = c.files[2];
    for (uint64_t i = 0; i < 50; ++i) {
        f += std::string(100, static_cast<char>('a' + i % 26));
        c.extents.push_back({2, i * 100, 100, 1000 + i});
    }
    auto media = backup(c, 3, opts(65536), sampleHeader(BackupKind::Log));
    struct OrderSink : MemorySink {
        std::vector<uint64_t> lsns;
        bool recordDone(const Extent& e, StreamError*) override {
            lsns.push_back(e.lsn);
            return true;
        }
    };
    DeviceClient client(3);
    client.media = media;
    client.start();
    auto set = openConfigured(client, false, opts(65536));
    OrderSink sink;
    StreamError err;
    ASSERT_TRUE(readBackupSet(*set, sink, opts(65536), nullptr, &err)) << err.text;
    set->CloseDevices();
    EXPECT_EQ(S_OK, client.finish());
    ASSERT_EQ(50u, sink.lsns.size());
    EXPECT_TRUE(std::is_sorted(sink.lsns.begin(), sink.lsns.end()));
    EXPECT_EQ(f, sink.files[2]);
}

// A bounded byte pipe, standing for the TCP connection between a backup's device and a restore's.
class Pipe {
public:
    explicit Pipe(size_t capacity) : cap_(capacity) {}
    // A pipe that stays stuck this long breaks, so that a stuck stream ends the test.
    static constexpr std::chrono::seconds kStuck{12};

    void write(const uint8_t* p, size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        while (n) {
            if (!cv_.wait_for(lock, kStuck, [&] { return data_.size() < cap_ || broken_; }) || broken_) {
                broken_ = true;
                cv_.notify_all();
                return;
            }
            size_t take = std::min(n, cap_ - data_.size());
            data_.append(reinterpret_cast<const char*>(p), take);
            p += take;
            n -= take;
            cv_.notify_all();
        }
    }
    // Waits for all n bytes, or the end of the stream.
    size_t read(uint8_t* p, size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        size_t got = 0;
        while (got < n) {
            if (!cv_.wait_for(lock, kStuck, [&] { return !data_.empty() || closed_ || broken_; }) || broken_) {
                broken_ = true;
                cv_.notify_all();
                break;
            }
            if (data_.empty()) break;
            size_t take = std::min(n - got, data_.size());
            std::memcpy(p + got, data_.data(), take);
            data_.erase(0, take);
            got += take;
            cv_.notify_all();
        }
        return got;
    }
    void close() {
        std::lock_guard<std::mutex> lock(m_);
        closed_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::string data_;
    size_t cap_;
    bool closed_ = false;
    bool broken_ = false;
};

// Device k of a backup's set feeds device k of a restore's set through a small pipe; the device
// threads serve one command at a time, as the network movers do.
struct Relay {
    kestest::ClientSet from, to;
    unsigned n;
    std::vector<std::unique_ptr<Pipe>> pipes;
    std::vector<std::thread> threads;

    explicit Relay(unsigned devices) : from(devices), to(devices), n(devices) {
        for (unsigned k = 0; k < devices; ++k) pipes.push_back(std::make_unique<Pipe>(65536));
    }
    ~Relay() {
        for (auto& t : threads) t.join();
    }
    void start() {
        for (unsigned k = 0; k < n; ++k) {
            threads.emplace_back([this, k] { serve(from, k, true); });
            threads.emplace_back([this, k] { serve(to, k, false); });
        }
    }
    void serve(kestest::ClientSet& set, unsigned k, bool sending) {
        VDConfig cfg{};
        if (FAILED(set.set->GetConfiguration(10000, &cfg))) return;
        const std::string name = set.deviceName(k);
        const std::wstring w(name.begin(), name.end());
        IClientVirtualDevice* dev = nullptr;
        if (FAILED(set.set->OpenDevice(w.c_str(), &dev))) return;
        VDC_Command* cmd;
        while (dev->GetCommand(20000, &cmd) == S_OK) {
            DWORD code = ERROR_SUCCESS, bytes = 0;
            if (cmd->commandCode == VDC_Write) {
                pipes[k]->write(cmd->buffer, cmd->size);
                bytes = cmd->size;
            } else if (cmd->commandCode == VDC_Read) {
                bytes = static_cast<DWORD>(pipes[k]->read(cmd->buffer, cmd->size));
                code = bytes == cmd->size ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
            }
            dev->CompleteCommand(cmd, code, bytes, 0);
        }
        if (sending) pipes[k]->close();
    }
};

TEST(EmulatorBackupStream, StreamsStraightIntoARestoreThroughSmallPipes) {
    // A log backup's pages in large buffers, few of them, small pipes: the restore reads the
    // families in set order while the backup fills them.
    Content c;
    std::string& f = c.files[2];
    std::mt19937 rng(3);
    for (uint64_t i = 0; i < 400; ++i) {
        c.extents.push_back({2, f.size(), 8192, 2000 + i});
        f += std::string(8192, static_cast<char>(rng()));
    }
    Relay relay(2);
    relay.start();
    std::unique_ptr<ServerDeviceSet> out, in;
    ASSERT_EQ(S_OK, ServerDeviceSet::Open("", relay.from.name, 1000, &out));
    ASSERT_EQ(S_OK, ServerDeviceSet::Open("", relay.to.name, 1000, &in));
    TransferOptions wo = opts(1 << 20, 2), ro = opts(65536, 2);
    wo.commandTimeoutMs = ro.commandTimeoutMs = 10000;  // a stuck stream fails instead of hanging
    ASSERT_EQ(S_OK, out->Configure(true, 512, wo.maxTransferSize, wo.bufferCount));
    ASSERT_EQ(S_OK, in->Configure(false, 512, ro.maxTransferSize, ro.bufferCount));
    MemorySink sink;
    StreamError readErr;
    bool readOk = false;
    std::thread reader([&] {
        readOk = readBackupSet(*in, sink, ro, nullptr, &readErr);
        if (readOk)
            in->CloseDevices();
        else
            in->Abort();
    });
    StreamError writeErr;
    EXPECT_TRUE(writeBackupSet(*out, sampleHeader(BackupKind::Log), c.extents, c.reader(), wo, &writeErr))
        << writeErr.text;
    out->CloseDevices();
    reader.join();
    ASSERT_TRUE(readOk) << readErr.number << " " << readErr.text;
    EXPECT_EQ(f, sink.files[2]);
}

TEST(EmulatorBackupStream, UnevenRecordsStreamStraightIntoARestore) {
    // Records of very different sizes fill the families unevenly, so the family the restore needs
    // next may be one the backup cannot send until another family's pipe has drained: the restore
    // must keep reading every family while it applies the records in set order.
    struct Case {
        unsigned devices;
        uint32_t backupTransfer, backupBuffers, restoreTransfer, restoreBuffers;
        BackupKind kind;
    } cases[] = {
        {2, 65536, 1, 65536, 1, BackupKind::Log},     {3, 1 << 20, 2, 65536, 2, BackupKind::Full},
        {4, 65536, 2, 65536, 1, BackupKind::Log},     {4, 1 << 20, 4, 1 << 20, 4, BackupKind::Differential},
        {4, 1 << 20, 1, 1 << 20, 4, BackupKind::Log},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(::testing::Message()
                     << k.devices << " devices, backup " << k.backupBuffers << " x " << k.backupTransfer << ", restore "
                     << k.restoreBuffers << " x " << k.restoreTransfer);
        Content c;
        std::string& f = c.files[2];
        std::mt19937 rng(k.devices * 100 + k.backupBuffers * 10 + k.restoreBuffers);
        for (uint64_t i = 0; i < 120; ++i) {
            size_t len = i % 3 == 0 ? 1 + rng() % 2000 : 1 + rng() % 300000;
            c.extents.push_back({2, f.size(), len, 2000 + i});
            f += std::string(len, static_cast<char>(rng()));
        }
        Relay relay(k.devices);
        relay.start();
        std::unique_ptr<ServerDeviceSet> out, in;
        ASSERT_EQ(S_OK, ServerDeviceSet::Open("", relay.from.name, 1000, &out));
        ASSERT_EQ(S_OK, ServerDeviceSet::Open("", relay.to.name, 1000, &in));
        TransferOptions wo = opts(k.backupTransfer, k.backupBuffers), ro = opts(k.restoreTransfer, k.restoreBuffers);
        wo.commandTimeoutMs = ro.commandTimeoutMs = 10000;  // a stuck stream fails instead of hanging
        ASSERT_EQ(S_OK, out->Configure(true, 512, wo.maxTransferSize, wo.bufferCount));
        ASSERT_EQ(S_OK, in->Configure(false, 512, ro.maxTransferSize, ro.bufferCount));
        struct OrderSink : MemorySink {
            std::vector<uint64_t> lsns;
            bool recordDone(const Extent& e, StreamError*) override {
                lsns.push_back(e.lsn);
                return true;
            }
        } sink;
        StreamError readErr, writeErr;
        bool readOk = false;
        std::thread reader([&] {
            readOk = readBackupSet(*in, sink, ro, nullptr, &readErr);
            if (readOk)
                in->CloseDevices();
            else
                in->Abort();
        });
        bool writeOk = writeBackupSet(*out, sampleHeader(k.kind), c.extents, c.reader(), wo, &writeErr);
        if (writeOk)
            out->CloseDevices();
        else
            out->Abort();
        reader.join();
        EXPECT_TRUE(writeOk) << writeErr.text;
        ASSERT_TRUE(readOk) << readErr.number << " " << readErr.text;
        EXPECT_TRUE(f == sink.files[2]);
        EXPECT_TRUE(std::is_sorted(sink.lsns.begin(), sink.lsns.end()));
    }
}

TEST(EmulatorBackupStream, ARestoreReadsAheadOnlyItsBuffersWhileItApplies) {
    // Media that are served faster than the records are applied are not read into memory whole.
    Content content = Content::make({6 << 20});
    TransferOptions o = opts(65536, 4);
    o.stallMs = 60000;  // a loaded machine's slow thread is no stall here
    auto media = backup(content, 2, o);
    DeviceClient client(2);
    client.media = media;
    client.start();
    auto set = openConfigured(client, false, o);
    struct SlowSink : MemorySink {
        DeviceClient* client;
        uint64_t applied = 0, mostAhead = 0;
        bool data(const Extent& r, uint64_t within, const uint8_t* p, size_t len, StreamError* e) override {
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            applied += len;
            mostAhead = std::max<uint64_t>(mostAhead, client->served - std::min<uint64_t>(client->served, applied));
            return MemorySink::data(r, within, p, len, e);
        }
    } sink;
    sink.client = &client;
    StreamError err;
    ASSERT_TRUE(readBackupSet(*set, sink, o, nullptr, &err)) << err.text;
    set->CloseDevices();
    EXPECT_EQ(S_OK, client.finish());
    EXPECT_EQ(content.files[1], sink.files[1]);
    // Two families, each with its share of the four buffers queued and its reads outstanding.
    EXPECT_LE(sink.mostAhead, 1u << 20);
}

TEST(EmulatorBackupStream, DamagedStreamsAreDetected) {
    Content content = Content::make({400000});
    const auto media = backup(content, 2, opts(65536));
    const auto other = backup(Content::make({1000}, 99), 2, opts(65536), [] {
        SetHeader h = sampleHeader();
        h.setId[0] ^= 1;  // another backup set
        return h;
    }());
    const auto three = backup(content, 3, opts(65536));

    std::mt19937 rng(5);
    auto scramble = [&](std::string s) {  // what a wrong key gives
        for (char& c : s) c = static_cast<char>(c ^ static_cast<char>(rng()));
        return s;
    };
    // Where family 2's second data record begins: the third record of its stream.
    const std::string magic("KSBR", 4);
    size_t secondRecord = media[1].find(magic, media[1].find(magic, 1) + 1);
    ASSERT_NE(std::string::npos, secondRecord);
    auto flip = [](std::string s, size_t at) {
        s[at] = static_cast<char>(s[at] ^ 0x40);
        return s;
    };
    struct Case {
        const char* what;
        std::vector<std::string> media;
        int number;
        const char* textPart;
    } cases[] = {
        {"payload byte", {flip(media[0], 200000), media[1]}, 3183, "RESTORE detected an error on page (1:"},
        {"record header", {media[0], flip(media[1], secondRecord + 40)}, 3241, "is incorrectly formed"},
        {"set header", {flip(media[0], 10), media[1]}, 3241, "is incorrectly formed"},
        {"truncated", {media[0].substr(0, 150000), media[1]}, 3203, "failed: 38(Reached the end of the file.)"},
        {"end record cut", {media[0], media[1].substr(0, media[1].size() - 600)}, 3203, "failed: 38"},
        {"empty family", {std::string(), media[1]}, 3203, "failed: 38"},
        {"wrongly decrypted", {scramble(media[0]), scramble(media[1])}, 3241, "is incorrectly formed"},
        {"missing family", {media[0]}, 3132, "The media set has 2 media families but only 1 are provided."},
        {"extra device", {three[0], three[1]}, 3132, "has 3 media families but only 2"},
        {"too many devices", {media[0], media[1], media[1]}, 3231, "formatted to support 2 media families, but 3"},
        {"duplicated family", {media[1], media[1]}, 3227, "is a duplicate of stripe set member 2."},
        {"misordered family", {media[1], media[0]}, 3229, "sequence number 1 of media family 2, but"},
        {"family of another set", {media[0], other[1]}, 3241, "is incorrectly formed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RestoreResult r = restore(c.media, opts(65536));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(c.number, r.err.number) << r.err.text;
        EXPECT_NE(std::string::npos, r.err.text.find(c.textPart)) << r.err.text;
        EXPECT_EQ(VD_E_ABORT, r.client);
    }
}

TEST(EmulatorBackupStream, DeviceFailuresEndTheBackup) {
    Content content = Content::make({600000});
    struct Case {
        const char* what;
        int failDevice;
        DWORD failCode;
        uint64_t abortAfter;
        int number;
        const char* textPart;
    } cases[] = {
        {"disk full", 1, ERROR_DISK_FULL, 0, 3202, "failed: 112(There is not enough space on the disk.)"},
        {"client abort", -1, 0, 200000, 3202, "failed: 995("},
        {"device that never answers", -2, 0, 0, 3202,
         "failed: 1460(This operation returned because the timeout period expired.)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceClient client(2);
        client.failDevice = c.failDevice;
        client.failAfterWrites = 2;
        client.failCode = c.failCode;
        client.abortAfterBytes = c.abortAfter;
        if (c.failDevice == -2) client.stallDevice = 1;
        client.start();
        TransferOptions o = opts(65536, 4);
        o.commandTimeoutMs = 300;
        auto set = openConfigured(client, true, o);
        StreamError err;
        EXPECT_FALSE(writeBackupSet(*set, sampleHeader(), content.extents, content.reader(), o, &err));
        EXPECT_EQ(c.number, err.number);
        EXPECT_NE(std::string::npos, err.text.find(c.textPart)) << err.text;
        EXPECT_NE(std::string::npos, err.text.find("Write on \"" + client.name())) << err.text;
        set->Abort();
        client.finish();
    }
}

TEST(EmulatorBackupStream, FaultSwitches) {
    Content content = Content::make({500000});
    // A stream that stops after N bytes on one device: the backup completes, its restore fails.
    TransferOptions o = opts(65536);
    o.faults.stopDevice = 1;
    o.faults.stopAfterBytes = 102400;
    auto media = backup(content, 2, o);
    EXPECT_EQ(102400u, media[1].size());
    EXPECT_EQ(3203, restore(media, opts(65536)).err.number);

    // The same on the reading side: the restore sees the end of the stream early.
    auto good = backup(content, 2, opts(65536));
    TransferOptions ro = opts(65536);
    ro.faults.stopDevice = 0;
    ro.faults.stopAfterBytes = 70000;
    RestoreResult cut = restore(good, ro);
    EXPECT_EQ(3203, cut.err.number);
    EXPECT_TRUE(restore(good, opts(65536)).ok);

    // An unsupported command first: the device answers it as such and the data still moves.
    {
        DeviceClient client(2);
        client.start();
        TransferOptions uo = opts(65536);
        uo.faults.unsupportedCommand = true;
        auto set = openConfigured(client, true, uo);
        StreamError err;
        ASSERT_TRUE(writeBackupSet(*set, sampleHeader(), content.extents, content.reader(), uo, &err));
        set->CloseDevices();
        EXPECT_EQ(S_OK, client.finish());
        EXPECT_EQ(99u, client.commands[0].front());
        EXPECT_EQ(99u, client.commands[1].front());
        EXPECT_TRUE(restore(client.media, opts(65536)).ok);
    }

    // Abort midway: the client's devices see the abort.
    {
        DeviceClient client(2);
        client.start();
        TransferOptions ao = opts(65536);
        ao.faults.abortAtPercent = 50;
        auto set = openConfigured(client, true, ao);
        StreamError err;
        uint64_t last = 0;
        ao.progress = [&](uint64_t done, uint64_t) { last = done; };
        EXPECT_FALSE(writeBackupSet(*set, sampleHeader(), content.extents, content.reader(), ao, &err));
        EXPECT_EQ(3202, err.number);
        EXPECT_GE(last * 2, 500000u);
        EXPECT_LT(last, 500000u);
        EXPECT_EQ(VD_E_ABORT, client.finish());
    }
}

}  // namespace
