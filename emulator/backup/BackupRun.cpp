// What BACKUP, RESTORE, RESTORE VERIFYONLY and ALTER DATABASE ... SET SINGLE_USER | MULTI_USER do.
#include "emulator/backup/BackupStatements.h"

#include "emulator/backup/BackupStream.h"
#include "emulator/core/DbContent.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>

using kes::vdi::ServerDeviceSet;

namespace sqlemu::backup {
namespace {

constexpr DWORD kOpenTimeoutMs = 500;
constexpr uint64_t kMaxBufferMemory = 2ull << 30;
constexpr const char* kClaimLock = "files.lock";

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

[[noreturn]] void terminate(const std::string& what) {
    throw SqlError(3013, 16, 1, what + " is terminating abnormally.");
}

[[noreturn]] void fail(Exec& x, int number, int severity, const std::string& text, const std::string& what) {
    x.error(number, severity, 1, text);
    terminate(what);
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// What names one file: the file itself when it exists, else its place once the folder is
// resolved. Two paths name one file when their keys are equal. A restore of hundreds of files
// compares every pair, so each path is resolved once, not once per pair.
std::string fileKey(const std::string& p) {
    struct stat st;
    if (::stat(p.c_str(), &st) == 0) return "file " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    size_t slash = p.find_last_of('/');
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    char resolved[PATH_MAX];
    if (::realpath(folderOf(p).c_str(), resolved)) return "place " + std::string(resolved) + "/" + name;
    return "place " + p;
}

const char* vdiText(HRESULT hr) {
    switch (hr) {
        case VD_E_NOTOPEN: return "The virtual device set was not found.";
        case VD_E_BUSY: return "The virtual device set is in use.";
        case VD_E_ABORT: return "The virtual device set was aborted.";
        case VD_E_INVALID: return "The device is not part of the virtual device set.";
        default: return "The virtual device set cannot be opened.";
    }
}

struct Transfer {
    uint32_t blockSize = 512;
    uint32_t bufferCount = 0;
    uint32_t maxTransferSize = 1u << 20;
    int stats = 0;
};

Transfer resolveTransfer(Exec& x, const TransferWith& w, size_t devices, const std::string& what) {
    Transfer t;
    auto outOfRange = [&](int64_t v, const char* param) {
        fail(x, 3250, 16,
             fmt("The value '%lld' is not within range for the %s parameter.", static_cast<long long>(v), param), what);
    };
    if (w.maxTransferSize) {
        int64_t v = *w.maxTransferSize;
        if (v < 65536 || v > (4 << 20) || v % 65536 != 0) outOfRange(v, "MAXTRANSFERSIZE");
        t.maxTransferSize = static_cast<uint32_t>(v);
    }
    if (w.blockSize) {
        int64_t v = *w.blockSize;
        if (v < 512 || v > 65536 || (v & (v - 1)) != 0) outOfRange(v, "BLOCKSIZE");
        t.blockSize = static_cast<uint32_t>(v);
    }
    if (w.bufferCount) {
        int64_t v = *w.bufferCount;
        if (v < 1 || v > 65536) outOfRange(v, "BUFFERCOUNT");
        t.bufferCount = static_cast<uint32_t>(v);
    } else {
        t.bufferCount = static_cast<uint32_t>(2 * devices + 1);
    }
    if (w.stats) {
        int64_t v = *w.stats;
        if (v < 1 || v > 100) outOfRange(v, "STATS");
        t.stats = static_cast<int>(v);
    }
    if (static_cast<uint64_t>(std::max<uint64_t>(t.bufferCount, devices + 1)) * t.maxTransferSize > kMaxBufferMemory)
        fail(x, 701, 17, "There is insufficient system memory in resource pool 'default' to run this query.", what);
    return t;
}

// "n percent processed." at every STATS step.
class Progress {
public:
    Progress(Exec& x, int step) : x_(x), step_(step), next_(step) {}
    void operator()(uint64_t done, uint64_t total) {
        if (step_ <= 0) return;
        uint64_t pct = total ? done * 100 / total : 100;
        while (next_ <= 100 && static_cast<uint64_t>(next_) <= pct) {
            x_.info(3211, 10, 1, fmt("%d percent processed.", next_));
            next_ += step_;
        }
    }
    void finish() { (*this)(1, 1); }

private:
    Exec& x_;
    int step_;
    int next_;
};

StreamFaults faultsOf(const InstanceInfo& in) {
    StreamFaults f;
    if (in.hasFault("stream-stop")) {
        std::string v = in.faultValue("stream-stop");
        size_t colon = v.find(':');
        f.stopDevice = colon == std::string::npos ? 0 : std::atoi(v.substr(0, colon).c_str());
        f.stopAfterBytes = std::strtoull(colon == std::string::npos ? v.c_str() : v.c_str() + colon + 1, nullptr, 10);
    }
    f.unsupportedCommand = in.hasFault("unsupported-command");
    if (in.hasFault("abort-at")) {
        std::string v = in.faultValue("abort-at");
        f.abortAtPercent = v.empty() ? 50 : std::atoi(v.c_str());
    }
    return f;
}

// Opens and configures the set that the statement names; device i of the clauses must be device i
// of the set.
std::unique_ptr<ServerDeviceSet> openSet(Exec& x, const InstanceInfo& in, const std::vector<std::string>& devices,
                                         const Transfer& t, bool write, const std::string& what) {
    if (in.hasFault("vdi-open-delay")) {
        long ms = std::atol(in.faultValue("vdi-open-delay").c_str());
        if (!x.sleepFor(std::chrono::milliseconds(ms))) terminate(what);
    }
    auto cannotOpen = [&](const std::string& device, HRESULT hr) {
        fail(x, 3201, 16,
             fmt("Cannot open backup device '%s'. Operating system error 0x%08X(%s).", device.c_str(),
                 static_cast<unsigned>(hr), vdiText(hr)),
             what);
    };
    std::unique_ptr<ServerDeviceSet> set;
    HRESULT hr = ServerDeviceSet::Open(x.session().instance(), devices[0], kOpenTimeoutMs, &set);
    if (FAILED(hr)) cannotOpen(devices[0], hr);
    if (set->DeviceCount() != devices.size()) cannotOpen(devices[0], VD_E_INVALID);
    for (size_t i = 0; i < devices.size(); ++i)
        if (set->DeviceIndex(devices[i]) != static_cast<int>(i)) cannotOpen(devices[i], VD_E_INVALID);
    hr = set->Configure(write, t.blockSize, t.maxTransferSize, t.bufferCount);
    if (FAILED(hr)) cannotOpen(devices[0], hr);
    return set;
}

// A single-user database is held by the connection that switched it, as long as that connection
// is open; one that has gone holds nothing.
bool heldByOther(const InstanceInfo& in, const DbInfo& db, Session& s) {
    if (in.hasFault("single-user-held")) {
        std::string v = in.faultValue("single-user-held");
        if (v.empty() || sameName(v, db.name)) return true;
    }
    if (db.userAccess != UserAccess::Single) return false;
    auto it = db.props.find("single_user_holder");
    if (it == db.props.end() || it->second.empty() || it->second == s.id()) return false;
    return s.catalogue().sessionAlive(s.instance(), it->second);
}

std::array<uint8_t, 16> randomId() {
    std::array<uint8_t, 16> id{};
    if (getrandom(id.data(), id.size(), 0) != static_cast<ssize_t>(id.size())) {
        uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        for (size_t i = 0; i < id.size(); ++i)
            id[i] = static_cast<uint8_t>(t >> (8 * (i % 8))) ^ static_cast<uint8_t>(i);
    }
    return id;
}

void writeStandbyFile(const std::string& path, const std::string& db, uint64_t lsn) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "standby undo file of database " << db << " at LSN " << lsn << "\n";
}

void completion(Exec& x, const std::string& what, const std::string& db, const std::vector<FileEntry>& files,
                const std::map<uint32_t, uint64_t>& pagesByFile, uint64_t bytes,
                std::chrono::steady_clock::time_point t0) {
    uint64_t pages = 0;
    for (const FileEntry& f : files) {
        auto it = pagesByFile.find(f.fileId);
        uint64_t n = it == pagesByFile.end() ? 0 : it->second;
        pages += n;
        x.info(4035, 0, 1,
               fmt("Processed %llu pages for database '%s', file '%s' on file 1.", static_cast<unsigned long long>(n),
                   db.c_str(), f.logicalName.c_str()));
    }
    double secs = std::max(0.001, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    x.info(3014, 0, 1,
           fmt("%s successfully processed %llu pages in %.3f seconds (%.3f MB/sec).", what.c_str(),
               static_cast<unsigned long long>(pages), secs, static_cast<double>(bytes) / 1048576.0 / secs));
}

// What BACKUP and RESTORE do first, in this order: note the start, read the instance, resolve
// the transfer and open the device set. From the open on, every failure reaches the client at
// once, as an abort of its set.
struct Prologue {
    Prologue(Exec& x, const std::vector<std::string>& devices, const TransferWith& with, bool write,
             const std::string& verb)
        : x(x),
          t0(std::chrono::steady_clock::now()),
          verb(verb),
          cat(x.catalogue()),
          inst(x.session().instance()),
          in(cat.read(inst)),
          t(resolveTransfer(x, with, devices.size(), verb)),
          set(openSet(x, in, devices, t, write, verb)) {}

    // Ends the statement: the options named do not go together.
    [[noreturn]] void unsupported(const char* options) const {
        fail(x, 3032, 16,
             fmt("One or more of the options (%s) are not supported for this statement. Review the documentation "
                 "for supported options.",
                 options),
             verb);
    }

    // How the set moves its data, with the progress messages of progress.
    TransferOptions options(Progress& progress) const {
        TransferOptions o;
        o.maxTransferSize = t.maxTransferSize;
        o.bufferCount = t.bufferCount;
        o.blockSize = t.blockSize;
        o.progress = std::ref(progress);
        Exec* exec = &x;
        o.cancelled = [exec] { return exec->cancelled(); };
        o.faults = faultsOf(in);
        return o;
    }

    Exec& x;
    const std::chrono::steady_clock::time_point t0;
    const std::string verb;
    Catalogue& cat;
    const std::string inst;
    InstanceInfo in;
    const Transfer t;
    std::unique_ptr<ServerDeviceSet> set;
};

std::vector<FileEntry> fileTable(const DbInfo& db) {
    std::vector<FileEntry> out;
    for (const DbFile& f : db.files)
        out.push_back({static_cast<uint32_t>(f.fileId), f.groupId, f.logicalName, f.physicalPath, f.sizeBytes});
    return out;
}

}  // namespace

// ---- BACKUP -------------------------------------------------------------------------------------

void BackupStatement::execute(Exec& x) {
    Prologue p(x, devices, with, true, log ? "BACKUP LOG" : "BACKUP DATABASE");
    const std::string& what = p.verb;
    Catalogue& cat = p.cat;
    const std::string& inst = p.inst;
    InstanceInfo& in = p.in;
    if (!log && norecovery) p.unsupported("norecovery");
    if (!log && standby) p.unsupported("standby");
    if (log && differential) p.unsupported("differential");
    if (norecovery && standby) p.unsupported("norecovery, standby");
    if (compression && noCompression) p.unsupported("compression, no_compression");
    if (with.checksum && with.noChecksum) p.unsupported("checksum, no_checksum");

    const DbInfo* found = in.findDatabase(database);
    if (!found)
        fail(x, 911, 16,
             fmt("Database '%s' does not exist. Make sure that the name is entered correctly.", database.c_str()),
             what);
    auto checkState = [&](const DbInfo& d) {
        if (d.state == DbState::Restoring)
            fail(x, 927, 14, fmt("Database '%s' cannot be opened. It is in the middle of a restore.", d.name.c_str()),
                 what);
        if (d.state == DbState::Standby)
            fail(x, 3036, 16,
                 fmt("Database '%s' is in warm-standby state (set by executing RESTORE WITH STANDBY) and cannot be "
                     "backed up until the entire restore sequence is completed.",
                     d.name.c_str()),
                 what);
    };
    checkState(*found);
    if (heldByOther(in, *found, x.session()))
        fail(x, 924, 14,
             fmt("Database '%s' is already open and can only have one user at a time.", found->name.c_str()), what);
    if (differential && found->diffBaseLsn == 0)
        fail(x, 3035, 16,
             fmt("Cannot perform a differential backup for database \"%s\", because a current database backup does "
                 "not exist. Perform a full database backup by reissuing BACKUP DATABASE, omitting the WITH "
                 "DIFFERENTIAL option.",
                 found->name.c_str()),
             what);
    if (log && found->lastFullLsn == 0)
        fail(x, 4214, 16, "BACKUP LOG cannot be performed because there is no current database backup.", what);
    if (certificate && !in.hasCertificate(*certificate))
        fail(x, 15151, 16,
             fmt("Cannot find the certificate '%s', because it does not exist or you do not have permission.",
                 certificate->c_str()),
             what);
    if (standby && !isDirectory(folderOf(*standby)))
        fail(x, 5133, 16,
             fmt("Directory lookup for the file \"%s\" failed with the operating system error 3(The system cannot "
                 "find the path specified.).",
                 standby->c_str()),
             what);

    // The content is read under the database's lock; one that clears change tracking excludes
    // writers, so no change slips between what is read and what is cleared.
    FileLock lock = cat.lockDatabase(inst, found->id, !copyOnly);
    in = cat.read(inst);
    found = in.findDatabase(database);
    if (!found)
        fail(x, 911, 16,
             fmt("Database '%s' does not exist. Make sure that the name is entered correctly.", database.c_str()),
             what);
    checkState(*found);
    const DbInfo db = *found;
    ChangeTracker tracker(cat, inst, db.id);

    SetHeader h;
    h.setId = randomId();
    h.kind = log ? BackupKind::Log : differential ? BackupKind::Differential : BackupKind::Full;
    h.flags = (compression ? uint32_t(kFlagCompressed) : 0u) | (with.checksum ? uint32_t(kFlagChecksum) : 0u) |
              (copyOnly ? uint32_t(kFlagCopyOnly) : 0u) | (certificate ? uint32_t(kFlagEncrypted) : 0u);
    h.lastLsn = db.currentLsn;
    h.firstLsn = log ? db.lastLogBackupLsn : differential ? db.diffBaseLsn : db.currentLsn;
    h.databaseBackupLsn = differential ? db.diffBaseLsn : log ? db.lastFullLsn : 0;
    h.createdUnix = static_cast<uint64_t>(std::time(nullptr));
    h.database = db.name;
    h.familyGuid = db.familyGuid;
    h.serverName = inst;
    h.certificate = certificate.value_or("");
    h.files = fileTable(db);
    h.props["seed"] = std::to_string(db.seed);

    std::map<uint32_t, DbFileHandle> handles;
    std::vector<Extent> extents;
    std::vector<std::vector<unsigned char>> images;  // log records' after-images, by extent
    std::map<uint32_t, uint64_t> pagesByFile;
    uint32_t logFileId = 0;
    for (const DbFile& f : db.files)
        if (f.isLog() && !logFileId) logFileId = static_cast<uint32_t>(f.fileId);
    if (h.kind == BackupKind::Full) {
        for (const DbFile& f : db.files) {
            auto& hd = handles[static_cast<uint32_t>(f.fileId)] = DbFileHandle(f.physicalPath, false);
            uint64_t size = hd.size();
            extents.push_back({static_cast<uint32_t>(f.fileId), 0, size, 0});
            pagesByFile[static_cast<uint32_t>(f.fileId)] = size / kPageSize;
        }
    } else if (h.kind == BackupKind::Differential) {
        for (const DbFile& f : db.files) handles[static_cast<uint32_t>(f.fileId)] = DbFileHandle(f.physicalPath, false);
        for (const PageRef& p : tracker.changedPages()) {
            uint64_t off = static_cast<uint64_t>(p.page) * kPageSize;
            if (!extents.empty() && extents.back().fileId == p.fileId &&
                extents.back().offset + extents.back().length == off)
                extents.back().length += kPageSize;
            else
                extents.push_back({p.fileId, off, kPageSize, 0});
            ++pagesByFile[p.fileId];
        }
    } else {
        tracker.forEachLogRecord([&](const LogRecord& r) {
            if (r.lsn <= db.lastLogBackupLsn) return true;
            extents.push_back({r.ref.fileId, static_cast<uint64_t>(r.ref.page) * kPageSize, kPageSize, r.lsn});
            images.push_back(r.image);
            return true;
        });
        pagesByFile[logFileId] = extents.size();
    }
    ExtentReader reader = [&](const Extent& e, uint64_t within, uint8_t* dst, size_t len, StreamError* err) {
        if (h.kind == BackupKind::Log) {
            std::memcpy(dst, images[static_cast<size_t>(&e - extents.data())].data() + within, len);
            return true;
        }
        auto it = handles.find(e.fileId);
        size_t got = it == handles.end() ? 0 : it->second.read(e.offset + within, dst, len);
        if (got != len) {
            std::memset(dst + got, 0, len - got);  // a file shorter than its table entry reads as zeros
        }
        return true;
    };

    Progress progress(x, p.t.stats);
    const TransferOptions o = p.options(progress);
    StreamError err;
    if (!writeBackupSet(*p.set, h, extents, reader, o, &err) || abortedByClient(*p.set, true, &err)) {
        p.set->Abort();
        fail(x, err.number, err.severity, err.text, what);
    }
    p.set->CloseDevices();

    cat.update(inst, [&](InstanceInfo& cur) {
        DbInfo* d = cur.findDatabase(db.name);
        if (!d) return;
        if (h.kind == BackupKind::Full && !copyOnly) d->lastFullLsn = d->diffBaseLsn = db.currentLsn;
        if (log && !copyOnly) d->lastLogBackupLsn = db.currentLsn;
        if (log && (norecovery || standby)) {
            // The database leaves use: its connections, the single user's included, are closed.
            d->state = norecovery ? DbState::Restoring : DbState::Standby;
            d->userAccess = UserAccess::Multi;
            d->props.erase("single_user_holder");
            if (standby) d->props["standby_file"] = *standby;
        }
    });
    if (h.kind == BackupKind::Full && !copyOnly) tracker.clearChangedPages();
    if (log && !copyOnly) tracker.clearLog();
    if (standby) writeStandbyFile(*standby, db.name, db.currentLsn);
    lock.release();

    progress.finish();
    uint64_t bytes = 0;
    for (const Extent& e : extents) bytes += e.length;
    completion(x, differential ? "BACKUP DATABASE WITH DIFFERENTIAL" : what, db.name, h.files, pagesByFile, bytes,
               p.t0);
}

// ---- RESTORE ------------------------------------------------------------------------------------

namespace {

// Plans the restore once the set header is known, then writes what the stream carries.
class RestoreRun : public RestoreSink {
public:
    RestoreRun(Exec& x, const RestoreStatement& s, const std::string& inst)
        : x_(x), s_(s), cat_(x.catalogue()), inst_(inst) {}

