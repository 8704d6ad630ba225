#include "engine/mediaset.h"

#include "engine/moveclauses.h"
#include "platform/win32/win32.h"
#include "support/Log.h"
#include "support/SysUtils.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <set>

const char kTempSuffix[] = ".kestrune-tmp";
const char kRecordSuffix[] = ".kestrune-commit";
const char kKeptSuffix[] = ".kestrune-kept-";

namespace {

const char kRecordHead[] = "kestrune commit record 1\n";

// How long a run waits for another run that is putting the same files in place right now.
const DWORD kHeldWaitMs = 10000;
const DWORD kHeldPollMs = 100;

uint64_t Fnv1a(const std::string& s) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string Hex64(uint64_t v) {
    char text[17];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

size_t NameMax(const std::string& path) { return GetMaxComponentLengthA(FolderOf(path).c_str()); }

// The name that `suffix` gives beside `target` on its own file system.
std::string Beside(const std::string& target, const std::string& suffix) {
    return SuffixedName(target, suffix, NameMax(target));
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Reason() { return ErrorText(GetLastError()); }

// The absolute path of the file that writing to `file` reaches. False (the error set) when the
// name leads nowhere.
bool ResolveTarget(const std::string& file, std::string* target) {
    char resolved[4096];
    char absolute[4096];
    if (file.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (ResolveFinalLinkA(file.c_str(), resolved, sizeof resolved) == 0) return false;
    if (GetAbsolutePathA(resolved, absolute, sizeof absolute) == 0) return false;
    *target = absolute;
    return true;
}

// Removes `path`; a file that is not there counts as removed.
bool RemoveIfThere(const std::string& path) {
    return DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Syncs the folder of every path once; the reason of the first failure, else "".
std::string SyncFolders(const std::vector<std::string>& paths) {
    std::set<std::string> done;
    for (const std::string& p : paths) {
        if (!done.insert(FolderOf(p)).second) continue;
        if (!FlushFolderOfA(p.c_str())) return "syncing the folder " + FolderOf(p) + " failed (" + Reason() + ")";
    }
    return std::string();
}

// Opens `temp` held, so that no other run takes it meanwhile. INVALID_HANDLE_VALUE with *held set
// when a live run holds it, and without when it is not there (or cannot be opened).
HANDLE HoldIfFree(const std::string& temp, bool* held) {
    HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    *held = h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
    return h;
}

bool WriteRecord(const std::string& path, const std::string& text) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), nullptr, nullptr) && FlushFileBuffers(h);
    const DWORD err = GetLastError();
    CloseHandle(h);
    SetLastError(err);
    return ok;
}

std::string Field(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

// Reads what Field wrote.
bool ReadField(const std::string& s, size_t* pos, std::string* out) {
    size_t p = *pos;
    size_t n = 0;
    const size_t digits = p;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9' && p - digits < 6) n = n * 10 + static_cast<size_t>(s[p++] - '0');
    if (p == digits || p >= s.size() || s[p] != ':' || s.size() - (p + 1) < n) return false;
    *out = s.substr(p + 1, n);
    *pos = p + 1 + n;
    return true;
}

}  // namespace

std::string SuffixedName(const std::string& path, const std::string& suffix, size_t nameMax) {
    const size_t slash = path.rfind('/');
    const std::string head = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = path.substr(head.size());
    if (name.size() + suffix.size() <= nameMax) return path + suffix;
    const std::string tag = "~" + Hex64(Fnv1a(name));
    const size_t room = nameMax > tag.size() + suffix.size() ? nameMax - tag.size() - suffix.size() : 0;
    return head + name.substr(0, room) + tag + suffix;
}

std::string FormatCommitRecord(const CommitRecord& record) {
    std::string body = kRecordHead;
    body += "id " + Field(record.id) + "\n";
    for (const auto& r : record.renames) body += "rename " + Field(r.first) + " " + Field(r.second) + "\n";
    for (const std::string& f : record.removals) body += "remove " + Field(f) + "\n";
    return body + "end " + Hex64(Fnv1a(body)) + "\n";
}

bool ParseCommitRecord(const std::string& text, CommitRecord* record) {
    size_t pos = 0;
    CommitRecord r;
    if (!SkipLiteral(text, &pos, kRecordHead) || !SkipLiteral(text, &pos, "id ") || !ReadField(text, &pos, &r.id) ||
        !SkipLiteral(text, &pos, "\n"))
        return false;
    for (;;) {
        const size_t line = pos;
        std::string a, b;
        if (SkipLiteral(text, &pos, "rename ")) {
            if (!ReadField(text, &pos, &a) || !SkipLiteral(text, &pos, " ") || !ReadField(text, &pos, &b) ||
                !SkipLiteral(text, &pos, "\n") || a.empty() || b.empty())
                return false;
            r.renames.emplace_back(a, b);
        } else if (SkipLiteral(text, &pos, "remove ")) {
            if (!ReadField(text, &pos, &a) || !SkipLiteral(text, &pos, "\n") || a.empty()) return false;
            r.removals.push_back(a);
        } else if (SkipLiteral(text, &pos, "end ")) {
            if (text.compare(pos, std::string::npos, Hex64(Fnv1a(text.substr(0, line))) + "\n") != 0) return false;
            break;
        } else {
            return false;
        }
    }
    if (r.renames.empty()) return false;
    *record = r;
    return true;
}

namespace {

enum class Look { Clear, Held, Failed };

// Completes the commit whose record beside `target` is `recordPath`, when there is one.
Look RollForwardRecord(const std::string& target, const std::string& recordPath) {
    if (!Exists(recordPath)) return Look::Clear;
    std::string text;
    if (!ReadFileToString(recordPath, text)) {
        Log::WError("Failed to read the commit record [%s] (%s)", recordPath.c_str(), Reason().c_str());
        return Look::Failed;
    }
    CommitRecord record;
    if (!ParseCommitRecord(text, &record)) {
        // A cut record: its run died while writing it, unless that run is still at it.
        bool held = false;
        HANDLE h = HoldIfFree(Beside(target, kTempSuffix), &held);
        if (held) return Look::Held;
        const bool removed = RemoveIfThere(recordPath);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (removed) return Look::Clear;
        Log::WError("Failed to remove the unfinished commit record [%s] (%s)", recordPath.c_str(), Reason().c_str());
        return Look::Failed;
    }

    std::vector<HANDLE> holds;
    auto release = [&holds] {
        for (HANDLE h : holds)
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    };
    for (const auto& r : record.renames) {
        bool held = false;
        holds.push_back(HoldIfFree(r.first, &held));
        if (held) {
            release();
            return Look::Held;
        }
    }
    // The commit counts only when every final file has this record beside it: otherwise its run
    // stopped before the last record was written (nothing was renamed yet), or after the renames
    // while it removed the records.
    // This commit's records, and cut ones beside its files (their temporary files are held now):
    // a whole record of another commit is left to it.
    std::vector<std::string> records;
    std::vector<std::string> finals;
    bool whole = true;
    for (const auto& r : record.renames) {
        const std::string path = Beside(r.second, kRecordSuffix);
        std::string other;
        CommitRecord another;
        const bool read = Exists(path) && ReadFileToString(path, other);
        if (!read || other != text) whole = false;
        if (read && (other == text || !ParseCommitRecord(other, &another))) records.push_back(path);
        // A backup renames only a file's own temporary file over it.
        if (r.first != Beside(r.second, kTempSuffix)) whole = false;
        finals.push_back(r.second);
    }
    // and removes only an options file.
    const std::string optionsTail = OptionsFileName("");
    for (const std::string& f : record.removals)
        if (f.size() <= optionsTail.size() ||
            f.compare(f.size() - optionsTail.size(), std::string::npos, optionsTail) != 0)
            whole = false;
    std::string why;
    if (whole) {
        for (size_t i = 0; i < record.renames.size() && why.empty(); ++i) {
            const auto& r = record.renames[i];
            if (holds[i] != INVALID_HANDLE_VALUE &&
                !MoveFileExA(r.first.c_str(), r.second.c_str(), MOVEFILE_REPLACE_EXISTING))
                why = "renaming [" + r.first + "] over [" + r.second + "] failed (" + Reason() + ")";
        }
        if (why.empty()) why = SyncFolders(finals);
        for (size_t i = 0; i < record.removals.size() && why.empty(); ++i)
            if (!RemoveIfThere(record.removals[i]))
                why = "removing [" + record.removals[i] + "] failed (" + Reason() + ")";
    }
    // The record found last, so that one cut short here is found again.
    records.push_back(recordPath);
    for (size_t i = records.size(); i-- > 0 && why.empty();)
        if (!RemoveIfThere(records[i])) why = "removing [" + records[i] + "] failed (" + Reason() + ")";
    if (why.empty()) why = SyncFolders(records);
    release();
    if (!why.empty()) {
        Log::WError("Failed to complete the replacement of a set that an earlier backup began: %s.", why.c_str());
        return Look::Failed;
    }
    if (whole) {
        std::string names;
        for (const std::string& f : finals) names += (names.empty() ? "[" : ", [") + f + "]";
        Log::WWarn("An earlier backup had not finished putting its set in place; it is in place now: %s.",
                   names.c_str());
    }
    return Look::Clear;
}

bool RollForwardFile(const std::string& file) {
    std::string target;
    if (!ResolveTarget(file, &target)) return true;  // nothing there to complete
    const DWORD attrs = GetFileAttributesA(target.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & (FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_DIRECTORY))) return true;
    const std::string record = Beside(target, kRecordSuffix);
    const DWORD start = GetTickCount();
    for (;;) {
        const Look look = RollForwardRecord(target, record);
        if (look != Look::Held) return look == Look::Clear;
        if (GetTickCount() - start >= kHeldWaitMs) {
            Log::WError("The media file [%s] is being written by another run.", file.c_str());
            return false;
        }
        Sleep(kHeldPollMs);
    }
}

struct Claimed {
    std::string file;    // as the run names it
    std::string target;  // the absolute path of the file that name leads to, which the set replaces
    std::string temp;    // written instead of target; empty: written in place
    ULONGLONG folderVolume = 0, folderIndex = 0;  // the folder of target, whatever its spelling
    HANDLE hold = INVALID_HANDLE_VALUE;
    bool options = false;
    bool done = false;  // renamed, kept aside or removed: nothing of it is left to handle
};

// The run's set. The process's ending may come from any thread, so the table is locked; it is
// made once and never destroyed, since threads may outlive main.
struct MediaSet {
    std::mutex lock;
    std::vector<Claimed> files;
    bool counted = false;  // the server has counted the backup
};
MediaSet& Set() {
    static MediaSet* set = new MediaSet;
    return *set;
}

// The callers below hold the set's lock.
void Release(MediaSet& set) {
    for (Claimed& c : set.files)
        if (c.hold != INVALID_HANDLE_VALUE) CloseHandle(c.hold);
    set.files.clear();
    set.counted = false;
}

void RemoveTemporaries(MediaSet& set) {
    for (Claimed& c : set.files) {
        // Removed while still held, so that no other run can take the file in between.
        if (!c.done && !c.temp.empty()) DeleteFileA(c.temp.c_str());
        c.done = true;
    }
}

// A kept name beside `target` that nothing holds yet.
std::string FreeKeptName(const std::string& target, const std::string& suffix) {
    std::string name = Beside(target, suffix);
    for (int k = 2; k < 10 && Exists(name); ++k) name = Beside(target, suffix + "-" + std::to_string(k));
    return name;
}

// The options file goes with the media files when it was written (a claimed options file that
// stays empty belongs to a set that writes none).
void KeepAside(MediaSet& set, const std::string& why) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%04u%02u%02u%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
             now.wSecond);
    const std::string suffix = std::string(kKeptSuffix) + stamp;
    Log::WError(
        "The server has recorded this backup, but its files were not put in place: %s. The previous set is as it "
        "was; the new backup is kept in the files named below, which no later run writes or removes.",
        why.c_str());
    std::string keptFirst;
    std::vector<std::string> kept;
    for (Claimed& c : set.files) {
        if (c.done || c.temp.empty()) continue;
        c.done = true;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (c.options && (!GetFileAttributesExA(c.temp.c_str(), GetFileExInfoStandard, &data) ||
                          (data.nFileSizeLow == 0 && data.nFileSizeHigh == 0))) {
            DeleteFileA(c.temp.c_str());
            continue;
        }
        // The options file goes beside the kept first file under the name a restore of it reads.
        std::string name = c.options && !keptFirst.empty() ? keptFirst + "_opts" : std::string();
        bool moved =
            !name.empty() && NameOf(name).size() <= NameMax(name) && MoveFileExA(c.temp.c_str(), name.c_str(), 0);
        if (!moved) {
            name = FreeKeptName(c.target, suffix);
            moved = MoveFileExA(c.temp.c_str(), name.c_str(), 0);
        }
        const char* what = c.options ? "options file" : "media file";
        if (moved) {
            Log::WError("The new backup's %s [%s] is kept as [%s].", what, c.file.c_str(), name.c_str());
            if (!c.options && keptFirst.empty()) keptFirst = name;
            kept.push_back(name);
        } else {
            Log::WError(
                "The new backup's %s [%s] could not be kept aside (%s): it is [%s]; move it elsewhere before the "
                "next run on these files, which takes that name over.",
                what, c.file.c_str(), Reason().c_str(), c.temp.c_str());
        }
    }
    const std::string synced = SyncFolders(kept);
    if (!synced.empty()) Log::WError("Keeping the new backup's files: %s.", synced.c_str());
}

