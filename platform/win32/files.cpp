// File attributes, directories, file search and the profile (INI) reader.
#include "platform/win32/internal.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

namespace {

DWORD attributesOf(const struct stat& st, const char* name) {
    DWORD a = 0;
    if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) a |= FILE_ATTRIBUTE_DEVICE;
    if (!(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) a |= FILE_ATTRIBUTE_READONLY;
    if (name && name[0] == '.') a |= FILE_ATTRIBUTE_HIDDEN;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

FILETIME fileTime(const struct timespec& ts) {
    // 100-ns steps between 1601-01-01 and 1970-01-01.
    const uint64_t kEpochDiff = 116444736000000000ull;
    uint64_t v = kEpochDiff + static_cast<uint64_t>(ts.tv_sec) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

// The fields that an attribute record and a find record share, from one stat.
template <typename Record>
void fillFromStat(Record* r, const struct stat& st, const char* name) {
    r->dwFileAttributes = attributesOf(st, name);
    r->ftCreationTime = fileTime(st.st_ctim);
    r->ftLastAccessTime = fileTime(st.st_atim);
    r->ftLastWriteTime = fileTime(st.st_mtim);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    r->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    r->nFileSizeLow = static_cast<DWORD>(size);
}

const char* baseName(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

DWORD GetFileAttributesA(LPCSTR path) {
    struct stat st;
    if (!path || stat(path, &st) != 0) {
        SetLastError(path ? kesErrorFromErrno(errno) : ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    return attributesOf(st, baseName(path));
}

BOOL GetFileAttributesExA(LPCSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID info) {
    struct stat st;
    if (!path || !info || level != GetFileExInfoStandard) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (stat(path, &st) != 0) {
        SetLastError(kesErrorFromErrno(errno));
        return FALSE;
    }
    fillFromStat(static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(info), st, baseName(path));
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    if (!path || mkdir(path, 0777) != 0) {
        SetLastError(path ? kesErrorFromErrno(errno) : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------- file handles

namespace {

// The folder part of a path, for syncing its entries ("." for a bare name).
std::string folderOf(const char* path) {
    const char* slash = strrchr(path, '/');
    if (!slash) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<size_t>(slash - path));
}

bool syncFolder(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0 || errno == EINVAL;
    int err = errno;
    close(fd);
    errno = err;
    return ok;
}

// Whether the path still names the open file (it was not renamed or deleted meanwhile).
bool stillAt(int fd, const char* path) {
    struct stat open, named;
    return fstat(fd, &open) == 0 && lstat(path, &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

HANDLE fileFailure(int fd, DWORD error) {
    if (fd >= 0) close(fd);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE) {
    if (!path || !*path || !(access & (GENERIC_READ | GENERIC_WRITE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC | O_NOFOLLOW;
    flags |= (access & GENERIC_READ) && (access & GENERIC_WRITE) ? O_RDWR
             : (access & GENERIC_WRITE)                          ? O_WRONLY
                                                                 : O_RDONLY;
    switch (disposition) {
        case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS: flags |= O_CREAT; break;
        case OPEN_EXISTING: break;
        default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    const bool hold = !(shareMode & FILE_SHARE_WRITE);
    int fd = -1;
    // A holder renames or deletes its file before it lets go, so a hold taken on a file that has
    // left the path meanwhile is given up for the file now there.
    for (int attempt = 0;; ++attempt) {
        fd = open(path, flags, 0666);
        if (fd < 0) return fileFailure(-1, errno == ELOOP ? ERROR_CANT_RESOLVE_FILENAME : kesErrorFromErrno(errno));
        if (!hold) break;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            return fileFailure(fd, errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : kesErrorFromErrno(errno));
        if (stillAt(fd, path)) break;
        close(fd);
        if (attempt == 8) return fileFailure(-1, ERROR_SHARING_VIOLATION);
    }
    if (disposition == CREATE_ALWAYS && ftruncate(fd, 0) != 0) return fileFailure(fd, kesErrorFromErrno(errno));
    auto* obj = new (std::nothrow) KesKernelObject(KesKind::File);
    if (!obj) return fileFailure(fd, ERROR_NOT_ENOUGH_MEMORY);
    obj->fd = fd;
    SetLastError(ERROR_SUCCESS);
    return kesNewObject(obj);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, void* overlapped) {
    if (written) *written = 0;
    if (overlapped || (!buffer && size > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    KesKernelObject* o = kesAcquire(file, KesKind::File);
    if (!o) return FALSE;
    const char* p = static_cast<const char*>(buffer);
    DWORD done = 0;
    BOOL ok = TRUE;
    while (done < size) {
        const ssize_t n = write(o->fd, p + done, size - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A write that takes nothing without an error would take nothing again.
        SetLastError(n < 0 ? kesErrorFromErrno(errno) : ERROR_DISK_FULL);
        ok = FALSE;
        break;
    }
    kesRelease(o);
    if (written) *written = done;
    return ok;
}

BOOL SetEndOfFile(HANDLE file) {
    KesKernelObject* o = kesAcquire(file, KesKind::File);
    if (!o) return FALSE;
    off_t at = lseek(o->fd, 0, SEEK_CUR);
    BOOL ok = at >= 0 && ftruncate(o->fd, at) == 0;
    if (!ok) SetLastError(kesErrorFromErrno(errno));
    kesRelease(o);
    return ok;
}

BOOL FlushFileBuffers(HANDLE file) {
    KesKernelObject* o = kesAcquire(file, KesKind::File);
    if (!o) return FALSE;
    BOOL ok = fsync(o->fd) == 0;
    if (!ok) SetLastError(kesErrorFromErrno(errno));
    kesRelease(o);
    return ok;
}

BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags) {
    if (!existing || !target || !*existing || !*target) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int rc = (flags & MOVEFILE_REPLACE_EXISTING) ? rename(existing, target)
                                                 : renameat2(AT_FDCWD, existing, AT_FDCWD, target, RENAME_NOREPLACE);
    if (rc != 0) {
        SetLastError(kesErrorFromErrno(errno));
        return FALSE;
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        const std::string from = folderOf(existing), to = folderOf(target);
        if (!syncFolder(to) || (from != to && !syncFolder(from))) {
            SetLastError(kesErrorFromErrno(errno));
            return FALSE;
        }
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    if (!path || unlink(path) != 0) {
        SetLastError(path ? kesErrorFromErrno(errno) : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

int _commit(int fd) {
    if (fsync(fd) == 0) return 0;
    return (errno == EINVAL || errno == EROFS) ? 0 : -1;
}

DWORD ResolveFinalLinkA(LPCSTR path, LPSTR buffer, DWORD size) {
    if (!path || !buffer || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string at(path);
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        if (hops == 40) {
            SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            return 0;
        }
        std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        ssize_t n = readlink(at.c_str(), &link[0], link.size());
        if (n < 0 || static_cast<size_t>(n) >= link.size()) {
            SetLastError(n < 0 ? kesErrorFromErrno(errno) : ERROR_CANT_RESOLVE_FILENAME);
            return 0;
        }
        link.resize(static_cast<size_t>(n));
        at = (link[0] == '/' || at.find('/') == std::string::npos) ? link : folderOf(at.c_str()) + "/" + link;
    }
    if (at.size() >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buffer, at.c_str(), at.size() + 1);
    return static_cast<DWORD>(at.size());
}

bool kesFillFindData(const std::string& path, const char* name, LPWIN32_FIND_DATAA data) {
    struct stat st;
    if (strlen(name) >= MAX_PATH || stat(path.c_str(), &st) != 0) return false;
    memset(data, 0, sizeof *data);
    fillFromStat(data, st, name);
    strcpy(data->cFileName, name);
    return true;
}

static bool nextMatch(KesKernelObject* o, LPWIN32_FIND_DATAA data) {
    while (struct dirent* e = readdir(o->dir)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        if (fnmatch(o->pattern.c_str(), e->d_name, FNM_PERIOD) != 0) continue;
        if (kesFillFindData(o->folder + e->d_name, e->d_name, data)) return true;
    }
    return false;
}

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    if (!pattern || !data || !*pattern) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string p(pattern);
    size_t slash = p.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
    std::string last = slash == std::string::npos ? p : p.substr(slash + 1);
    auto* obj = new (std::nothrow) KesKernelObject(KesKind::Find);
    if (!obj) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    if (last.find_first_of("*?") == std::string::npos) {
        // A plain path: the look-up finds the path itself, or nothing.
        struct stat st;
        if (last.empty() || stat(p.c_str(), &st) != 0) {
            SetLastError(last.empty() ? ERROR_FILE_NOT_FOUND : kesErrorFromErrno(errno));
            delete obj;
            return INVALID_HANDLE_VALUE;
        }
        if (!kesFillFindData(p, last.c_str(), data)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            delete obj;
            return INVALID_HANDLE_VALUE;
        }
        return kesNewObject(obj);  // no directory: FindNextFileA reports the end
    }
    obj->dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!obj->dir) {
        SetLastError(kesErrorFromErrno(errno));
        delete obj;
        return INVALID_HANDLE_VALUE;
    }
    obj->folder = folder;
    obj->pattern = last;
    if (!nextMatch(obj, data)) {
        closedir(obj->dir);
        delete obj;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return kesNewObject(obj);
}

BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) {
    KesKernelObject* o = kesAcquire(find, KesKind::Find);
    if (!o) return FALSE;
    bool found = o->dir && data && nextMatch(o, data);
    kesRelease(o);
    if (!found) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    KesKernelObject* o = kesAcquire(find, KesKind::Find);
    if (!o) return FALSE;
    kesRelease(o);
    return CloseHandle(find);
}

// ---------------------------------------------------------------- profile reader

namespace {

std::string trim(const std::string& s) {
    const char* ws = " \t\r\n\v\f";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

// Looks the key up; true with its value when found.
bool findProfileValue(const char* section, const char* key, const char* fileName, std::string* value) {
    FILE* f = fopen(fileName, "rb");
    if (!f) return false;
    std::string line;
    bool inSection = false, sectionSeen = false, found = false, first = true;
    int c;
    auto handleLine = [&](std::string raw) {
        if (first) {  // a UTF-8 byte-order mark is not part of the first line
            first = false;
            if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
        }
        std::string l = trim(raw);
        if (l.empty() || l[0] == ';') return;
        if (l[0] == '[') {
            if (inSection) {  // the first section of the name is the one read
                sectionSeen = true;
                inSection = false;
                return;
            }
            size_t close = l.find(']');
            std::string name = trim(l.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            inSection = !sectionSeen && strcasecmp(name.c_str(), section) == 0;
            return;
        }
        if (!inSection) return;
        size_t eq = l.find('=');
        std::string k = trim(l.substr(0, eq));
        if (strcasecmp(k.c_str(), key) != 0) return;
        std::string v = eq == std::string::npos ? std::string() : trim(l.substr(eq + 1));
        if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
        *value = v;
        found = true;
    };
    while (!found && (c = fgetc(f)) != EOF) {
        if (c == '\n') {
            handleLine(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    if (!found && !line.empty()) handleLine(line);
    fclose(f);
    return found;
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultText, LPSTR buffer, DWORD size,
                               LPCSTR fileName) {
    if (!buffer || size == 0) return 0;
    std::string value;
    bool found = section && key && fileName && findProfileValue(section, key, fileName, &value);
    if (!found) {
        value = defaultText ? defaultText : "";
        size_t e = value.find_last_not_of(' ');
        value.erase(e == std::string::npos ? 0 : e + 1);
        SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
        SetLastError(ERROR_SUCCESS);
    }
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

// ---------------------------------------------------------------- media-set files

DWORD GetMaxComponentLengthA(LPCSTR folder) {
    const long n = folder ? pathconf(folder, _PC_NAME_MAX) : -1;
    return n > 0 ? static_cast<DWORD>(n) : 255;
}

BOOL GetFileIdA(LPCSTR path, ULONGLONG* volume, ULONGLONG* index) {
    struct stat st;
    if (!path || !volume || !index) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (stat(path, &st) != 0) {
        SetLastError(kesErrorFromErrno(errno));
        return FALSE;
    }
    *volume = static_cast<ULONGLONG>(st.st_dev);
    *index = static_cast<ULONGLONG>(st.st_ino);
    return TRUE;
}

DWORD GetAbsolutePathA(LPCSTR path, LPSTR buffer, DWORD size) {
    if (!path || !buffer || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string at(path);
    if (at.empty() || at[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) {
            SetLastError(kesErrorFromErrno(errno));
            return 0;
        }
        at = std::string(cwd) + (cwd[1] ? "/" : "") + at;
    }
    if (at.size() >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buffer, at.c_str(), at.size() + 1);
    return static_cast<DWORD>(at.size());
}

BOOL FlushFolderOfA(LPCSTR path) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!syncFolder(folderOf(path))) {
        SetLastError(kesErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}
