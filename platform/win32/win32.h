// The Win32 surface the engine calls, implemented on POSIX.
//
// Only what the program uses is here, with the behaviour the callers rely on.
// Error codes that GetLastError returns are Win32 codes where one fits
// (ERROR_FILE_NOT_FOUND, ERROR_ALREADY_EXISTS, ...), otherwise the errno value.
#pragma once

#include "platform/win32/wintypes.h"

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;  // 0 = Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;

struct FILETIME {  // 100-ns intervals since 1601-01-01 UTC
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// ---------------------------------------------------------------- errors
DWORD GetLastError();
void SetLastError(DWORD code);  // per thread

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
// With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer is really an LPSTR* that
// receives a buffer to free with LocalFree. The text of a code has no line end.
// Returns the text length, 0 on failure. Only FROM_SYSTEM is offered.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR lpBuffer, DWORD size,
                     void* arguments);
HLOCAL LocalFree(HLOCAL mem);  // pass the LPSTR cast to HLOCAL; returns NULL

// ---------------------------------------------------------------- C runtime
// The calling thread's runtime error number (errno), which the runtime's own calls (fopen,
// fwrite, fclose, _beginthreadex, ...) set when they fail; strerror words it. Both return 0.
int _get_errno(int* value);
int _set_errno(int value);
// Comparison that ignores the case of ASCII letters, otherwise as strcmp and strncmp compare.
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t n);

// ---------------------------------------------------------------- process and system
// Full path of the executable (hModule must be NULL). Returns the length
// copied; a path that does not fit is cut to size - 1, NUL-terminated, the
// result is size and the error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR buffer, DWORD size);
// Host name; *size is in: room, out: length. FALSE with ERROR_INSUFFICIENT_BUFFER
// (and *size = room needed) when it does not fit.
BOOL GetComputerNameA(LPSTR buffer, LPDWORD size);
// Not Win32: what a Windows console process has without asking, set up first in
// main. A console pipe or terminal that has gone away fails the writes to it
// instead of ending the process (SIGPIPE is ignored by the whole process), and
// standard input, output or error closed at start is opened on /dev/null, so
// that no file the process opens later takes its number and receives console
// lines.
void SetUpProcessConsole();
// Ends the process at once with the status: the end handler runs, then every
// stdio stream is flushed, but neither atexit handlers nor global destructors
// run, so threads that still use globals are not pulled from under them. The
// process ends once: a thread that calls it while another thread is ending the
// process waits for that end (its own status is not used).
[[noreturn]] void ExitProcess(UINT exitCode);
// Adds a function that ExitProcess calls with the status before it ends the process:
// the last clean-ups that an ending from any thread must not skip. They run on the
// ending thread, the one added last first, while other threads may still run, and
// must not call ExitProcess. A function added twice runs once; at most 4 are kept.
void AddProcessEndHandler(void (*handler)(UINT exitCode));
HANDLE GetCurrentProcess();  // a pseudo-handle; closing it does nothing
HWND GetDesktopWindow();     // NULL: there is no desktop to own a dialog

// Elevation: this platform's notion of an elevated process is effective uid 0.
#define TOKEN_QUERY 0x0008
enum TOKEN_INFORMATION_CLASS { TokenElevation = 20 };
struct TOKEN_ELEVATION {
    DWORD TokenIsElevated;
};
BOOL OpenProcessToken(HANDLE process, DWORD access, LPHANDLE token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size, LPDWORD returned);

// Version test: this platform reports itself as version 10.0, service pack 0
// (so it counts as 6.0 or later).
struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    wchar_t szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
typedef OSVERSIONINFOEXW* LPOSVERSIONINFOEXW;
#define VER_MINORVERSION 0x0000001
#define VER_MAJORVERSION 0x0000002
#define VER_BUILDNUMBER 0x0000004
#define VER_SERVICEPACKMINOR 0x0000010
#define VER_SERVICEPACKMAJOR 0x0000020
#define VER_EQUAL 1
#define VER_GREATER 2
#define VER_GREATER_EQUAL 3
#define VER_LESS 4
#define VER_LESS_EQUAL 5
ULONGLONG VerSetConditionMask(ULONGLONG mask, DWORD typeBit, BYTE condition);
// Fields are compared in significance order (major, minor, service pack major,
// service pack minor), as the platform does; the build number on its own.
BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, ULONGLONG conditionMask);