// Once every record is complete: leaves everything where it is for the next run to complete and
// says where the new backup is. `renamed` pairs have their final names already.
void ReportHalfway(const CommitRecord& record, size_t renamed, const std::string& why) {
    Log::WError("Failed to put the new set in place: %s.", why.c_str());
    for (size_t i = 0; i < record.renames.size(); ++i) {
        const auto& r = record.renames[i];
        if (i < renamed)
            Log::WError("The new backup is in [%s].", r.second.c_str());
        else
            Log::WError("The new backup is in [%s], not yet renamed to [%s].", r.first.c_str(), r.second.c_str());
    }
    Log::WError("The next run on these files completes the replacement.");
}

void EndAtProcessEnd(UINT) {
    MediaSet& set = Set();
    std::lock_guard<std::mutex> g(set.lock);
    if (set.files.empty()) return;
    if (set.counted)
        KeepAside(set, "the run ended after the server had finished the backup");
    else
        RemoveTemporaries(set);
}

// Claims one file into `out`; logs and gives false when it cannot.
bool ClaimOne(const std::string& file, bool options, const std::vector<Claimed>& already, Claimed* out) {
    out->file = file;
    out->options = options;
    const char* what = options ? "operation options file" : "media file";
    auto refuse = [&](const std::string& reason) {
        Log::WError("The %s [%s] cannot be written: %s.", what, file.c_str(), reason.c_str());
        return false;
    };
    for (const Claimed& c : already) {
        if (c.file == file) {
            Log::WError("The media file [%s] is named more than once.", file.c_str());
            return false;
        }
    }
    if (!ResolveTarget(file, &out->target)) {
        Log::WError("Failed to open: %s (%s)", file.c_str(), Reason().c_str());
        return false;
    }
    const std::string folder = FolderOf(out->target);
    const DWORD folderAttrs = GetFileAttributesA(folder.c_str());
    if (folderAttrs == INVALID_FILE_ATTRIBUTES || !(folderAttrs & FILE_ATTRIBUTE_DIRECTORY))
        return refuse("its folder " + folder + " does not exist");
    if (!GetFileIdA(folder.c_str(), &out->folderVolume, &out->folderIndex))
        return refuse("its folder " + folder + " cannot be examined (" + Reason() + ")");
    // A device keeps nothing, so several streams may write to one (links to /dev/null).
    const DWORD attrs = GetFileAttributesA(out->target.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DEVICE)) return true;
    // Two spellings of one file (a link, "./"): the same folder and the same name.
    for (const Claimed& c : already) {
        if (c.folderVolume == out->folderVolume && c.folderIndex == out->folderIndex &&
            NameOf(c.target) == NameOf(out->target)) {
            Log::WError("The media file [%s] is named more than once.", file.c_str());
            return false;
        }
    }
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) return refuse("it is a folder");
    const size_t nameMax = NameMax(out->target);
    if (NameOf(out->target).size() > nameMax) {
        char reason[160];
        snprintf(reason, sizeof reason, "its name holds %zu characters, more than the %zu its file system takes%s",
                 NameOf(out->target).size(), nameMax, options ? "; give the first media file a shorter name" : "");
        return refuse(reason);
    }
    out->temp = SuffixedName(out->target, kTempSuffix, nameMax);
    out->hold = CreateFileA(out->temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (out->hold == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION) {
            Log::WError("The media file [%s] is being written by another run.", file.c_str());
            return false;
        }
        return refuse("its folder " + folder + " takes no new file (" + Reason() + ")");
    }
    // Only now, held, may a dead run's leftover be emptied.
    if (!SetEndOfFile(out->hold)) {
        Log::WError("Failed to open: %s (%s)", file.c_str(), Reason().c_str());
        DeleteFileA(out->temp.c_str());
        CloseHandle(out->hold);
        return false;
    }
    return true;
}

