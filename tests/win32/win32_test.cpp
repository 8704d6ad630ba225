#include "platform/win32/win32.h"
#include "platform/win32/internal.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

using kestest::TempDir;

namespace {

std::string g_self;  // this test program, run again as a child

// ---------------------------------------------------------------- threads

DWORD returnParam(LPVOID p) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p)); }

struct Gate {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> done{false};
    DWORD seenId = 0;
    ~Gate() { CloseHandle(go); }
};

DWORD waitForGate(LPVOID p) {
    Gate* g = static_cast<Gate*>(p);
    g->seenId = GetCurrentThreadId();
    WaitForSingleObject(g->go, INFINITE);
    g->done = true;
    return 99;
}

unsigned crtWaitForGate(void* p) { return waitForGate(p) + 1; }

TEST(Win32Thread, ExitCodeStillActiveThenResult) {
    Gate g;
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, waitForGate, &g, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(t, 30), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(g.go);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 99u);
    EXPECT_EQ(g.seenId, id);
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_TRUE(CloseHandle(t));
}

TEST(Win32Thread, NegativeExitCodeKeepsItsBits) {
    HANDLE t =
        CreateThread(nullptr, 0, returnParam, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0xFFFFFFFF)), 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(static_cast<int32_t>(code), -1);
    CloseHandle(t);
}

