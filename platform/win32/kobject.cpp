// Kernel objects: handles, threads, events, waits and the named mutex.
//
// One lock and one condition variable serve every object: a signal wakes all
// waiters, each re-checks its own objects. The program waits on a few dozen
// objects at most, so this stays simple without costing anything that matters.
#include "platform/win32/internal.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_set>

namespace {

std::mutex& objLock() {
    static std::mutex* m = new std::mutex;  // never destroyed: threads may outlive main
    return *m;
}
std::condition_variable& objSignal() {
    static std::condition_variable* c = new std::condition_variable;
    return *c;
}
std::unordered_set<KesKernelObject*>& liveObjects() {
    static auto* s = new std::unordered_set<KesKernelObject*>;
    return *s;
}

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

void destroyObject(KesKernelObject* obj) {
    if (obj->fd >= 0) close(obj->fd);
    if (obj->dir) closedir(obj->dir);
    delete obj;
}

// Caller holds objLock. Returns true when the object was the last reference.
bool dropRefLocked(KesKernelObject* obj) {
    if (--obj->refs > 0) return false;
    liveObjects().erase(obj);
    return true;
}

struct ThreadStart {
    KesKernelObject* obj;
    LPTHREAD_START_ROUTINE routine;
    unsigned (*crtRoutine)(void*);
    void* param;
    bool joinable;
};

// Marks a thread ended with its exit code and drops the running thread's reference.
void finishThread(KesKernelObject* obj, DWORD code) {
    bool last;
    {
        std::lock_guard<std::mutex> g(objLock());
        if (!obj->signalled) {  // else it was ended by force: the result is discarded
            obj->signalled = true;
            obj->exitCode = code;
        }
        last = dropRefLocked(obj);
    }
    objSignal().notify_all();
    if (last) destroyObject(obj);
}

// A thread's handle is signalled only once the thread has wholly ended, the runtime's own
// clean-ups after its body included: a waiter that then ends the process must not find the
// thread still releasing what it held. A finished body hands itself to the reaper, which joins
// it and only then signals the handle.
struct Finished {
    KesKernelObject* obj;
    pthread_t thread;
    DWORD code;
};
struct Reaper {
    std::mutex m;
    std::condition_variable cv;
    std::deque<Finished> queue;
    bool running = false;
};
Reaper& reaper() {
    static Reaper* r = new Reaper;  // never destroyed: threads may outlive main
    return *r;
}

void* reaperMain(void*) {
    Reaper& r = reaper();
    for (;;) {
        Finished f;
        {
            std::unique_lock<std::mutex> lk(r.m);
            r.cv.wait(lk, [&] { return !r.queue.empty(); });
            f = r.queue.front();
            r.queue.pop_front();
        }
        pthread_join(f.thread, nullptr);
        finishThread(f.obj, f.code);
    }
    return nullptr;
}

// Starts the reaper once; false when it cannot run, and threads are then started detached.
bool reaperRunning() {
    static const bool running = [] {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t tid;
        int rc = pthread_create(&tid, &attr, reaperMain, nullptr);
        pthread_attr_destroy(&attr);
        return rc == 0;
    }();
    return running;
}

void* threadMain(void* arg) {
    ThreadStart start = *static_cast<ThreadStart*>(arg);
    delete static_cast<ThreadStart*>(arg);
    t_threadId = start.obj->threadId;
    DWORD code = start.routine ? start.routine(start.param) : static_cast<DWORD>(start.crtRoutine(start.param));
    if (!start.joinable) {
        finishThread(start.obj, code);
        return nullptr;
    }
    Reaper& r = reaper();
    {
        std::lock_guard<std::mutex> g(r.m);
        r.queue.push_back(Finished{start.obj, pthread_self(), code});
    }
    r.cv.notify_one();
    return nullptr;
}

HANDLE startThread(LPTHREAD_START_ROUTINE routine, unsigned (*crtRoutine)(void*), void* param, DWORD* idOut) {
    auto* obj = new (std::nothrow) KesKernelObject(KesKind::Thread);
    const bool joinable = reaperRunning();
    auto* start = new (std::nothrow) ThreadStart{obj, routine, crtRoutine, param, joinable};
    if (!obj || !start) {
        delete obj;
        delete start;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        errno = ENOMEM;
        return nullptr;
    }
    obj->threadId = g_nextThreadId++;
    obj->refs = 2;  // the caller's handle and the running thread
    {
        std::lock_guard<std::mutex> g(objLock());
        liveObjects().insert(obj);
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, joinable ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, threadMain, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        {
            std::lock_guard<std::mutex> g(objLock());
            liveObjects().erase(obj);
        }
        delete obj;
        delete start;
        SetLastError(kesErrorFromErrno(rc));
        errno = rc;
        return nullptr;
    }
    if (idOut) *idOut = obj->threadId;
    return obj;
}

bool waitable(const KesKernelObject* o) { return o->kind == KesKind::Thread || o->kind == KesKind::Event; }

}  // namespace