// Single-instance lock. A named mutex is a lock on a file of that name in
// /run/lock (or /tmp; $KESTRUNE_LOCK_DIR when set, so that parallel tests keep
// apart), which the kernel drops when the process dies. When
// another live process holds it, a handle is still returned and GetLastError()
// is ERROR_ALREADY_EXISTS. Waiting on or releasing a mutex is not offered.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attrs, BOOL initialOwner, LPCSTR name);

// ---------------------------------------------------------------- console
#define STD_INPUT_HANDLE (static_cast<DWORD>(-10))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define STD_ERROR_HANDLE (static_cast<DWORD>(-12))
#define FOREGROUND_BLUE 0x0001
#define FOREGROUND_GREEN 0x0002
#define FOREGROUND_RED 0x0004
#define FOREGROUND_INTENSITY 0x0008
#define BACKGROUND_BLUE 0x0010
#define BACKGROUND_GREEN 0x0020
#define BACKGROUND_RED 0x0040
#define BACKGROUND_INTENSITY 0x0080

struct COORD {
    SHORT X;
    SHORT Y;
};
struct SMALL_RECT {
    SHORT Left, Top, Right, Bottom;
};
struct CONSOLE_SCREEN_BUFFER_INFO {
    COORD dwSize;
    COORD dwCursorPosition;
    WORD wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
};
typedef CONSOLE_SCREEN_BUFFER_INFO* PCONSOLE_SCREEN_BUFFER_INFO;

// Console handles are fixed pseudo-handles; CloseHandle on them does nothing.
HANDLE GetStdHandle(DWORD which);
// Fails (ERROR_INVALID_HANDLE) when the stream is not a terminal. A terminal
// reports wAttributes 7 (grey on black), which stands for the terminal's own colours.
BOOL GetConsoleScreenBufferInfo(HANDLE console, PCONSOLE_SCREEN_BUFFER_INFO info);
// On a terminal, writes the ANSI colour sequence for the attribute through the
// stream's stdio buffer (so it stays in order with printf output); attribute 7
// restores the terminal's own colours. When the stream is not a terminal it
// writes nothing and fails, so redirected output stays plain.
BOOL SetConsoleTextAttribute(HANDLE console, WORD attributes);

// ---------------------------------------------------------------- critical sections (recursive)
struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);

// ---------------------------------------------------------------- profile (INI) files
// The value of key in section of the file, cut to size - 1 characters and
// NUL-terminated; the default text (trailing blanks dropped) when the file,
// section or key is absent. Section and key names match without regard to case;
// blanks around names and values are dropped; lines whose first non-blank is
// ';' are comments; a value in matching quotes loses them; the first section
// and the first key of a name win. Returns the number of characters copied.
// A NULL section or key (enumeration) is not offered: it copies the default.
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultText, LPSTR buffer, DWORD size,
                               LPCSTR fileName);

// ---------------------------------------------------------------- files
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_DEVICE 0x00000040  // neither a regular file nor a folder: a device, pipe or socket
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(0xFFFFFFFF))

DWORD GetFileAttributesA(LPCSTR path);  // follows symbolic links
enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard };
struct WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;  // status-change time on this platform
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};
BOOL GetFileAttributesExA(LPCSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID info);
// Mode 0777 less the umask; ERROR_ALREADY_EXISTS when the path exists.
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES attrs);

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
// A file handle (CloseHandle closes it). New files get mode 0666 less the umask. A
// symbolic link at the path is refused (ERROR_CANT_RESOLVE_FILENAME). Sharing: a
// handle whose share mode lacks FILE_SHARE_WRITE holds the file against every
// other such handle, of any process, until it is closed or its process dies; the
// open fails with ERROR_SHARING_VIOLATION while another one holds it. Ordinary
// opens are not refused. A held file that its holder renames or deletes before
// letting go is not taken: the open goes to the file then at the path.
// CREATE_ALWAYS cuts the file only once it is held. Flags and attributes are ignored.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attrs, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
// Writes the bytes at the file's position and moves it past them; a write the system cuts short
// is carried on, so that TRUE means every byte was written. *written (when given) receives the
// count written, also on failure. No overlapped writes: `overlapped` must be NULL.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, void* overlapped);
// Cuts the file at its current position (0 right after the open).
BOOL SetEndOfFile(HANDLE file);
// Writes the file's data and size through to the disk.
BOOL FlushFileBuffers(HANDLE file);
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_WRITE_THROUGH 0x00000008
// Renames a file in one step. Without MOVEFILE_REPLACE_EXISTING an existing target
// fails with ERROR_ALREADY_EXISTS. MOVEFILE_WRITE_THROUGH returns once the new
// name (the folder's entry) is on the disk.
BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags);
BOOL DeleteFileA(LPCSTR path);  // a file, not a folder
// The runtime's flush of a descriptor's file to the disk: 0, or -1 with errno set.
// A descriptor of something that cannot be synced (a pipe, a device) gives 0.
int _commit(int fd);
// The path at the end of the symbolic links that `path` passes through last (the
// target of a link to a file that does not exist yet included; a relative target
// is taken from the link's folder): the file that writing to `path` reaches. A
// path that is no link comes back unchanged. The length, or 0 on failure
// (ERROR_CANT_RESOLVE_FILENAME for a loop, ERROR_INSUFFICIENT_BUFFER).
DWORD ResolveFinalLinkA(LPCSTR path, LPSTR buffer, DWORD size);

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAA* LPWIN32_FIND_DATAA;
// The last path component may hold the wildcards '*' and '?'; without them the
// look-up finds the path itself. "." and ".." are not reported. Names longer
// than MAX_PATH - 1 are skipped. INVALID_HANDLE_VALUE when nothing matches
// (ERROR_FILE_NOT_FOUND) or the folder cannot be read.
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data);  // FALSE + ERROR_NO_MORE_FILES at the end
BOOL FindClose(HANDLE find);