TEST(Win32Thread, BeginThreadExHandlesWaitAllAndAny) {
    Gate a, b;
    unsigned idA = 0;
    uintptr_t ha = _beginthreadex(nullptr, 0, crtWaitForGate, &a, 0, &idA);
    uintptr_t hb = _beginthreadex(nullptr, 0, crtWaitForGate, &b, 0, nullptr);
    ASSERT_NE(ha, 0u);
    ASSERT_NE(hb, 0u);
    EXPECT_NE(idA, 0u);
    HANDLE hs[2] = {reinterpret_cast<HANDLE>(ha), reinterpret_cast<HANDLE>(hb)};
    EXPECT_EQ(WaitForMultipleObjects(2, hs, FALSE, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(b.go);
    EXPECT_EQ(WaitForMultipleObjects(2, hs, FALSE, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(a.go);
    EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    // Both ended: wait-any reports the lowest index.
    EXPECT_EQ(WaitForMultipleObjects(2, hs, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    GetExitCodeThread(hs[0], &code);
    EXPECT_EQ(code, 100u);
    CloseHandle(hs[0]);
    CloseHandle(hs[1]);
}

TEST(Win32Thread, RefusedCallsAndHandles) {
    Gate g;
    HANDLE ev = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    int local = 0;
    HANDLE bogus = reinterpret_cast<HANDLE>(&local);
    struct Case {
        const char* what;
        DWORD result;
        DWORD expected;
        DWORD error;
    };
    std::vector<Case> cases;
    SetLastError(0);
    cases.push_back({"bogus handle", WaitForSingleObject(bogus, 0), WAIT_FAILED, GetLastError()});
    cases.push_back({"NULL handle", WaitForSingleObject(nullptr, 0), WAIT_FAILED, GetLastError()});
    cases.push_back({"count 0", WaitForMultipleObjects(0, &ev, TRUE, 0), WAIT_FAILED, GetLastError()});
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& h : many) h = ev;
    cases.push_back(
        {"count 65", WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, TRUE, 0), WAIT_FAILED, GetLastError()});
    HANDLE mixed[2] = {ev, bogus};
    cases.push_back({"one bad of two", WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED, GetLastError()});
    cases.push_back({"close bogus", static_cast<DWORD>(CloseHandle(bogus)), FALSE, GetLastError()});
    cases.push_back({"exit code of event", static_cast<DWORD>(GetExitCodeThread(ev, nullptr)), FALSE, GetLastError()});
    cases.push_back(
        {"creation flags", CreateThread(nullptr, 0, waitForGate, &g, 4, nullptr) == nullptr, 1, GetLastError()});
    for (const Case& c : cases) {
        EXPECT_EQ(c.result, c.expected) << c.what;
        EXPECT_NE(c.error, 0u) << c.what;
    }
    // The event survived the refused waits.
    EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(CloseHandle(ev));
    EXPECT_FALSE(CloseHandle(ev));  // closed twice
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Win32Thread, HandleClosedWhileRunningThreadEndsCleanly) {
    Gate g;
    HANDLE t = CreateThread(nullptr, 0, waitForGate, &g, 0, nullptr);
    ASSERT_TRUE(CloseHandle(t));
    SetEvent(g.go);
    for (int i = 0; i < 500 && !g.done; ++i) Sleep(2);
    EXPECT_TRUE(g.done);
}

TEST(Win32Thread, TerminateMarksEndedAndDiscardsTheLaterResult) {
    Gate g;
    HANDLE t = CreateThread(nullptr, 0, waitForGate, &g, 0, nullptr);
    ASSERT_TRUE(TerminateThread(t, 7));
    EXPECT_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(TerminateThread(t, 8));  // already ended: the first code stays
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 7u);
    // The abandoned body still runs; when it returns its 99 is discarded.
    EXPECT_FALSE(g.done);
    SetEvent(g.go);
    for (int i = 0; i < 500 && !g.done; ++i) Sleep(2);
    ASSERT_TRUE(g.done);
    Sleep(20);
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 7u);
    CloseHandle(t);
}

// What a thread releases after its procedure returns (its thread-local objects here, the runtime's
// own buffers in general) is released before a wait on its handle returns.
std::atomic<bool> g_threadLocalGone{false};
struct SlowThreadLocal {
    ~SlowThreadLocal() {
        Sleep(200);
        g_threadLocalGone = true;
    }
};

DWORD usesThreadLocal(LPVOID) {
    static thread_local SlowThreadLocal slow;
    (void)&slow;
    return 5;
}

TEST(Win32Thread, HandleSignalledOnlyAfterTheThreadHasWhollyEnded) {
    g_threadLocalGone = false;
    HANDLE t = CreateThread(nullptr, 0, usesThreadLocal, nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(g_threadLocalGone);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 5u);
    CloseHandle(t);
}

TEST(Win32Thread, LastErrorIsPerThread) {
    SetLastError(1234);
    HANDLE t = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return GetLastError(); }, nullptr, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    DWORD code = 1;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(code, 0u);
    CloseHandle(t);
}

// ---------------------------------------------------------------- events and locks

TEST(Win32Event, ManualStaysSignalledAutoIsConsumed) {
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE autoEv = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 10), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(WaitForSingleObject(autoEv, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // Wait-any consumes only the object it reports.
    HANDLE autoB = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    SetEvent(autoEv);
    HANDLE both[2] = {autoEv, autoB};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(manual);
    CloseHandle(autoEv);
    CloseHandle(autoB);
}

TEST(Win32Event, WaiterWakesOnSetFromAnotherThread) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            Sleep(30);
            SetEvent(static_cast<HANDLE>(p));
            return 0;
        },
        ev, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(ev, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    CloseHandle(ev);
}

struct Waiters {
    HANDLE ev;
    std::atomic<int> woken{0};
};

DWORD waitAndCount(LPVOID p) {
    Waiters* w = static_cast<Waiters*>(p);
    if (WaitForSingleObject(w->ev, INFINITE) != WAIT_OBJECT_0) return 1;
    ++w->woken;
    return 0;
}

TEST(Win32Event, ManualReleasesEveryWaiterAutoReleasesOne) {
    for (BOOL manual : {TRUE, FALSE}) {
        Waiters w;
        w.ev = CreateEventA(nullptr, manual, FALSE, nullptr);
        HANDLE ts[6];
        for (HANDLE& t : ts) t = CreateThread(nullptr, 0, waitAndCount, &w, 0, nullptr);
        Sleep(20);
        SetEvent(w.ev);
        if (manual) {
            EXPECT_EQ(WaitForMultipleObjects(6, ts, TRUE, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
            EXPECT_EQ(w.woken, 6);
        } else {
            for (int k = 1; k <= 6; ++k) {
                for (int i = 0; i < 2000 && w.woken < k; ++i) Sleep(1);
                Sleep(20);
                EXPECT_EQ(w.woken, k) << "one set must release exactly one waiter";
                SetEvent(w.ev);
            }
            EXPECT_EQ(WaitForMultipleObjects(6, ts, TRUE, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        }
        for (HANDLE t : ts) CloseHandle(t);
        CloseHandle(w.ev);
    }
}

struct Counter {
    CRITICAL_SECTION cs;
    long value = 0;
};

DWORD bumpRecursively(LPVOID p) {
    Counter* c = static_cast<Counter*>(p);
    for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&c->cs);
        EnterCriticalSection(&c->cs);  // recursive: the owner may enter again
        long v = c->value;
        c->value = v + 1;
        LeaveCriticalSection(&c->cs);
        LeaveCriticalSection(&c->cs);
    }
    return 0;
}

TEST(Win32CriticalSection, RecursiveAndExclusive) {
    Counter c;
    InitializeCriticalSection(&c.cs);
    HANDLE ts[4];
    for (HANDLE& t : ts) t = CreateThread(nullptr, 0, bumpRecursively, &c, 0, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(4, ts, TRUE, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(c.value, 80000);
    for (HANDLE t : ts) CloseHandle(t);
    DeleteCriticalSection(&c.cs);
}

// ---------------------------------------------------------------- profile files

TEST(Win32Profile, ReadsLikeTheProfileFunctions) {
    TempDir dir;
    std::string ini = dir / "config.ini";
    kestest::writeFile(ini,
                       "\xEF\xBB\xBF; settings\r\n"
                       "[Default]\r\n"
                       "Action=R\r\n"
                       "  Instance  =  SRV\\INST  \r\n"
                       "Files=\r\n"
                       ";DB=commented\r\n"
                       "Quoted=\"  keep blanks  \"\r\n"
                       "Eq=a=b\r\n"
                       "Action=second\r\n"
                       "[ other ]\n"
                       "db=fromother\n"
                       "[DEFAULT]\n"
                       "Late=not read\n"
                       "[Last]\n"
                       "NoNewline=end");
    struct Case {
        const char* section;
        const char* key;
        const char* def;
        DWORD size;
        const char* expected;
    };
    const Case cases[] = {
        {"Default", "Action", "x", 64, "R"},            // the first of a repeated key wins
        {"default", "ACTION", "x", 64, "R"},            // names match without regard to case
        {"Default", "Instance", "x", 64, "SRV\\INST"},  // blanks around names and values go
        {"Default", "Instance", "x", 4, "SRV"},         // cut to size - 1
        {"Default", "Instance", "x", 1, ""},            // room for the terminator only
        {"Default", "Files", "x", 64, ""},              // present but empty: empty, not the default
        {"Default", "DB", "dflt  ", 64, "dflt"},        // comment line; default loses trailing blanks
        {"Default", "Quoted", "x", 64, "  keep blanks  "},
        {"Default", "Eq", "x", 64, "a=b"},
        {"Other", "DB", "x", 64, "fromother"},  // blanks inside the brackets go
        {"Default", "Late", "x", 64, "x"},      // only the first section of a name is read
        {"Missing", "Action", "dflt", 64, "dflt"},
        {"Last", "NoNewline", "x", 64, "end"},
    };
    for (const Case& c : cases) {
        char buf[80];
        memset(buf, '#', sizeof buf);
        DWORD n = GetPrivateProfileStringA(c.section, c.key, c.def, buf, c.size, ini.c_str());
        EXPECT_STREQ(buf, c.expected) << c.section << "/" << c.key << " size " << c.size;
        EXPECT_EQ(n, strlen(c.expected)) << c.section << "/" << c.key;
        EXPECT_EQ(buf[c.size], '#') << "wrote past the buffer: " << c.key;
    }
    char buf[16];
    EXPECT_EQ(GetPrivateProfileStringA("Default", "Action", "none", buf, sizeof buf, (dir / "absent.ini").c_str()), 4u);
    EXPECT_STREQ(buf, "none");
    EXPECT_EQ(GetPrivateProfileStringA("Default", "Action", nullptr, buf, sizeof buf, (dir / "absent.ini").c_str()),
              0u);
    EXPECT_STREQ(buf, "");
}

// ---------------------------------------------------------------- files

TEST(Win32Files, AttributesDirectoriesAndLookUp) {
    TempDir dir;
    std::string file = dir / "a.bak", sub = dir / "sub";
    kestest::writeFile(file, "12345");
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryA((dir / "no/such").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_TRUE(GetFileAttributesA(sub.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    DWORD fa = GetFileAttributesA(file.c_str());
    EXPECT_NE(fa, INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(fa & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA((dir / "missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesA(""), INVALID_FILE_ATTRIBUTES);

    WIN32_FILE_ATTRIBUTE_DATA ad;
    ASSERT_TRUE(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &ad));
    EXPECT_EQ(ad.nFileSizeLow, 5u);
    EXPECT_EQ(ad.nFileSizeHigh, 0u);

    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(file.c_str(), &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(fd.cFileName, "a.bak");
    EXPECT_EQ(fd.nFileSizeLow, 5u);
    EXPECT_FALSE(FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(h));
    EXPECT_EQ(FindFirstFileA((dir / "missing").c_str(), &fd), INVALID_HANDLE_VALUE);

    kestest::writeFile(dir / "b.bak", "");
    kestest::writeFile(dir / "c.trn", "");
    std::vector<std::string> found;
    h = FindFirstFileA((dir / "*.bak").c_str(), &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    do found.push_back(fd.cFileName);
    while (FindNextFileA(h, &fd));
    FindClose(h);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"a.bak", "b.bak"}));
    EXPECT_EQ(FindFirstFileA((dir / "*.zip").c_str(), &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// ---------------------------------------------------------------- system

// A file held by a handle without FILE_SHARE_WRITE: refused to every other such open, of this
// process or another, without being cut; free again once closed or once its holder died.
TEST(Win32Files, HeldFileRefusesOtherHoldersUntilClosed) {
    TempDir dir;
    const std::string path = dir / "a.bak.part";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    kestest::writeFile(path, "first run's data");
    EXPECT_EQ(kestest::run({g_self, "--child", "hold", path}).out, "32\n");
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(kestest::readFile(path), "first run's data");  // the refused opens cut nothing
    // An ordinary open is not refused.
    HANDLE shared = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(shared, INVALID_HANDLE_VALUE);
    CloseHandle(shared);
    // The hold is on the file, not the name: moved away, the name is free for a new file.
    const std::string moved = dir / "a.bak";
    ASSERT_TRUE(MoveFileExA(path.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(kestest::run({g_self, "--child", "hold", path}).out, "0\n");
    EXPECT_EQ(kestest::run({g_self, "--child", "hold", moved}).out, "32\n");
    CloseHandle(h);
    EXPECT_EQ(kestest::run({g_self, "--child", "hold", moved}).out, "0\n");
    EXPECT_EQ(kestest::readFile(moved), "");  // CREATE_ALWAYS cut it once held
    // A symbolic link at the path is refused.
    ASSERT_EQ(symlink(moved.c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(CreateFileA((dir / "link").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
    EXPECT_EQ(CreateFileA((dir / "no/such").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Win32Files, CutSyncMoveAndDelete) {
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b";
    kestest::writeFile(a, "old content");
    HANDLE h = CreateFileA(a.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(kestest::readFile(a), "old content");  // OPEN_ALWAYS keeps it
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(kestest::readFile(a), "");
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(SetEndOfFile(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    kestest::writeFile(a, "new");
    kestest::writeFile(b, "previous");
    EXPECT_FALSE(MoveFileExA(a.c_str(), b.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(kestest::readFile(b), "previous");
    EXPECT_TRUE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(kestest::readFile(b), "new");
    EXPECT_EQ(GetFileAttributesA(a.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_TRUE(DeleteFileA(b.c_str()));
    EXPECT_FALSE(DeleteFileA(b.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA(dir.path().c_str()));

    EXPECT_TRUE(GetFileAttributesA("/dev/null") & FILE_ATTRIBUTE_DEVICE);
    EXPECT_FALSE(GetFileAttributesA(dir.path().c_str()) & FILE_ATTRIBUTE_DEVICE);
    int fd = open("/dev/null", O_WRONLY);
    EXPECT_EQ(_commit(fd), 0);  // nothing to sync is no failure
    close(fd);
    EXPECT_EQ(_commit(-1), -1);
}

// WriteFile writes every byte or fails, and counts what it wrote either way.
TEST(Win32Files, WriteFileWritesEveryByteOrFails) {
    TempDir dir;
    const std::string a = dir / "a";
    std::string data(3 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    HANDLE h =
        CreateFileA(a.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 99;
    EXPECT_TRUE(WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(WriteFile(h, "tail", 4, nullptr, nullptr));
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, &written));  // no overlapped writes
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(kestest::readFile(a) == data + "tail");
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    h = CreateFileA(a.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
    CloseHandle(h);

    h = CreateFileA("/dev/full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    CloseHandle(h);

    // A file size limit lets the system take only part of a write: what it took is counted.
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{5000, 5000};
        setrlimit(RLIMIT_FSIZE, &limit);
        HANDLE f = CreateFileA((dir / "limited").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               CREATE_ALWAYS, 0, nullptr);
        DWORD n = 0;
        const bool ok = WriteFile(f, data.data(), 8000, &n, nullptr);
        _exit(!ok && n == 5000 && GetLastError() == kesErrorFromErrno(EFBIG) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Win32Files, ResolveFinalLink) {
    TempDir dir;
    ASSERT_TRUE(CreateDirectoryA((dir / "sub").c_str(), nullptr));
    kestest::writeFile(dir / "sub/real.bak", "x");
    ASSERT_EQ(symlink((dir / "sub/real.bak").c_str(), (dir / "abs").c_str()), 0);
    ASSERT_EQ(symlink("real.bak", (dir / "sub/rel").c_str()), 0);
    ASSERT_EQ(symlink("sub/rel", (dir / "chain").c_str()), 0);
    ASSERT_EQ(symlink("sub/later.bak", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(symlink("loop2", (dir / "loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", (dir / "loop2").c_str()), 0);
    const struct {
        std::string path, want;
    } cases[] = {
        {dir / "sub/real.bak", dir / "sub/real.bak"},
        {dir / "missing.bak", dir / "missing.bak"},
        {dir / "abs", dir / "sub/real.bak"},
        {dir / "sub/rel", dir / "sub/real.bak"},
        {dir / "chain", dir / "sub/real.bak"},
        {dir / "dangling", dir / "sub/later.bak"},
        {"/dev/null", "/dev/null"},
    };
    char buf[4096];
    for (const auto& c : cases) {
        EXPECT_EQ(ResolveFinalLinkA(c.path.c_str(), buf, sizeof buf), c.want.size()) << c.path;
        EXPECT_EQ(std::string(buf), c.want) << c.path;
    }
    EXPECT_EQ(ResolveFinalLinkA((dir / "loop1").c_str(), buf, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
    EXPECT_EQ(ResolveFinalLinkA((dir / "abs").c_str(), buf, 8), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(Win32System, ModulePathComputerNameAndMessages) {
    char path[4096];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    EXPECT_EQ(std::string(path), kestest::selfExe());
    EXPECT_EQ(n, strlen(path));
    char small[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 5u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small), std::string(path).substr(0, 4));

    char host[256] = {};
    gethostname(host, sizeof host - 1);
    char name[128];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_STREQ(name, host);
    EXPECT_EQ(size, strlen(host));
    DWORD tiny = 1;
    EXPECT_FALSE(GetComputerNameA(name, &tiny));
    EXPECT_EQ(tiny, strlen(host) + 1);

    for (DWORD code : {static_cast<DWORD>(ERROR_ALREADY_EXISTS), kesErrorFromErrno(EHOSTUNREACH)}) {
        char* text = nullptr;
        DWORD len =
            FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        ASSERT_GT(len, 0u) << code;
        EXPECT_EQ(strlen(text), len);
        if (code == kesErrorFromErrno(EHOSTUNREACH)) {
            EXPECT_STREQ(text, strerror(EHOSTUNREACH));
        }
        LocalFree(reinterpret_cast<HLOCAL>(text));
    }
}

// Every failure is told in the system's own words: an errno value with a Win32 code of its own
// keeps it (callers compare with it), every other one is told as strerror tells it and is never
// taken for a Win32 code (EIO is 5, ERROR_ACCESS_DENIED).
TEST(Win32System, ErrnoValuesKeepTheirReason) {
    const struct {
        int err;
        DWORD code;  // 0: carried, no Win32 code
        const char* text;
    } cases[] = {
        {EIO, 0, "Input/output error"},
        {EDQUOT, 0, "Disk quota exceeded"},
        {ENAMETOOLONG, 0, "File name too long"},
        {EROFS, 0, "Read-only file system"},
        {EISDIR, 0, "Is a directory"},
        {EFBIG, 0, "File too large"},
        {EAGAIN, 0, "Resource temporarily unavailable"},  // 11 would be ERROR_BAD_FORMAT
        {EXDEV, 0, "Invalid cross-device link"},
        {ENOSPC, ERROR_DISK_FULL, "There is not enough space on the disk."},
        {EACCES, ERROR_ACCESS_DENIED, "Access is denied."},
        {EPERM, ERROR_ACCESS_DENIED, "Access is denied."},
        {ENOENT, ERROR_FILE_NOT_FOUND, "The file was not found."},
        {ENOTDIR, ERROR_PATH_NOT_FOUND, "The path was not found."},
        {EEXIST, ERROR_ALREADY_EXISTS, "The object already exists."},
        {EINVAL, ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
        {EBADF, ERROR_INVALID_HANDLE, "The handle is invalid."},
        {ETIMEDOUT, ERROR_TIMEOUT, "The operation timed out."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const DWORD code = kesErrorFromErrno(c.err);
        if (c.code) {
            EXPECT_EQ(c.code, code);
        } else {
            EXPECT_GT(code, 0xFFFFu);  // beyond every Win32 error code
        }
        char* text = nullptr;
        const DWORD len =
            FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        ASSERT_GT(len, 0u);
        EXPECT_STREQ(c.text, text);
        LocalFree(reinterpret_cast<HLOCAL>(text));
    }
    // A Win32 code this layer does not know is no errno value (4 is not EINTR): it has no text.
    char buf[256];
    for (DWORD code : {4u, 1450u, 0x20000000u}) {
        EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x400, buf, sizeof buf, nullptr))
            << code;
    }

    // From a real call: a name longer than the system takes.
    const std::string tooLong = "/tmp/" + std::string(300, 'n');
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(tooLong.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    EXPECT_EQ(kesErrorFromErrno(ENAMETOOLONG), GetLastError());
}

TEST(Win32System, ElevationAndVersion) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_ELEVATION e{};
    DWORD ret = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenElevation, &e, sizeof e, &ret));
    EXPECT_EQ(e.TokenIsElevated, geteuid() == 0 ? 1u : 0u);
    CloseHandle(token);

    struct Case {
        DWORD major, minor;
        WORD sp;
        BYTE cond;
        bool expected;
    };
    const Case cases[] = {
        {6, 0, 0, VER_GREATER_EQUAL, true},   {10, 0, 0, VER_GREATER_EQUAL, true},  {6, 3, 5, VER_GREATER_EQUAL, true},
        {10, 1, 0, VER_GREATER_EQUAL, false}, {11, 0, 0, VER_GREATER_EQUAL, false}, {10, 0, 0, VER_EQUAL, true},
        {6, 0, 0, VER_LESS, false},
    };
    for (const Case& c : cases) {
        OSVERSIONINFOEXW v{};
        v.dwOSVersionInfoSize = sizeof v;
        v.dwMajorVersion = c.major;
        v.dwMinorVersion = c.minor;
        v.wServicePackMajor = c.sp;
        ULONGLONG mask = 0;
        mask = VerSetConditionMask(mask, VER_MAJORVERSION, c.cond);
        mask = VerSetConditionMask(mask, VER_MINORVERSION, c.cond);
        mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, c.cond);
        EXPECT_EQ(VerifyVersionInfoW(&v, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != FALSE,
                  c.expected)
            << c.major << "." << c.minor << " sp" << c.sp << " cond " << int(c.cond);
    }
}

TEST(Win32System, LocalAndUtcTime) {
    SYSTEMTIME utc, local;
    time_t before = time(nullptr);
    GetSystemTime(&utc);
    GetLocalTime(&local);
    time_t after = time(nullptr);
    auto toTm = [](const SYSTEMTIME& s) {
        struct tm t = {};
        t.tm_year = s.wYear - 1900;
        t.tm_mon = s.wMonth - 1;
        t.tm_mday = s.wDay;
        t.tm_hour = s.wHour;
        t.tm_min = s.wMinute;
        t.tm_sec = s.wSecond;
        t.tm_isdst = -1;
        return t;
    };
    struct tm tu = toTm(utc), tl = toTm(local);
    time_t u = timegm(&tu), l = mktime(&tl);
    // time() reads a coarse clock that may lag the precise one by a tick.
    EXPECT_GE(u, before - 1);
    EXPECT_LE(u, after + 1);
    EXPECT_GE(l, before - 1);
    EXPECT_LE(l, after + 1);
    EXPECT_LT(utc.wMilliseconds, 1000);
    EXPECT_EQ(utc.wDayOfWeek, tu.tm_wday);
}

// ---------------------------------------------------------------- child runs

TEST(Win32Process, ExitProcessFlushesButSkipsExitHandlers) {
    kestest::RunResult r = kestest::run({g_self, "--child", "exit"});
    EXPECT_EQ(r.status, 135);  // -121 as the shell sees it
    EXPECT_EQ(r.out, "pending line without end");
}

// Threads that end the process at the same moment: it ends once, with one of their statuses, and
// each end handler runs once, the one added last first, with that status, before the pending
// output is flushed.
TEST(Win32Process, ExitProcessFromManyThreadsEndsOnce) {
    for (int round = 0; round < 10; ++round) {
        kestest::RunResult r = kestest::run({g_self, "--child", "exit-race"});
        EXPECT_TRUE(r.status >= 10 && r.status < 18) << r.status;
        EXPECT_EQ(r.out, "pendingsecond " + std::to_string(r.status) + "\nfirst\n") << "round " << round;
    }
}

TEST(Win32Process, NamedMutexHeldUntilCloseOrDeath) {
    TempDir locks;
    setenv("KESTRUNE_LOCK_DIR", locks.path().c_str(), 1);  // the children inherit it
    std::string name = "Local\\kestrune single";
    kestest::RunResult r = kestest::run({g_self, "--child", "mutex", name});
    EXPECT_EQ(r.out, "0\n");  // the child held it and died: the lock went with it
    HANDLE h = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    r = kestest::run({g_self, "--child", "mutex", name});
    EXPECT_EQ(r.out, "183\n");
    HANDLE again = CreateMutexA(nullptr, TRUE, name.c_str());  // a second create in this process
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(again);
    r = kestest::run({g_self, "--child", "mutex", name});
    EXPECT_EQ(r.out, "183\n");  // closing the second handle kept the first one's hold
    CloseHandle(h);
    r = kestest::run({g_self, "--child", "mutex", name});
    EXPECT_EQ(r.out, "0\n");
    // The name became one file name in the lock folder.
    EXPECT_TRUE(std::filesystem::exists(locks / "kes-mutex-Local_kestrune_single.lock"));
    unsetenv("KESTRUNE_LOCK_DIR");
}

TEST(Win32Console, AnsiColoursOnlyOnATerminal) {
    kestest::RunResult plain = kestest::run({g_self, "--child", "console"});
    EXPECT_EQ(plain.out, "info-fails|yellow|back|");
    kestest::RunResult tty = kestest::runOnTerminal({g_self, "--child", "console"});
    EXPECT_EQ(tty.out, "info-7|\033[0;93;40myellow|\033[0;31;44mred-on-blue\033[0mback|") << tty.err;
}

void firstHandler(UINT) { fputs("first\n", stdout); }
void secondHandler(UINT status) { printf("second %u\n", status); }

struct ExitNoise {
    ~ExitNoise() { fputs("global destructor ran", stdout); }
};

int childMain(int argc, char** argv) {
    std::string mode = argv[2];
    if (mode == "exit") {
        static ExitNoise noise;
        atexit([] { fputs("atexit ran", stdout); });
        setvbuf(stdout, nullptr, _IOFBF, 4096);
        fputs("pending line without end", stdout);
        ExitProcess(static_cast<UINT>(-121));
    }
    if (mode == "exit-race") {
        setvbuf(stdout, nullptr, _IOFBF, 4096);
        fputs("pending", stdout);
        AddProcessEndHandler(firstHandler);
        AddProcessEndHandler(secondHandler);
        AddProcessEndHandler(firstHandler);  // already there: still once
        static HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        for (uintptr_t k = 0; k < 8; ++k)
            CreateThread(
                nullptr, 0,
                [](LPVOID status) -> DWORD {
                    WaitForSingleObject(go, INFINITE);
                    ExitProcess(static_cast<UINT>(reinterpret_cast<uintptr_t>(status)));
                },
                reinterpret_cast<LPVOID>(10 + k), 0, nullptr);
        SetEvent(go);
        Sleep(INFINITE);
    }
    if (mode == "hold" && argc > 3) {
        HANDLE h = CreateFileA(argv[3], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        printf("%u\n", h == INVALID_HANDLE_VALUE ? GetLastError() : 0u);
        return 0;
    }
    if (mode == "mutex" && argc > 3) {
        HANDLE h = CreateMutexA(nullptr, TRUE, argv[3]);
        printf("%u\n", h ? GetLastError() : 9999u);
        return 0;
    }
    if (mode == "console") {
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(out, &info))
            printf("info-%u|", info.wAttributes);
        else
            printf("info-fails|");
        SetConsoleTextAttribute(out, FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY);
        printf("yellow|");
        SetConsoleTextAttribute(out, FOREGROUND_RED | BACKGROUND_BLUE);
        if (isatty(1)) printf("red-on-blue");
        SetConsoleTextAttribute(out, 7);
        printf("back|");
        return 0;
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && strcmp(argv[1], "--child") == 0) return childMain(argc, argv);
    g_self = kestest::selfExe();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
