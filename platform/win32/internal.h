// Shared by the sources of this layer only.
#pragma once

#include "platform/win32/win32.h"

#include <dirent.h>

#include <atomic>
#include <string>

enum class KesKind { Console, Process, Token, Thread, Event, Mutex, Find, File };

struct KesKernelObject {
    KesKind kind;
    int refs = 1;  // guarded by the object lock
    // Threads and events: guarded by the object lock.
    bool signalled = false;
    bool manualReset = true;
    DWORD exitCode = STILL_ACTIVE;
    DWORD threadId = 0;
    // Mutex: the locked file. File: the open file. Find: the open folder and what to match in it.
    int fd = -1;
    DIR* dir = nullptr;
    std::string folder;
    std::string pattern;
    explicit KesKernelObject(KesKind k) : kind(k) {}
};

// Win32 code for an errno value; one without a code of its own is carried under the customer bit
// (0x20000000 | errno), which FormatMessageA tells as strerror does.
DWORD kesErrorFromErrno(int e);
// Registers a new object (one reference) and returns it as a handle.
HANDLE kesNewObject(KesKernelObject* obj);
// The object behind a handle when it is live and of that kind, with one more
// reference taken (drop it with kesRelease); NULL + ERROR_INVALID_HANDLE otherwise.
KesKernelObject* kesAcquire(HANDLE h, KesKind kind);
void kesRelease(KesKernelObject* obj);
// Fills a find record for one directory entry; false when it cannot be stated.
bool kesFillFindData(const std::string& path, const char* name, LPWIN32_FIND_DATAA data);
