// The emulated server's backup stream: how a backup set travels over the devices of a virtual
// device set, and how a restore or verify reads it back.
//
// Every device carries one media family of the set, a byte stream of records. A record is an
// 80-byte header, its payload, then the CRC-32C of the payload (4 bytes, so that a writer can read
// content straight into the command buffers); records pack back to back and may straddle command
// buffers, so a reader takes any command size. Header, little-endian:
//    0 u32 magic "KSBR"       4 u16 type (1 set header, 2 data, 3 end)    6 u16 format version (1)
//    8 u8[16] set id          24 u16 family k (1-based)   26 u16 family count n
//   28 u32 payload length     32 u64 sequence of the record within its family (the set header is 0)
//   40 u64 data: index of the record within the whole set; else 0
//   48 u64 data: byte offset in the file                  56 u32 data: file id
//   60 u32 reserved (0)                                   64 u64 data: LSN of a log record, else 0
//   72 u32 reserved (0)                                   76 u32 CRC-32C of bytes 0..75
// Family k holds: its set header (the same payload on every family: kind, LSNs, file table, ...),
// then the data records whose set index i has i mod n == k - 1, in rising order, then an end record
// (payload: its own data record and byte counts, then those of the whole set), zero padding up to
// the block size. After the last buffer the writer sends VDC_Flush to every device.
// A reader takes every family in as it arrives, one thread per device, and applies the data records
// in set order (0, 1, 2, ... round the families), so log records come in LSN order; it checks every header and payload
// checksum, the sequence, the family number against the device's place in the statement, and the end record's counts.
#pragma once

#include "platform/vdi/VdiServer.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sqlemu::backup {

constexpr uint32_t kRecordHeaderSize = 80;
constexpr uint32_t kRecordMagic = 0x5242534Bu;  // "KSBR"
constexpr uint16_t kFormatVersion = 1;

enum class BackupKind : uint8_t { Full = 1, Differential = 2, Log = 3 };
const char* kindName(BackupKind k);  // "DATABASE", "DATABASE" (differential), "LOG"

enum : uint32_t {
    kFlagCompressed = 1,
    kFlagChecksum = 2,
    kFlagCopyOnly = 4,
    kFlagEncrypted = 8,
};

struct FileEntry {
    uint32_t fileId = 0;
    int32_t groupId = 1;  // 0 for a log file
    std::string logicalName;
    std::string physicalPath;
    uint64_t sizeBytes = 0;
    bool operator==(const FileEntry& o) const {
        return fileId == o.fileId && groupId == o.groupId && logicalName == o.logicalName &&
               physicalPath == o.physicalPath && sizeBytes == o.sizeBytes;
    }
};

struct SetHeader {
    std::array<uint8_t, 16> setId{};
    BackupKind kind = BackupKind::Full;
    uint16_t familyCount = 1;  // filled by the writer
    uint32_t flags = 0;
    uint32_t blockSize = 512;
    uint64_t firstLsn = 0;           // log: the LSN the backup starts at
    uint64_t lastLsn = 0;            // the LSN the backup brings a database to
    uint64_t databaseBackupLsn = 0;  // differential: the LSN of its full base
    uint64_t createdUnix = 0;
    uint64_t dataRecords = 0;  // filled by the writer
    uint64_t dataBytes = 0;    // filled by the writer
    std::string database;
    std::string familyGuid;
    std::string serverName;
    std::string certificate;
    std::vector<FileEntry> files;
    std::map<std::string, std::string> props;
};

std::string encodeHeader(const SetHeader& h);
bool decodeHeader(const uint8_t* data, size_t len, SetHeader* out);

// A range of content that the backup carries: `length` bytes of file `fileId` at `offset`; `lsn`
// is that of a log record (0 otherwise).
struct Extent {
    uint32_t fileId = 0;
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t lsn = 0;
};

// A server message: number, severity and text (without any prefix).
struct StreamError {
    int number = 0;
    int severity = 16;
    std::string text;
};

// Fills dst with len bytes of the extent, starting `within` bytes into it. May fail with a message.
using ExtentReader = std::function<bool(const Extent&, uint64_t within, uint8_t* dst, size_t len, StreamError*)>;

struct StreamFaults {
    int stopDevice = -1;  // this device's stream stops after stopAfterBytes bytes
    uint64_t stopAfterBytes = 0;
    bool unsupportedCommand = false;  // send every device an unknown command first
    int abortAtPercent = -1;          // abort the set when this share of the data has moved
};

struct TransferOptions {
    uint32_t maxTransferSize = 1u << 20;
    uint32_t bufferCount = 0;            // the most commands outstanding (0: one per device); at least
                                         // one buffer more than the devices is kept for filling
    uint32_t commandTimeoutMs = 120000;  // a command left unanswered this long aborts the set
    uint32_t stallMs = 20;               // a restore waiting this long for one family lets the others run ahead
    uint32_t blockSize = 512;
    // Called from the transfer thread as data moves (bytes done, bytes in all).
    std::function<void(uint64_t, uint64_t)> progress;
    // Polled while waiting; true ends the transfer (the statement was cancelled).
    std::function<bool()> cancelled;
    StreamFaults faults;
};

// Writes the whole set over the (configured) device set: header, extents, end records, flush.
// The caller closes the devices on success. On failure `err` holds the message.
bool writeBackupSet(kes::vdi::ServerDeviceSet& set, SetHeader header, const std::vector<Extent>& extents,
                    const ExtentReader& read, const TransferOptions& opt, StreamError* err);

// Receives what a reader finds, in the set's order.
class RestoreSink {
public:
    virtual ~RestoreSink() = default;
    // Every family's set header has been read and agrees. Returning false stops the read.
    virtual bool begin(const SetHeader& header, StreamError* err) = 0;
    // A piece of a data record's payload (pieces come in order; the checksum is checked at the end).
    virtual bool data(const Extent& record, uint64_t within, const uint8_t* p, size_t len, StreamError* err) = 0;
    // The data record's checksum was right.
    virtual bool recordDone(const Extent& record, StreamError* err) { return true; }
};

// Whether the client aborted the set after the transfer itself had succeeded (a stream that broke
// once its last command was answered): the statement must then fail like any failed device, since
// the client has not taken the set whole. Fills `err` when it did.
bool abortedByClient(kes::vdi::ServerDeviceSet& set, bool write, StreamError* err);

// Reads a whole set from the (configured) device set into the sink, which is called on the calling
// thread. Device d must carry family d+1. A failed read has aborted the set.
bool readBackupSet(kes::vdi::ServerDeviceSet& set, RestoreSink& sink, const TransferOptions& opt, SetHeader* header,
                   StreamError* err);

}  // namespace sqlemu::backup