    bool begin(const SetHeader& h, StreamError* err) override {
        header_ = h;
        InstanceInfo in = cat_.read(inst_);
        if (!h.certificate.empty() && !in.hasCertificate(h.certificate))
            return problem(err, 33111,
                           fmt("Cannot find server certificate with thumbprint '%s'.", h.certificate.c_str()));
        if (s_.what == RestoreStatement::VerifyOnly) return true;
        const bool logRestore = s_.what == RestoreStatement::Log;
        if (logRestore != (h.kind == BackupKind::Log))
            return problem(err, 3135,
                           fmt("The backup set in file '%s' was created by %s and cannot be used for this restore "
                               "operation.",
                               s_.devices[0].c_str(),
                               h.kind == BackupKind::Log            ? "BACKUP LOG"
                               : h.kind == BackupKind::Differential ? "BACKUP DATABASE WITH DIFFERENTIAL"
                                                                    : "BACKUP DATABASE"));
        const DbInfo* existing = in.findDatabase(s_.database);
        if (existing && heldByOther(in, *existing, x_.session()))
            return problem(err, 3101, "Exclusive access could not be obtained because the database is in use.");
        if (standbyProblem(err)) return false;
        if (h.kind == BackupKind::Full) return planFull(in, existing, err);

        if (!existing || existing->state == DbState::Online)
            return problem(
                err, 3117,
                "The log or differential backup cannot be restored because no files are ready to rollforward.");
        if (h.kind == BackupKind::Differential) {
            if (existing->familyGuid != h.familyGuid || existing->diffBaseLsn != h.databaseBackupLsn ||
                existing->currentLsn > h.lastLsn)
                return problem(err, 3136,
                               "This differential backup cannot be restored because the database has not been restored "
                               "to the correct earlier state.");
        } else {
            reached_ = existing->currentLsn;
            if (existing->familyGuid != h.familyGuid || h.firstLsn > reached_)
                return problem(err, 4305,
                               fmt("The log in this backup set begins at LSN %llu, which is too recent to apply to the "
                                   "database. An earlier log backup that includes LSN %llu can be restored.",
                                   ull(h.firstLsn), ull(reached_)));
            if (h.lastLsn < reached_)
                return problem(err, 4326,
                               fmt("The log in this backup set terminates at LSN %llu, which is too early to apply to "
                                   "the database. A more recent log backup that includes LSN %llu can be restored.",
                                   ull(h.lastLsn), ull(reached_)));
        }
        // From here on the database is being restored: a failure leaves it RESTORING.
        lock_ = cat_.lockDatabase(inst_, existing->id, true);
        cat_.update(inst_, [&](InstanceInfo& cur) {
            if (DbInfo* d = cur.findDatabase(s_.database)) d->state = DbState::Restoring;
        });
        tracker_ = std::make_unique<ChangeTracker>(cat_, inst_, existing->id);
        return openFiles(*existing, err);
    }

