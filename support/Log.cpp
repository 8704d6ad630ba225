#include "support/Log.h"

#include "platform/win32/win32.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>

namespace {

// Paths on this platform may be far longer than the Windows limit.
const int kPathMax = 4096;
const int kBufferSize = 8192;
const uint64_t kSizeLimit = 0x20000000;  // 512 MiB

CRITICAL_SECTION s_logLock;
bool s_lockCreated = false;
FILE* s_logFile = nullptr;
HANDLE s_hConsole = nullptr;
// Set by main and the option parser, and by tests while threads log: atomic, not under the lock,
// so that a level change never waits for a line being written.
std::atomic<int32_t> s_logLevel{Log::LOG_FATAL};
char s_logPath[kPathMax];
uint64_t s_logSize = 0;
uint16_t s_defaultAttr = 0;
bool s_ended = false;  // the ending line is written: nothing more goes to the file

WORD levelAttribute(Log::LOG_LEVEL level) {
    switch (level) {
        case Log::LOG_FATAL: return FOREGROUND_RED;
        case Log::LOG_ERROR: return FOREGROUND_RED | FOREGROUND_INTENSITY;
        case Log::LOG_WARN: return FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY;
        case Log::LOG_TRACE: return FOREGROUND_GREEN | FOREGROUND_INTENSITY;
        case Log::LOG_DEBUG: return FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE | FOREGROUND_INTENSITY;
        default: return s_defaultAttr;
    }
}

// The executable's full path; false when it cannot be had whole.
bool modulePath(char* out) {
    DWORD n = GetModuleFileNameA(nullptr, out, kPathMax);
    return n > 0 && n < static_cast<DWORD>(kPathMax);
}

}  // namespace

int CurrentLogLevel() { return s_logLevel.load(std::memory_order_relaxed); }

Log& Log::operator=(const Log&) = default;
Log& Log::operator=(Log&&) = default;

void Log::SetLogLevel(LOG_LEVEL level) { s_logLevel.store(level, std::memory_order_relaxed); }

#define KES_LOG_WRITER(name, level)                \
    void Log::name(const char* fmt, ...) {         \
        char buffer[kBufferSize];                  \
        memset(buffer, 0, sizeof buffer);          \
        va_list ap;                                \
        va_start(ap, fmt);                         \
        vsnprintf(buffer, sizeof buffer, fmt, ap); \
        va_end(ap);                                \
        WriteLog(buffer, level);                   \
    }

KES_LOG_WRITER(WFatal, LOG_FATAL)
KES_LOG_WRITER(WError, LOG_ERROR)
KES_LOG_WRITER(WWarn, LOG_WARN)
KES_LOG_WRITER(WInfo, LOG_INFO)
KES_LOG_WRITER(WTrace, LOG_TRACE)
KES_LOG_WRITER(WDebug, LOG_DEBUG)

void Log::WriteLog(const char* msg, LOG_LEVEL level) {
    uint64_t n = strlen(msg);
    // Before the first Initialize only the main thread runs and there is no
    // lock yet; the lock outlives Close so that a late line stays safe.
    if (s_lockCreated) EnterCriticalSection(&s_logLock);
    if (s_lockCreated && !s_ended && s_logSize + n > kSizeLimit) {
        char path[kPathMax];
        GetLogFile(path);
        Initialize(path);
        // Today's file can itself be past the limit: it stays in use, and the count starts again,
        // so that the next open comes after another limit's worth of lines, not at the next line.
        if (s_logSize + n > kSizeLimit) s_logSize = 0;
    }
    WriteLine(msg, level);
    if (s_lockCreated) LeaveCriticalSection(&s_logLock);
}