std::string NewRecordId() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    static unsigned serial = 0;
    char id[64];
    snprintf(id, sizeof id, "%04u%02u%02u%02u%02u%02u.%03u-%08x-%u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond, now.wMilliseconds, GetTickCount(), ++serial);
    return id;
}

}  // namespace

bool RollForwardMediaSets(const std::vector<std::string>& files) {
    for (const std::string& f : files)
        if (!RollForwardFile(f)) return false;
    return true;
}

bool ClaimMediaSet(const std::vector<std::string>& mediaFiles, const std::string& optionsFile) {
    std::vector<std::string> names = mediaFiles;
    if (!optionsFile.empty()) names.push_back(optionsFile);
    if (!RollForwardMediaSets(names)) return false;
    MediaSet& set = Set();
    std::lock_guard<std::mutex> g(set.lock);
    AddProcessEndHandler(EndAtProcessEnd);
    for (size_t i = 0; i < names.size(); ++i) {
        Claimed c;
        if (!ClaimOne(names[i], !optionsFile.empty() && i + 1 == names.size(), set.files, &c)) {
            RemoveTemporaries(set);
            Release(set);
            return false;
        }
        set.files.push_back(c);
    }
    return true;
}

std::string MediaWritePath(const std::string& file) {
    MediaSet& set = Set();
    std::lock_guard<std::mutex> g(set.lock);
    for (const Claimed& c : set.files)
        if (c.file == file && !c.done) return c.temp.empty() ? c.file : c.temp;
    return file;
}