    bool data(const Extent& r, uint64_t within, const uint8_t* p, size_t len, StreamError* err) override {
        if (s_.what == RestoreStatement::VerifyOnly) return true;
        if (header_.kind == BackupKind::Log && r.lsn <= reached_) return true;
        auto it = files_.find(r.fileId);
        if (it == files_.end())
            return problem(err, 3241,
                           fmt("The media family on device '%s' is incorrectly formed. SQL Server cannot process this "
                               "media family.",
                               s_.devices[0].c_str()));
        try {
            it->second.write(r.offset + within, p, len);
        } catch (const std::exception& e) {
            return problem(err, 3634,
                           fmt("The operating system returned the error '%s' while attempting 'WriteFile'.", e.what()));
        }
        return true;
    }

    bool recordDone(const Extent& r, StreamError* err) override {
        if (tracker_ && !(header_.kind == BackupKind::Log && r.lsn <= reached_)) {
            // Pages that a differential or log restore changes are changes since the full base, so
            // that a later differential of this database carries them too.
            std::vector<unsigned char> image(kPageSize);
            auto it = files_.find(r.fileId);
            for (uint64_t off = r.offset - r.offset % kPageSize; off < r.offset + r.length; off += kPageSize) {
                if (it == files_.end() || it->second.read(off, image.data(), kPageSize) != kPageSize)
                    return problem(err, 3634,
                                   "The operating system returned the error 'short read' while attempting 'ReadFile'.");
                tracker_->recordChange(r.lsn ? r.lsn : header_.lastLsn,
                                       PageRef{r.fileId, static_cast<uint32_t>(off / kPageSize)}, image.data());
            }
        }
        if (header_.kind == BackupKind::Log) {
            if (r.lsn > reached_) ++pagesByFile_[logFileId_];
        } else {
            bytesByFile_[r.fileId] += r.length;  // records need not end on a page
            pagesByFile_[r.fileId] = (bytesByFile_[r.fileId] + kPageSize - 1) / kPageSize;
        }
        return true;
    }