HANDLE kesNewObject(KesKernelObject* obj) {
    std::lock_guard<std::mutex> g(objLock());
    liveObjects().insert(obj);
    return obj;
}

KesKernelObject* kesAcquire(HANDLE h, KesKind kind) {
    std::lock_guard<std::mutex> g(objLock());
    auto it = liveObjects().find(h);
    if (it == liveObjects().end() || (*it)->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++(*it)->refs;
    return *it;
}

void kesRelease(KesKernelObject* obj) {
    bool last;
    {
        std::lock_guard<std::mutex> g(objLock());
        last = dropRefLocked(obj);
    }
    if (last) destroyObject(obj);
}

BOOL CloseHandle(HANDLE h) {
    bool last;
    {
        std::lock_guard<std::mutex> g(objLock());
        auto it = liveObjects().find(h);
        if (it == liveObjects().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        KesKind k = (*it)->kind;
        if (k == KesKind::Console || k == KesKind::Process) return TRUE;  // pseudo-handles
        last = dropRefLocked(h);
    }
    if (last) destroyObject(h);
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                    LPDWORD threadId) {
    if (!start || flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return startThread(start, nullptr, param, threadId);
}

uintptr_t _beginthreadex(void*, unsigned, unsigned (*start)(void*), void* arg, unsigned initFlag, unsigned* threadId) {
    if (!start || initFlag != 0) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD id = 0;
    HANDLE h = startThread(nullptr, start, arg, &id);
    if (h && threadId) *threadId = id;
    return reinterpret_cast<uintptr_t>(h);
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    KesKernelObject* o = kesAcquire(thread, KesKind::Thread);
    if (!o) return FALSE;
    {
        std::lock_guard<std::mutex> g(objLock());
        if (exitCode) *exitCode = o->signalled ? o->exitCode : STILL_ACTIVE;
    }
    kesRelease(o);
    return TRUE;
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
    KesKernelObject* o = kesAcquire(thread, KesKind::Thread);
    if (!o) return FALSE;
    {
        std::lock_guard<std::mutex> g(objLock());
        if (!o->signalled) {
            o->signalled = true;
            o->exitCode = exitCode;
        }
    }
    objSignal().notify_all();
    kesRelease(o);
    return TRUE;
}

DWORD GetCurrentThreadId() {
    if (t_threadId == 0) t_threadId = g_nextThreadId++;
    return t_threadId;
}

void Sleep(DWORD ms) {
    if (ms == INFINITE) {
        for (;;) pause();
    }
    if (ms == 0) {  // gives the rest of the time slice to another thread
        sched_yield();
        return;
    }
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    auto* obj = new (std::nothrow) KesKernelObject(KesKind::Event);
    if (!obj) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    obj->manualReset = manualReset != FALSE;
    obj->signalled = initialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return kesNewObject(obj);
}

static BOOL setEventState(HANDLE event, bool state) {
    KesKernelObject* o = kesAcquire(event, KesKind::Event);
    if (!o) return FALSE;
    {
        std::lock_guard<std::mutex> g(objLock());
        o->signalled = state;
    }
    if (state) objSignal().notify_all();
    kesRelease(o);
    return TRUE;
}

BOOL SetEvent(HANDLE event) { return setEventState(event, true); }
BOOL ResetEvent(HANDLE event) { return setEventState(event, false); }

DWORD WaitForSingleObject(HANDLE h, DWORD ms) { return WaitForMultipleObjects(1, &h, TRUE, ms); }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    KesKernelObject* objs[MAXIMUM_WAIT_OBJECTS];
    std::unique_lock<std::mutex> lk(objLock());
    for (DWORD i = 0; i < count; ++i) {
        auto it = liveObjects().find(handles[i]);
        if (it == liveObjects().end() || !waitable(*it)) {
            for (DWORD k = 0; k < i; ++k) --objs[k]->refs;  // never the last: the caller holds one
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objs[i] = *it;
        ++objs[i]->refs;  // keeps the record alive should another thread close it meanwhile
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        if (waitAll) {
            bool all = true;
            for (DWORD i = 0; i < count && all; ++i) all = objs[i]->signalled;
            if (all) {
                for (DWORD i = 0; i < count; ++i)
                    if (objs[i]->kind == KesKind::Event && !objs[i]->manualReset) objs[i]->signalled = false;
                result = WAIT_OBJECT_0;
                break;
            }
        } else {
            DWORD hit = count;
            for (DWORD i = 0; i < count && hit == count; ++i)
                if (objs[i]->signalled) hit = i;
            if (hit < count) {
                if (objs[hit]->kind == KesKind::Event && !objs[hit]->manualReset) objs[hit]->signalled = false;
                result = WAIT_OBJECT_0 + hit;
                break;
            }
        }
        if (ms == 0) break;
        if (ms == INFINITE) {
            objSignal().wait(lk);
        } else if (objSignal().wait_until(lk, deadline) == std::cv_status::timeout) {
            if (std::chrono::steady_clock::now() >= deadline) ms = 0;  // one last look, then time out
        }
    }
    KesKernelObject* dead[MAXIMUM_WAIT_OBJECTS];
    DWORD nDead = 0;
    for (DWORD i = 0; i < count; ++i)
        if (dropRefLocked(objs[i])) dead[nDead++] = objs[i];
    lk.unlock();
    for (DWORD i = 0; i < nDead; ++i) destroyObject(dead[i]);
    return result;
}

// ---------------------------------------------------------------- named mutex

static std::string lockFilePath(const char* name) {
    std::string safe;
    for (const char* p = name; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        safe += (isalnum(c) || c == '-' || c == '_' || c == '.') ? static_cast<char>(c) : '_';
    }
    // KESTRUNE_LOCK_DIR gives parallel test runs a namespace of their own.
    const char* dir = getenv("KESTRUNE_LOCK_DIR");
    struct stat st;
    if (!dir || !*dir)
        dir = (stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) && access("/run/lock", W_OK) == 0) ? "/run/lock"
                                                                                                     : "/tmp";
    return std::string(dir) + "/kes-mutex-" + safe + ".lock";
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
    auto* obj = new (std::nothrow) KesKernelObject(KesKind::Mutex);
    if (!obj) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!name || !*name) {  // unnamed: nobody else can hold it
        SetLastError(ERROR_SUCCESS);
        return kesNewObject(obj);
    }
    std::string path = lockFilePath(name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        SetLastError(kesErrorFromErrno(errno));
        delete obj;
        return nullptr;
    }
    fchmod(fd, 0666);  // so that other users' runs can take it after us
    obj->fd = fd;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        DWORD err = (errno == EWOULDBLOCK) ? ERROR_ALREADY_EXISTS : kesErrorFromErrno(errno);
        if (err != ERROR_ALREADY_EXISTS) {
            delete obj;
            close(fd);
            SetLastError(err);
            return nullptr;
        }
        close(fd);  // the handle names the existing mutex; it holds nothing
        obj->fd = -1;
        HANDLE h = kesNewObject(obj);
        SetLastError(ERROR_ALREADY_EXISTS);
        return h;
    }
    HANDLE h = kesNewObject(obj);
    SetLastError(ERROR_SUCCESS);
    return h;
}
