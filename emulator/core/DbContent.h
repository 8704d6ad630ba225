// Database content: the data and log files at their physical paths, in 8 KiB pages.
//
// Content is deterministic from the database's seed: each page is text-like, random or zero, chosen
// per (seed, file id, page number). Non-zero pages start with a 16-byte header (file id, page
// number, 64-bit page LSN, little-endian) so that a misplaced page is visible.
//
// Change tracking (for differential and log backups) lives in the catalogue's tracking folder,
// never inside the data or log files, so the files hold content only:
//   changed  pages changed since the last full backup (differential base): records of
//            {u32 file id, u32 page}, appended, duplicates allowed;
//   log      page changes since the last log backup: records of {u64 lsn, u32 file id, u32 page}
//            followed by the page's 8 KiB after-image, in LSN order.
// A log record's LSN is the LSN the change was made at; a restore applies, in order, the records
// whose LSN is above the LSN its database has reached, and ends at the backup's LSN.
//
// Writers take the database's exclusive lock (Catalogue::lockDatabase) around content changes;
// a reader that must see one consistent state (a backup) holds the shared lock while it reads.
#pragma once

#include "emulator/core/Catalogue.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sqlemu {

// An open data or log file. Reads and writes are positional and may be called from several
// threads at once.
class DbFileHandle {
public:
    DbFileHandle() = default;
    // Opens an existing file; throws CatalogueError when it cannot.
    DbFileHandle(const std::string& path, bool writable);
    DbFileHandle(DbFileHandle&& o) noexcept;
    DbFileHandle& operator=(DbFileHandle&& o) noexcept;
    DbFileHandle(const DbFileHandle&) = delete;
    DbFileHandle& operator=(const DbFileHandle&) = delete;
    ~DbFileHandle();

    uint64_t size() const;
    // Reads up to len bytes at offset; returns the count (less only at the end of the file).
    size_t read(uint64_t offset, void* buf, size_t len) const;
    // Writes all len bytes at offset (the file grows as needed); throws on failure.
    void write(uint64_t offset, const void* buf, size_t len);
    void truncate(uint64_t size);
    void sync();
    bool isOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::string path_;
};

// Database files as created by "sqlemu db create": data file <db>.mdf (logical name <db>), log
// <db>_log.ldf (logical <db>_log), further data files <db>_<k>.ndf (logical <db>_<k>), all in the
// given folders. Total data size is split evenly over the data files; each file has at least one page.
std::vector<DbFile> defaultFileTable(const std::string& db, const std::string& dataDir, const std::string& logDir,
                                     uint64_t dataBytes, uint64_t logBytes, int dataFiles);

// Writes every file of db at its physical path with its deterministic content (creating or
// replacing the files). Folders must exist.
void generateContent(const DbInfo& db);

// Creates (or truncates) every file of db at its size, zero-filled, for a restore to write into.
void createEmptyFiles(const DbInfo& db);

// Removes the files of db (missing files are ignored).
void removeFiles(const DbInfo& db);

// Content of one page as generated (used by generateContent and touch).
void makePage(uint64_t seed, int fileId, uint32_t page, uint64_t lsn, unsigned char* out);

// Digest (hex) of the content of every file in file id order: file id, size and bytes. Where the
// files lie and what they are called does not enter it.
std::string contentChecksum(const DbInfo& db);

struct PageRef {
    uint32_t fileId = 0;
    uint32_t page = 0;
    bool operator<(const PageRef& o) const { return fileId != o.fileId ? fileId < o.fileId : page < o.page; }
    bool operator==(const PageRef& o) const { return fileId == o.fileId && page == o.page; }
};

struct LogRecord {
    uint64_t lsn = 0;
    PageRef ref;
    std::vector<unsigned char> image;  // kPageSize bytes
};

// Change tracking of one database (the instance's tracking folder for its id).
class ChangeTracker {
public:
    ChangeTracker(const Catalogue& cat, const std::string& instance, int dbId);

    // Records one page change (called with the database's exclusive lock held).
    void recordChange(uint64_t lsn, PageRef ref, const unsigned char* image);
    // Pages changed since the last full backup, sorted, without duplicates.
    std::vector<PageRef> changedPages() const;
    // Log records since the last log backup, in LSN order; fn returns false to stop.
    void forEachLogRecord(const std::function<bool(const LogRecord&)>& fn) const;
    uint64_t logRecordCount() const;
    void clearChangedPages();  // after a full backup (not a copy-only one)
    void clearLog();           // after a log backup (not a copy-only one)
    void clearAll();           // a database created, replaced or dropped

private:
    std::string dir_;
};

// Adds a database to the instance's catalogue, or replaces the entry of the same name (a restore
// WITH REPLACE): the replaced entry's files that the new table does not reuse are removed, and its
// change tracking is cleared. A zero id gets a fresh one, an empty familyGuid a fresh GUID.
// Content is not written here (generateContent / createEmptyFiles). Returns the stored entry.
DbInfo registerDatabase(Catalogue& cat, const std::string& instance, DbInfo db);
// Removes a database: its entry, files and tracking. False when it does not exist.
bool dropDatabase(Catalogue& cat, const std::string& instance, const std::string& name);
// A fresh GUID text (upper-case, 8-4-4-4-12).
std::string newGuid();

// Writes one page image into a database file (restore of differential and log backups).
void writePage(const DbInfo& db, PageRef ref, const unsigned char* image);
// Reads one page of a database file.
void readPage(const DbInfo& db, PageRef ref, unsigned char* image);

// The "sqlemu db touch" workload: changes `pages` data pages (deterministic from the seed and the
// LSN), records them, advances currentLsn by one per page. Takes the locks itself. Returns the new LSN.
uint64_t touchDatabase(Catalogue& cat, const std::string& instance, const std::string& db, uint32_t pages);

}  // namespace sqlemu