    // After the whole stream: the database's new state.
    void complete() {
        if (s_.what == RestoreStatement::VerifyOnly) return;
        const SetHeader& h = header_;
        cat_.update(inst_, [&](InstanceInfo& cur) {
            DbInfo* d = cur.findDatabase(s_.database);
            if (!d) return;
            d->state = s_.standby ? DbState::Standby : s_.norecovery ? DbState::Restoring : DbState::Online;
            d->currentLsn = h.lastLsn;
            d->lastLogBackupLsn = h.lastLsn;
            if (h.kind == BackupKind::Full) d->lastFullLsn = d->diffBaseLsn = h.lastLsn;
            d->userAccess = UserAccess::Multi;
            d->props.erase("single_user_holder");
            if (s_.standby)
                d->props["standby_file"] = *s_.standby;
            else
                d->props.erase("standby_file");
        });
        if (s_.standby) writeStandbyFile(*s_.standby, s_.database, h.lastLsn);
        lock_.release();
    }

    const SetHeader& header() const { return header_; }
    const std::map<uint32_t, uint64_t>& pagesByFile() const { return pagesByFile_; }
    const std::vector<DiagRecord>& planning() const { return planning_; }

private:
    static unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

    bool problem(StreamError* err, int number, const std::string& text) {
        err->number = number;
        err->severity = 16;
        err->text = text;
        return false;
    }