void Log::WriteLine(const char* msg, LOG_LEVEL level) {
    if (level <= s_logLevel.load(std::memory_order_relaxed)) {
        char preLog[kBufferSize];
        SYSTEMTIME st;
        GetLocalTime(&st);
        int len = snprintf(preLog, sizeof preLog, "[%02d%02d%02d]  %s\n", st.wHour, st.wMinute, st.wSecond, msg);
        if (len >= kBufferSize) {  // a cut line still ends the line
            preLog[kBufferSize - 2] = '\n';
            len = kBufferSize - 1;
        }
        SetConsoleTextAttribute(s_hConsole, levelAttribute(level));
        fputs(preLog, stdout);
        SetConsoleTextAttribute(s_hConsole, s_defaultAttr);
        fflush(stdout);  // a console line shows at once, also through a pipe
        // Flushed line by line: the file shows what the console showed, also while a long run or
        // the service goes on, and after the process is killed.
        if (s_logFile && fputs(preLog, s_logFile) >= 0 && fflush(s_logFile) == 0)
            s_logSize += static_cast<uint64_t>(len);
    }
}

void Log::WEnding(int status) {
    if (s_lockCreated) EnterCriticalSection(&s_logLock);
    if (!s_ended) {
        s_ended = true;
        // A run's teardown has closed the file already; the ending still belongs in it.
        if (!s_logFile && s_logPath[0]) s_logFile = fopen(s_logPath, "a");
        char line[64];
        snprintf(line, sizeof line, "Exit status %u", static_cast<unsigned>(status) & 0xFFu);
        WriteLine(line, LOG_INFO);
        if (s_logFile) {
            fclose(s_logFile);
            s_logFile = nullptr;
        }
    }
    if (s_lockCreated) LeaveCriticalSection(&s_logLock);
}

void Log::GetLogFile(char* out) {
    char exe[kPathMax];
    out[0] = '\0';
    if (!modulePath(exe)) return;
    char* slash = strrchr(exe, '/');
    if (!slash) return;
    *slash = '\0';
    // The executable's name without its extension ("kestrune").
    char name[kPathMax];
    snprintf(name, sizeof name, "%s", slash + 1);
    char* dot = strrchr(name, '.');
    if (dot && dot != name) *dot = '\0';
    SYSTEMTIME st;
    GetLocalTime(&st);
    int n = snprintf(out, kPathMax, "%s/Log/%s-%d%02d%02d.log", exe, name, st.wYear, st.wMonth, st.wDay);
    if (n >= kPathMax) out[0] = '\0';  // a cut path would name the wrong file
}

bool Log::Initialize(char* path) {
    char exe[kPathMax];
    if (modulePath(exe)) {
        char* slash = strrchr(exe, '/');
        if (slash && static_cast<size_t>(slash - exe) + 4 < sizeof exe) {
            strcpy(slash + 1, "Log");
            CreateDirectoryA(exe, nullptr);
        }
    }
    s_hConsole = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    s_defaultAttr = GetConsoleScreenBufferInfo(s_hConsole, &info) ? info.wAttributes : 0;
    if (!path && !s_lockCreated) {
        InitializeCriticalSection(&s_logLock);
        s_lockCreated = true;
    }
    char* target = path ? path : s_logPath;
    GetLogFile(target);
    if (s_logFile) {
        fclose(s_logFile);
        s_logFile = nullptr;
    }
    int err = ENAMETOOLONG;
    if (target[0]) {
        s_logFile = fopen(target, "a+");
        err = errno;
    }
    if (s_logFile && target != s_logPath) snprintf(s_logPath, sizeof s_logPath, "%s", target);  // for WEnding
    if (s_logFile) {
        struct stat st;
        s_logSize = fstat(fileno(s_logFile), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    } else {
        s_logSize = 0;
        WError("Failed to initialize the system log. Error Number:%d", err);
    }
    return s_logFile != nullptr;
}

void Log::Close() {
    if (s_lockCreated) EnterCriticalSection(&s_logLock);
    if (s_logFile) {
        fclose(s_logFile);
        s_logFile = nullptr;
    }
    CloseHandle(s_hConsole);
    if (s_lockCreated) LeaveCriticalSection(&s_logLock);
}