// ---------------------------------------------------------------- time
void GetLocalTime(LPSYSTEMTIME st);
void GetSystemTime(LPSYSTEMTIME st);  // UTC
DWORD GetTickCount();                 // ms since an arbitrary start, monotonic

// ---------------------------------------------------------------- threads, events, waits
#define WAIT_OBJECT_0 0x00000000
#define WAIT_ABANDONED_0 0x00000080
#define WAIT_TIMEOUT 0x00000102
#define WAIT_FAILED 0xFFFFFFFF
#define STILL_ACTIVE 259
#define MAXIMUM_WAIT_OBJECTS 64

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID);

// Starts the thread at once (no creation flags are offered: others fail with
// ERROR_INVALID_PARAMETER). The handle is signalled when the thread has ended
// wholly, the runtime's clean-ups after its procedure included.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attrs, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, LPDWORD threadId);
// The runtime library's form: the handle as an integer, 0 on failure with errno set.
uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned (*start)(void*), void* arg, unsigned initFlag,
                         unsigned* threadId);
// STILL_ACTIVE while the thread runs, then its exit code.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// Forced end of a thread. POSIX has no safe way to stop a thread from outside,
// so the thread is abandoned instead: its handle is marked ended at once with
// the given exit code (waits on it return, GetExitCodeThread reports the code),
// while the body runs on, detached, until it returns by itself; its result is
// then discarded. Whatever the body still uses must stay alive until it returns.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
DWORD GetCurrentThreadId();  // unique per thread for the life of the process, never 0
void Sleep(DWORD ms);        // INFINITE sleeps for ever

// Events (the name is ignored: only unnamed events are offered).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attrs, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Threads and events can be waited on; a successful wait on an auto-reset event
// resets it. Time-outs in ms or INFINITE. Wait-any returns WAIT_OBJECT_0 + the
// lowest signalled index; wait-all returns WAIT_OBJECT_0 once all are signalled
// at the same moment. WAIT_FAILED with ERROR_INVALID_HANDLE / _PARAMETER.
DWORD WaitForSingleObject(HANDLE h, DWORD ms);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms);

// Drops one reference to the object; the record goes when the last one does
// (a running thread holds its own). FALSE + ERROR_INVALID_HANDLE for a handle
// that names no live object.
BOOL CloseHandle(HANDLE h);

// ---------------------------------------------------------------- media-set files
// Not Win32: what a set of files that replaces another as a whole needs of the file system.
// The longest file name the file system that holds `folder` takes (GetVolumeInformationA's
// maximum component length); 255 when it cannot be asked.
DWORD GetMaxComponentLengthA(LPCSTR folder);
// The identity of what `path` leads to (links followed): its volume and its index there, equal
// for two paths only when they name the same file. FALSE when nothing is there.
BOOL GetFileIdA(LPCSTR path, ULONGLONG* volume, ULONGLONG* index);
// `path` taken from the current folder when it is relative; nothing else of it is changed. The
// length, or 0 on failure (ERROR_INSUFFICIENT_BUFFER).
DWORD GetAbsolutePathA(LPCSTR path, LPSTR buffer, DWORD size);
// Writes the entries of the folder that holds `path` (renamed, created or removed names)
// through to the disk.
BOOL FlushFolderOfA(LPCSTR path);