    bool standbyProblem(StreamError* err) {
        if (!s_.standby || isDirectory(folderOf(*s_.standby))) return false;
        problem(err, 5133,
                fmt("Directory lookup for the file \"%s\" failed with the operating system error 3(The system cannot "
                    "find the path specified.).",
                    s_.standby->c_str()));
        return true;
    }

    bool planFull(const InstanceInfo& in, const DbInfo* existing, StreamError* err) {
        const SetHeader& h = header_;
        if (existing && !s_.replace) {
            if (existing->familyGuid != h.familyGuid)
                return problem(err, 3154,
                               fmt("The backup set holds a backup of a database other than the existing '%s' database.",
                                   existing->name.c_str()));
            if (existing->state == DbState::Online)
                return problem(err, 3159,
                               fmt("The tail of the log for the database \"%s\" has not been backed up. Use BACKUP LOG "
                                   "WITH NORECOVERY to backup the log if it contains work you do not want to lose. Use "
                                   "the WITH REPLACE or WITH STOPAT clause of the RESTORE statement to just overwrite "
                                   "the contents of the log.",
                                   existing->name.c_str()));
        }
        for (const auto& mv : s_.moves) {
            bool known = false;
            for (const FileEntry& f : h.files) known = known || sameName(f.logicalName, mv.first);
            if (!known)
                return problem(err, 3234,
                               fmt("Logical file '%s' is not part of database '%s'. Use RESTORE FILELISTONLY to list "
                                   "the logical file names.",
                                   mv.first.c_str(), s_.database.c_str()));
        }
        DbInfo nd;
        nd.name = existing ? existing->name : s_.database;
        nd.state = DbState::Restoring;
        nd.familyGuid = h.familyGuid;
        auto seed = h.props.find("seed");
        nd.seed = seed == h.props.end() ? 0 : std::strtoull(seed->second.c_str(), nullptr, 10);
        for (const FileEntry& f : h.files) {
            DbFile df;
            df.fileId = static_cast<int>(f.fileId);
            df.logicalName = f.logicalName;
            df.physicalPath = f.physicalPath;
            for (const auto& mv : s_.moves)
                if (sameName(mv.first, f.logicalName)) df.physicalPath = mv.second;
            df.groupId = f.groupId;
            df.sizeBytes = f.sizeBytes;
            nd.files.push_back(df);
        }
        if (existing) lock_ = cat_.lockDatabase(inst_, existing->id, true);
        // No other restore may claim files between the check and the registration.
        FileLock claiming(cat_.root() + "/" + kClaimLock, true);
        std::vector<std::string> keys;
        for (const DbFile& f : nd.files) keys.push_back(fileKey(f.physicalPath));
        const std::map<std::string, FileUser> users = usersOfFiles(nd.name);
        for (size_t i = 0; i < nd.files.size(); ++i) {
            const DbFile& f = nd.files[i];
            const DbFile* twin = nullptr;
            for (size_t j = 0; j < nd.files.size() && !twin; ++j)
                if (j != i && keys[j] == keys[i]) twin = &nd.files[j];
            if (twin && twin->fileId < f.fileId) continue;  // reported with the first of the two
            if (twin) {
                planning_.push_back(record(3176, fmt("File '%s' is claimed by '%s'(%d) and '%s'(%d). The WITH MOVE "
                                                     "clause can be used to relocate one or more files.",
                                                     f.physicalPath.c_str(), twin->logicalName.c_str(), twin->fileId,
                                                     f.logicalName.c_str(), f.fileId)));
                continue;
            }
            const auto held = users.find(keys[i]);
            const FileUser user = held == users.end() ? FileUser() : held->second;
            if (!isDirectory(folderOf(f.physicalPath))) {
                planning_.push_back(record(5133, fmt("Directory lookup for the file \"%s\" failed with the operating "
                                                     "system error 2(The system cannot find the file specified.).",
                                                     f.physicalPath.c_str())));
            } else if (!user.database.empty() && sameName(user.instance, inst_)) {
                planning_.push_back(record(1834, fmt("The file '%s' cannot be overwritten.  It is being used by "
                                                     "database '%s'.",
                                                     f.physicalPath.c_str(), user.database.c_str())));
            } else if (!user.database.empty()) {
                // Another server holds it open; this one knows only the operating system's refusal.
                planning_.push_back(record(3634, fmt("The operating system returned the error '32(The process cannot "
                                                     "access the file because it is being used by another process.)' "
                                                     "while attempting 'RestoreContainer::ValidateTargetForCreation' "
                                                     "on '%s'.",
                                                     f.physicalPath.c_str())));
            } else {
                continue;
            }
            planning_.push_back(record(3156, fmt("File '%s' cannot be restored to '%s'. Use WITH MOVE to identify a "
                                                 "valid location for the file.",
                                                 f.logicalName.c_str(), f.physicalPath.c_str())));
        }
        if (!planning_.empty())
            return problem(err, 3119,
                           "Problems were identified while planning for the RESTORE statement. Previous messages "
                           "provide details.");
        nd.id = existing ? existing->id : 0;
        // From here on the database is being restored: a failure leaves it RESTORING.
        DbInfo registered = registerDatabase(cat_, inst_, nd);
        claiming.release();  // the files are this database's now
        if (!existing) lock_ = cat_.lockDatabase(inst_, registered.id, true);
        try {
            createEmptyFiles(registered);
        } catch (const std::exception& e) {
            return problem(
                err, 3634,
                fmt("The operating system returned the error '%s' while attempting 'CreateFile'.", e.what()));
        }
        return openFiles(registered, err);
    }