void NoteBackupCounted() {
    MediaSet& set = Set();
    std::lock_guard<std::mutex> g(set.lock);
    set.counted = !set.files.empty();
}

bool CommitMediaSet(bool keepOptions) {
    MediaSet& set = Set();
    std::lock_guard<std::mutex> g(set.lock);
    CommitRecord record;
    record.id = NewRecordId();
    for (Claimed& c : set.files) {
        if (c.done || c.temp.empty()) continue;
        if (c.options && !keepOptions) {
            // A list of an earlier set must not pair with this one.
            DeleteFileA(c.temp.c_str());  // never written
            c.done = true;
            record.removals.push_back(c.target);
            continue;
        }
        if (!FlushFileBuffers(c.hold)) {
            KeepAside(set, "syncing " + c.file + " failed (" + Reason() + ")");
            Release(set);
            return false;
        }
        // The media files first, the options file that describes them last.
        record.renames.emplace_back(c.temp, c.target);
    }
    if (record.renames.empty()) {
        Release(set);
        return true;
    }

    const std::string text = FormatCommitRecord(record);
    std::vector<std::string> records;
    std::string why;
    for (const auto& r : record.renames) {
        records.push_back(Beside(r.second, kRecordSuffix));
        if (!WriteRecord(records.back(), text)) {
            why = "writing the commit record " + records.back() + " failed (" + Reason() + ")";
            break;
        }
    }
    if (why.empty()) why = SyncFolders(records);
    if (!why.empty()) {
        for (const std::string& r : records) DeleteFileA(r.c_str());
        KeepAside(set, why);
        Release(set);
        return false;
    }

    // From here on the records finish the replacement whatever happens to this run.
    std::vector<std::string> finals;
    size_t renamed = 0;
    for (; renamed < record.renames.size(); ++renamed) {
        const auto& r = record.renames[renamed];
        finals.push_back(r.second);
        if (!MoveFileExA(r.first.c_str(), r.second.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            why = "renaming " + r.first + " over " + r.second + " failed (" + Reason() + ")";
            break;
        }
    }
    if (why.empty()) why = SyncFolders(finals);
    for (size_t i = 0; i < record.removals.size() && why.empty(); ++i)
        if (!RemoveIfThere(record.removals[i]))
            why = "removing the earlier " + record.removals[i] + " failed (" + Reason() + ")";
    // Last written, first removed: what a kill leaves in between lies beside the media files,
    // where the next run naming them finds it.
    for (size_t i = records.size(); i-- > 0 && why.empty();)
        if (!RemoveIfThere(records[i])) why = "removing the commit record " + records[i] + " failed (" + Reason() + ")";
    if (why.empty()) why = SyncFolders(records);
    if (!why.empty()) ReportHalfway(record, renamed, why);
    for (Claimed& c : set.files) c.done = true;
    Release(set);
    return why.empty();
}

void DiscardMediaSet() {
    MediaSet& set = Set();
    std::lock_guard<std::mutex> g(set.lock);
    if (set.counted)
        KeepAside(set, "the run failed after the server had finished the backup");
    else
        RemoveTemporaries(set);
    Release(set);
}
