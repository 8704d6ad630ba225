// Errors, process and system information, console colours, locks and time.
#include "platform/win32/internal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>

namespace {
thread_local DWORD t_lastError = 0;

// An errno value without a Win32 code of its own travels under the customer bit, which no system
// code carries.
const DWORD kErrnoCarried = 0x20000000;
const DWORD kErrnoMax = 4095;

struct CodeText {
    DWORD code;
    const char* text;
};
// Texts of the Win32 codes this layer sets; carried errno values are told by strerror.
const CodeText kCodeTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The file was not found."},
    {ERROR_PATH_NOT_FOUND, "The path was not found."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory to complete the operation."},
    {ERROR_OUTOFMEMORY, "Out of memory."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_CRC, "Data error (cyclic redundancy check)."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed is too small."},
    {ERROR_ALREADY_EXISTS, "The object already exists."},
    {ERROR_OLD_WIN_VERSION, "The system version is older than required."},
    {ERROR_TIMEOUT, "The operation timed out."},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
};

KesKernelObject* pseudoHandle(KesKind kind) {
    // Built once, never closed: CloseHandle on a pseudo-handle does nothing.
    auto* obj = new KesKernelObject(kind);
    return kesNewObject(obj);
}

HANDLE consoleHandle(int fd) {
    static HANDLE h[3] = {pseudoHandle(KesKind::Console), pseudoHandle(KesKind::Console),
                          pseudoHandle(KesKind::Console)};
    return h[fd];
}

int consoleFd(HANDLE h) {
    for (int fd = 0; fd < 3; ++fd)
        if (consoleHandle(fd) == h) return fd;
    return -1;
}

// ANSI colour number (0..7) for the red, green and blue bits at `shift`.
int ansiColour(WORD attr, int shift) {
    int rgb = (attr >> shift) & 7;  // bit 0 blue, bit 1 green, bit 2 red
    return ((rgb & 4) ? 1 : 0) | ((rgb & 2) ? 2 : 0) | ((rgb & 1) ? 4 : 0);
}

const WORD kTerminalDefault = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
}  // namespace

DWORD kesErrorFromErrno(int e) {
    switch (e) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case ENOSPC: return ERROR_DISK_FULL;
        case ETIMEDOUT: return ERROR_TIMEOUT;
        default:
            // Passed through as it is, EIO (5) would read "Access is denied.": carried apart from
            // every system code instead, and told in the system's own words.
            return kErrnoCarried | static_cast<DWORD>(e);
    }
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR lpBuffer, DWORD size, void*) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = nullptr;
    for (const CodeText& ct : kCodeTexts)
        if (ct.code == messageId) text = ct.text;
    char errnoText[256];
    if (!text) {
        const DWORD e = messageId & ~kErrnoCarried;
        if (!(messageId & kErrnoCarried) || e == 0 || e > kErrnoMax) {  // no code this layer gives
            SetLastError(ERROR_NOT_SUPPORTED);
            return 0;
        }
        // GNU strerror_r may return a static text instead of filling the buffer.
        text = strerror_r(static_cast<int>(e), errnoText, sizeof errnoText);
    }
    size_t len = strlen(text);
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char* mem = static_cast<char*>(malloc(len + 1));
        if (!mem) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        memcpy(mem, text, len + 1);
        *reinterpret_cast<char**>(lpBuffer) = mem;
        return static_cast<DWORD>(len);
    }
    if (size <= len) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(lpBuffer, text, len + 1);
    return static_cast<DWORD>(len);
}

HLOCAL LocalFree(HLOCAL mem) {
    free(reinterpret_cast<void*>(mem));
    return nullptr;
}

int _get_errno(int* value) {
    if (value) *value = errno;
    return 0;
}

int _set_errno(int value) {
    errno = value;
    return 0;
}

int _stricmp(const char* a, const char* b) { return strcasecmp(a, b); }