    struct FileUser {
        std::string instance, database;
    };
    // Every file that a database on any instance of the data root holds, by its key, with that
    // database; the database being restored over (`restoring` on this instance) does not count.
    std::map<std::string, FileUser> usersOfFiles(const std::string& restoring) const {
        std::map<std::string, FileUser> users;
        for (const std::string& name : cat_.instances()) {
            InstanceInfo other;
            try {
                other = cat_.read(name);
            } catch (const CatalogueError&) {
                continue;  // dropped meanwhile
            }
            const bool here = sameName(name, inst_);
            for (const DbInfo& d : other.databases) {
                if (here && sameName(d.name, restoring)) continue;
                for (const DbFile& g : d.files) users.emplace(fileKey(g.physicalPath), FileUser{other.name, d.name});
            }
        }
        return users;
    }

    bool openFiles(const DbInfo& db, StreamError* err) {
        try {
            for (const DbFile& f : db.files) {
                files_[static_cast<uint32_t>(f.fileId)] = DbFileHandle(f.physicalPath, true);
                if (f.isLog() && !logFileId_) logFileId_ = static_cast<uint32_t>(f.fileId);
            }
        } catch (const std::exception& e) {
            return problem(
                err, 3634,
                fmt("The operating system returned the error '%s' while attempting 'CreateFile'.", e.what()));
        }
        return true;
    }

