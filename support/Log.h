// The process's one log: console lines coloured by level, and the log file
// <exe dir>/Log/<exe name>-YYYYMMDD.log. Every line is "[HHMMSS]  message". Once the file
// passes 512 MiB, the file of the current date is opened in its place; when that is the same
// file, it stays in use and the next open comes only after another 512 MiB.
#pragma once

#include <stdint.h>

// Exported from the executable (its dynamic symbol table names every member).
class __attribute__((visibility("default"))) Log {
public:
    enum LOG_LEVEL : int32_t {
        LOG_FATAL = 0,
        LOG_ERROR = 1,
        LOG_WARN = 2,
        LOG_INFO = 3,
        LOG_TRACE = 4,
        LOG_DEBUG = 5,  // the most verbose
    };

    // path NULL: the first call (creates the lock, derives the path of today's
    // file). Otherwise path (room for 4096 bytes) receives the path of the file
    // opened in place of the current one. True when a log file is open.
    static bool Initialize(char* path);
    static void SetLogLevel(LOG_LEVEL level);
    static void WFatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void WError(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void WWarn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void WInfo(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void WTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void WDebug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void Close();
    // The process's last line: Info "Exit status N" with the status as the shell sees it
    // (its low 8 bits), written once, also after Close; lines after it reach the console only.
    static void WEnding(int status);

    Log& operator=(const Log&);
    Log& operator=(Log&&);

private:
    static void WriteLog(const char* msg, LOG_LEVEL level);
    static void WriteLine(const char* msg, LOG_LEVEL level);  // the lock held
    static void GetLogFile(char* out);
};