int _strnicmp(const char* a, const char* b, size_t n) { return strncasecmp(a, b, n); }

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR buffer, DWORD size) {
    if (hModule || !buffer || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0) {
        SetLastError(kesErrorFromErrno(errno));
        buffer[0] = '\0';
        return 0;
    }
    path[n] = '\0';
    // An executable replaced or removed while it runs reads as "<path> (deleted)"; the process
    // keeps the name it was started under (its log, its config.ini).
    static const char kGone[] = " (deleted)";
    const size_t goneLen = sizeof kGone - 1;
    if (static_cast<size_t>(n) > goneLen && strcmp(path + n - goneLen, kGone) == 0 && access(path, F_OK) != 0) {
        n -= static_cast<ssize_t>(goneLen);
        path[n] = '\0';
    }
    if (static_cast<DWORD>(n) >= size) {
        memcpy(buffer, path, size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buffer, path, static_cast<size_t>(n) + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(n);
}

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
    if (!buffer || !size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        SetLastError(kesErrorFromErrno(errno));
        return FALSE;
    }
    DWORD len = static_cast<DWORD>(strlen(name));
    if (len >= *size) {
        *size = len + 1;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, name, len + 1);
    *size = len;
    return TRUE;
}

void SetUpProcessConsole() {
    signal(SIGPIPE, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int nul = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);  // the lowest free number: fd
        if (nul >= 0 && nul != fd) {
            dup2(nul, fd);
            close(nul);
        }
    }
}

namespace {
constexpr int kMaxEndHandlers = 4;
std::atomic<void (*)(UINT)> g_endHandlers[kMaxEndHandlers];
std::mutex g_endHandlersLock;  // for adding; the ending thread only reads
std::atomic_flag g_ending = ATOMIC_FLAG_INIT;
}  // namespace

void AddProcessEndHandler(void (*handler)(UINT exitCode)) {
    std::lock_guard<std::mutex> g(g_endHandlersLock);
    for (auto& slot : g_endHandlers) {
        if (slot.load() == handler) return;
        if (!slot.load()) {
            slot.store(handler);
            return;
        }
    }
}

void ExitProcess(UINT exitCode) {
    // The first caller ends the process; any other thread that gets here meanwhile waits for that
    // end instead of racing it with an ending (and a status) of its own.
    if (g_ending.test_and_set()) {
        for (;;) pause();
    }
    for (int i = kMaxEndHandlers - 1; i >= 0; --i)
        if (void (*handler)(UINT) = g_endHandlers[i].load()) handler(exitCode);
    fflush(nullptr);
    _exit(static_cast<int>(exitCode));
}

HANDLE GetCurrentProcess() {
    static HANDLE h = pseudoHandle(KesKind::Process);
    return h;
}

HWND GetDesktopWindow() { return nullptr; }