    static DiagRecord record(int number, const std::string& text) {
        DiagRecord r;
        r.native = number;
        r.severity = 16;
        r.state = 1;
        r.text = text;
        r.sqlstate = defaultSqlState(number, 16);
        return r;
    }

    Exec& x_;
    const RestoreStatement& s_;
    Catalogue& cat_;
    std::string inst_;
    SetHeader header_;
    uint64_t reached_ = 0;
    uint32_t logFileId_ = 0;
    FileLock lock_;
    std::unique_ptr<ChangeTracker> tracker_;  // differential and log restores
    std::map<uint32_t, DbFileHandle> files_;
    std::map<uint32_t, uint64_t> pagesByFile_, bytesByFile_;
    std::vector<DiagRecord> planning_;
};

}  // namespace

void RestoreStatement::execute(Exec& x) {
    Prologue p(x, devices, with, false,
               this->what == VerifyOnly ? "VERIFY DATABASE"
               : this->what == Log      ? "RESTORE LOG"
                                        : "RESTORE DATABASE");
    const std::string& verb = p.verb;
    if (recovery && norecovery) p.unsupported("recovery, norecovery");
    if (standby && (recovery || norecovery)) p.unsupported(recovery ? "recovery, standby" : "norecovery, standby");
    if (with.checksum && with.noChecksum) p.unsupported("checksum, no_checksum");

    Progress progress(x, p.t.stats);
    const TransferOptions o = p.options(progress);
    RestoreRun run(x, *this, p.inst);
    StreamError err;
    if (!readBackupSet(*p.set, run, o, nullptr, &err) || abortedByClient(*p.set, false, &err)) {
        p.set->Abort();
        for (const DiagRecord& r : run.planning()) x.error(r);
        fail(x, err.number, err.severity, err.text, verb);
    }
    p.set->CloseDevices();
    run.complete();
    progress.finish();
    if (this->what == VerifyOnly) {
        x.info(3262, 0, 1, "The backup set on file 1 is valid.");
        return;
    }
    uint64_t bytes = 0;
    for (const auto& f : run.pagesByFile()) bytes += f.second * kPageSize;
    completion(x, verb, database, run.header().files, run.pagesByFile(), bytes, p.t0);
}

// ---- ALTER DATABASE ... SET SINGLE_USER | MULTI_USER ---------------------------------------------

void AlterUserAccessStatement::execute(Exec& x) {
    Catalogue& cat = x.catalogue();
    const std::string inst = x.session().instance();
    InstanceInfo in = cat.read(inst);
    auto failed = [&](int number, int severity, const std::string& text) {
        x.error(number, severity, 1, text);
        throw SqlError(5069, 16, 1, "ALTER DATABASE statement failed.");
    };
    const DbInfo* d = in.findDatabase(database);
    if (!d)
        failed(5011, 14,
               fmt("User does not have permission to alter database '%s', the database does not exist, or the "
                   "database is not in a state that allows access checks.",
                   database.c_str()));
    if (d->state == DbState::Restoring)
        failed(5052, 16, "ALTER DATABASE is not permitted while a database is in the Restoring state.");
    if (heldByOther(in, *d, x.session()))
        failed(5064, 16,
               fmt("Changes to the state or options of database '%s' cannot be made at this time. The database is in "
                   "single-user mode, and a user is currently connected to it.",
                   d->name.c_str()));
    const std::string me = x.session().id();
    cat.update(inst, [&](InstanceInfo& cur) {
        DbInfo* db = cur.findDatabase(database);
        if (!db) return;
        if (single) {
            db->userAccess = UserAccess::Single;
            db->props["single_user_holder"] = me;
        } else {
            db->userAccess = UserAccess::Multi;
            db->props.erase("single_user_holder");
        }
    });
    x.refreshInstanceInfo();
}

}  // namespace sqlemu::backup
