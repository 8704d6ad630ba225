#include "engine/mediaset.h"

#include "platform/win32/win32.h"
#include "support/Log.h"
#include "support/SysUtils.h"

#include <string.h>

#include <mutex>

const char kTempSuffix[] = ".kestrune-tmp";

namespace {

struct Claimed {
    std::string file;    // as the run names it
    std::string target;  // the file that name leads to, which the set replaces
    std::string temp;    // written instead of target; empty: written in place
    HANDLE hold = INVALID_HANDLE_VALUE;
    bool options = false;
    bool done = false;  // renamed or removed: nothing of it is left to undo
};

// The run's set. The process's ending may come from any thread, so the table is locked; it is
// made once and never destroyed, since threads may outlive main.
struct MediaSet {
    std::mutex lock;
    std::vector<Claimed> files;
};
MediaSet& Set() {
    static MediaSet* set = new MediaSet;
    return *set;
}

// Caller holds the lock.
void RemoveTemporaries(std::vector<Claimed>& files, bool release) {
    for (Claimed& c : files) {
        // Removed while still held, so that no other run can take the file in between.
        if (!c.done && !c.temp.empty()) DeleteFileA(c.temp.c_str());
        c.done = true;
        if (release && c.hold != INVALID_HANDLE_VALUE) CloseHandle(c.hold);
    }
    if (release) files.clear();
}

void DiscardAtProcessEnd() {
    MediaSet& set = Set();
    std::lock_guard<std::mutex> g(set.lock);
    RemoveTemporaries(set.files, false);
}

// Claims one file into `out`; logs and gives false when it cannot.
bool ClaimOne(const std::string& file, bool options, const std::vector<Claimed>& already, Claimed* out) {
    out->file = file;
    out->options = options;
    for (const Claimed& c : already) {
        if (c.file == file) {
            Log::WError("The media file [%s] is named more than once.", file.c_str());
            return false;
        }
    }
    char target[4096];
    if (file.empty() || ResolveFinalLinkA(file.c_str(), target, sizeof target) == 0) {
        Log::WError("Failed to open: %s (%s)", file.c_str(),
                    ErrorText(file.empty() ? ERROR_FILE_NOT_FOUND : GetLastError()).c_str());
        return false;
    }
    out->target = target;
    const DWORD attrs = GetFileAttributesA(target);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DEVICE)) return true;  // nothing to keep
    out->temp = out->target + kTempSuffix;
    out->hold = CreateFileA(out->temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (out->hold == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err == ERROR_SHARING_VIOLATION)
            Log::WError("The media file [%s] is being written by another run.", file.c_str());
        else
            Log::WError("Failed to open: %s (%s)", file.c_str(), ErrorText(err).c_str());
        return false;
    }
    // Only now, held, may a dead run's leftover be emptied.
    if (!SetEndOfFile(out->hold)) {
        Log::WError("Failed to open: %s (%s)", file.c_str(), ErrorText(GetLastError()).c_str());
        DeleteFileA(out->temp.c_str());
        CloseHandle(out->hold);
        return false;
    }
    return true;
}

}  // namespace

bool ClaimMediaSet(const std::vector<std::string>& mediaFiles, const std::string& optionsFile) {
    MediaSet& set = Set();
    std::lock_guard<std::mutex> g(set.lock);
    SetProcessEndHandler(DiscardAtProcessEnd);
    std::vector<std::string> names = mediaFiles;
    if (!optionsFile.empty()) names.push_back(optionsFile);
    for (size_t i = 0; i < names.size(); ++i) {
        Claimed c;
        if (!ClaimOne(names[i], !optionsFile.empty() && i + 1 == names.size(), set.files, &c)) {
            RemoveTemporaries(set.files, true);
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

bool CommitMediaSet(bool keepOptions) {
    MediaSet& set = Set();
    std::lock_guard<std::mutex> g(set.lock);
    bool ok = true;
    for (Claimed& c : set.files) {
        if (c.temp.empty() || (c.options && !keepOptions)) continue;
        if (!FlushFileBuffers(c.hold)) {
            Log::WError("Failed to write %s (%s)", c.file.c_str(), ErrorText(GetLastError()).c_str());
            ok = false;
            break;
        }
    }
    // The media files first, the options file that describes them last.
    for (size_t i = 0; ok && i < set.files.size(); ++i) {
        Claimed& c = set.files[i];
        if (c.temp.empty()) {
            c.done = true;
        } else if (c.options && !keepOptions) {
            // A list of an earlier set must not pair with this one.
            DeleteFileA(c.temp.c_str());
            if (!DeleteFileA(c.target.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
                Log::WError("Failed to remove the earlier %s (%s)", c.file.c_str(), ErrorText(GetLastError()).c_str());
                ok = false;
            }
            c.done = true;
        } else if (MoveFileExA(c.temp.c_str(), c.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            c.done = true;
        } else {
            Log::WError("Failed to put %s in place (%s)", c.file.c_str(), ErrorText(GetLastError()).c_str());
            ok = false;
        }
    }
    RemoveTemporaries(set.files, true);
    return ok;
}

void DiscardMediaSet() {
    MediaSet& set = Set();
    std::lock_guard<std::mutex> g(set.lock);
    RemoveTemporaries(set.files, true);
}