BOOL OpenProcessToken(HANDLE process, DWORD, LPHANDLE token) {
    if (process != GetCurrentProcess() || !token) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* obj = new (std::nothrow) KesKernelObject(KesKind::Token);
    if (!obj) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *token = kesNewObject(obj);
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, LPDWORD returned) {
    KesKernelObject* o = kesAcquire(token, KesKind::Token);
    if (!o) return FALSE;
    kesRelease(o);
    if (cls != TokenElevation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (returned) *returned = sizeof(TOKEN_ELEVATION);
    if (!info || size < sizeof(TOKEN_ELEVATION)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    static_cast<TOKEN_ELEVATION*>(info)->TokenIsElevated = geteuid() == 0 ? 1 : 0;
    return TRUE;
}

ULONGLONG VerSetConditionMask(ULONGLONG mask, DWORD typeBit, BYTE condition) {
    // Three bits of condition per field, at the position of the field's bit.
    for (int bit = 0; bit < 8; ++bit)
        if (typeBit & (1u << bit)) {
            mask &= ~(static_cast<ULONGLONG>(7) << (bit * 3));
            mask |= static_cast<ULONGLONG>(condition & 7) << (bit * 3);
        }
    return mask;
}

static bool compareField(DWORD have, DWORD want, int condition) {
    switch (condition) {
        case VER_EQUAL: return have == want;
        case VER_GREATER: return have > want;
        case VER_GREATER_EQUAL: return have >= want;
        case VER_LESS: return have < want;
        case VER_LESS_EQUAL: return have <= want;
        default: return false;
    }
}

BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, ULONGLONG conditionMask) {
    if (!info || typeMask == 0 || conditionMask == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    static const DWORD kMajor = 10, kMinor = 0, kBuild = 0, kSpMajor = 0, kSpMinor = 0;
    struct Field {
        DWORD bit;
        DWORD have;
        DWORD want;
    };
    auto conditionOf = [&](DWORD bit) {
        int pos = __builtin_ctz(bit);
        return static_cast<int>((conditionMask >> (pos * 3)) & 7);
    };
    // The version fields form one number, most significant first: the first
    // field that differs decides; when all are equal the last one's condition does.
    const Field ordered[] = {{VER_MAJORVERSION, kMajor, info->dwMajorVersion},
                             {VER_MINORVERSION, kMinor, info->dwMinorVersion},
                             {VER_SERVICEPACKMAJOR, kSpMajor, info->wServicePackMajor},
                             {VER_SERVICEPACKMINOR, kSpMinor, info->wServicePackMinor}};
    bool ok = true;
    for (const Field& f : ordered) {
        if (!(typeMask & f.bit)) continue;
        ok = compareField(f.have, f.want, conditionOf(f.bit));
        if (f.have != f.want) break;
    }
    if (ok && (typeMask & VER_BUILDNUMBER))
        ok = compareField(kBuild, info->dwBuildNumber, conditionOf(VER_BUILDNUMBER));
    if (!ok) SetLastError(ERROR_OLD_WIN_VERSION);
    return ok ? TRUE : FALSE;
}

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_INPUT_HANDLE) return consoleHandle(0);
    if (which == STD_OUTPUT_HANDLE) return consoleHandle(1);
    if (which == STD_ERROR_HANDLE) return consoleHandle(2);
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
}

BOOL GetConsoleScreenBufferInfo(HANDLE console, PCONSOLE_SCREEN_BUFFER_INFO info) {
    int fd = consoleFd(console);
    if (fd < 0 || !info || !isatty(fd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    memset(info, 0, sizeof *info);
    info->dwSize = {80, 25};
    info->srWindow = {0, 0, 79, 24};
    info->dwMaximumWindowSize = {80, 25};
    info->wAttributes = kTerminalDefault;
    return TRUE;
}

BOOL SetConsoleTextAttribute(HANDLE console, WORD attributes) {
    int fd = consoleFd(console);
    if (fd < 1 || !isatty(fd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    FILE* stream = fd == 1 ? stdout : stderr;
    char seq[32];
    if ((attributes & 0xFF) == kTerminalDefault) {
        snprintf(seq, sizeof seq, "\033[0m");
    } else {
        int fg = ansiColour(attributes, 0) + ((attributes & FOREGROUND_INTENSITY) ? 90 : 30);
        int bg = ansiColour(attributes, 4) + ((attributes & BACKGROUND_INTENSITY) ? 100 : 40);
        snprintf(seq, sizeof seq, "\033[0;%d;%dm", fg, bg);
    }
    fputs(seq, stream);
    return TRUE;
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}
void EnterCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_lock(&cs->mutex); }
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) { return pthread_mutex_trylock(&cs->mutex) == 0; }
void LeaveCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_unlock(&cs->mutex); }
void DeleteCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_destroy(&cs->mutex); }

static void fillSystemTime(LPSYSTEMTIME st, bool local) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    if (local)
        localtime_r(&ts.tv_sec, &tm);
    else
        gmtime_r(&ts.tv_sec, &tm);
    st->wYear = static_cast<WORD>(tm.tm_year + 1900);
    st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    st->wDay = static_cast<WORD>(tm.tm_mday);
    st->wHour = static_cast<WORD>(tm.tm_hour);
    st->wMinute = static_cast<WORD>(tm.tm_min);
    st->wSecond = static_cast<WORD>(tm.tm_sec);
    st->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

void GetLocalTime(LPSYSTEMTIME st) { fillSystemTime(st, true); }
void GetSystemTime(LPSYSTEMTIME st) { fillSystemTime(st, false); }

DWORD GetTickCount() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}
