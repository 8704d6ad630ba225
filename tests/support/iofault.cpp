// Preloaded into a process under test (LD_PRELOAD): fails, or kills the process at, chosen file
// system calls, so that a test can meet a full disk, an I/O error or a crash at an exact point.
//
// KES_IOFAULT holds rules separated by ";", each "op:match:nth:action":
//   op      fsync, fdatasync, write, close, rename (rename, renameat, renameat2) or unlink;
//   match   a text the path must contain (an fd's path is read from /proc/self/fd; a rename matches
//           on either name); empty matches every path;
//   nth     the matching call the rule acts on, 1-based; "N+" acts on the Nth and every later one;
//   action  an errno name (EIO, ENOSPC, EDQUOT, ENAMETOOLONG, EROFS, EXDEV) that the call fails
//           with, or KILL, which ends the process with SIGKILL before the call is made.
// KES_IOFAULT_LOG names a file that gets one line "op path" per call that a rule's op and match
// select, whether or not the rule acts: a test counts the points it can fault or kill at.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

struct Rule {
    std::string op;
    std::string match;
    unsigned nth = 0;
    bool onward = false;
    int error = 0;  // 0: KILL
    unsigned seen = 0;
};

struct Rules {
    std::mutex lock;
    std::vector<Rule> list;
    std::string logPath;
};

int ErrnoOf(const std::string& name) {
    static const struct {
        const char* name;
        int value;
    } kNames[] = {{"EIO", EIO},     {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"ENAMETOOLONG", ENAMETOOLONG},
                  {"EROFS", EROFS}, {"EXDEV", EXDEV},   {"EACCES", EACCES}, {"EPERM", EPERM},
                  {"EFBIG", EFBIG}, {"EBUSY", EBUSY}};
    for (const auto& n : kNames)
        if (name == n.name) return n.value;
    return EIO;
}

Rules& TheRules() {
    static Rules* rules = [] {
        Rules* r = new Rules;
        const char* spec = getenv("KES_IOFAULT");
        const char* log = getenv("KES_IOFAULT_LOG");
        if (log) r->logPath = log;
        std::string s = spec ? spec : "";
        size_t start = 0;
        while (start < s.size()) {
            size_t end = s.find(';', start);
            if (end == std::string::npos) end = s.size();
            std::string item = s.substr(start, end - start);
            start = end + 1;
            std::vector<std::string> f;
            size_t p = 0;
            for (int i = 0; i < 3; ++i) {
                size_t c = item.find(':', p);
                if (c == std::string::npos) break;
                f.push_back(item.substr(p, c - p));
                p = c + 1;
            }
            if (f.size() != 3) continue;
            f.push_back(item.substr(p));
            Rule rule;
            rule.op = f[0];
            rule.match = f[1];
            rule.onward = !f[2].empty() && f[2].back() == '+';
            rule.nth = static_cast<unsigned>(strtoul(f[2].c_str(), nullptr, 10));
            rule.error = f[3] == "KILL" ? 0 : ErrnoOf(f[3]);
            r->list.push_back(rule);
        }
        return r;
    }();
    return *rules;
}

std::string PathOfFd(int fd) {
    char link[64];
    char target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) return std::string();
    return std::string(target, static_cast<size_t>(n));
}

// Set while the shim itself works (its log's own calls must not come back into it).
thread_local bool t_inShim = false;

bool Wanted(const char* op) {
    if (t_inShim) return false;
    Rules& r = TheRules();
    for (const Rule& rule : r.list)
        if (rule.op == op) return true;
    return false;
}

// 0: make the call; else the errno it fails with. Kills the process for a KILL rule.
int Decide(const char* op, const std::string& a, const std::string& b = std::string()) {
    Rules& r = TheRules();
    std::lock_guard<std::mutex> hold(r.lock);
    struct Inside {
        Inside() { t_inShim = true; }
        ~Inside() { t_inShim = false; }
    } inside;
    int result = 0;
    bool logged = false;
    for (Rule& rule : r.list) {
        if (rule.op != op) continue;
        if (!rule.match.empty() && a.find(rule.match) == std::string::npos &&
            (b.empty() || b.find(rule.match) == std::string::npos))
            continue;
        if (!logged && !r.logPath.empty()) {
            FILE* f = fopen(r.logPath.c_str(), "a");
            if (f) {
                fprintf(f, "%s %s%s%s\n", op, a.c_str(), b.empty() ? "" : " ", b.c_str());
                fclose(f);
            }
            logged = true;
        }
        ++rule.seen;
        const bool acts = rule.nth != 0 && (rule.seen == rule.nth || (rule.onward && rule.seen > rule.nth));
        if (!acts) continue;
        if (rule.error == 0) {
            kill(getpid(), SIGKILL);
            for (;;) pause();
        }
        if (!result) result = rule.error;
    }
    return result;
}

template <typename F>
F Real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int fsync(int fd) {
    static const auto real = Real<int (*)(int)>("fsync");
    if (Wanted("fsync")) {
        if (int e = Decide("fsync", PathOfFd(fd))) {
            errno = e;
            return -1;
        }
    }
    return real(fd);
}

int fdatasync(int fd) {
    static const auto real = Real<int (*)(int)>("fdatasync");
    if (Wanted("fdatasync")) {
        if (int e = Decide("fdatasync", PathOfFd(fd))) {
            errno = e;
            return -1;
        }
    }
    return real(fd);
}

ssize_t write(int fd, const void* buf, size_t n) {
    static const auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
    if (Wanted("write") && fd > 2) {
        if (int e = Decide("write", PathOfFd(fd))) {
            errno = e;
            return -1;
        }
    }
    return real(fd, buf, n);
}

int close(int fd) {
    static const auto real = Real<int (*)(int)>("close");
    if (Wanted("close") && fd > 2) {
        const std::string path = PathOfFd(fd);
        if (int e = Decide("close", path)) {
            real(fd);  // the descriptor is gone either way, as close(2) says
            errno = e;
            return -1;
        }
    }
    return real(fd);
}

int rename(const char* from, const char* to) {
    static const auto real = Real<int (*)(const char*, const char*)>("rename");
    if (Wanted("rename")) {
        if (int e = Decide("rename", from, to)) {
            errno = e;
            return -1;
        }
    }
    return real(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    static const auto real = Real<int (*)(int, const char*, int, const char*)>("renameat");
    if (Wanted("rename")) {
        if (int e = Decide("rename", from, to)) {
            errno = e;
            return -1;
        }
    }
    return real(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    static const auto real = Real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    if (Wanted("rename")) {
        if (int e = Decide("rename", from, to)) {
            errno = e;
            return -1;
        }
    }
    return real(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
    static const auto real = Real<int (*)(const char*)>("unlink");
    if (Wanted("unlink")) {
        if (int e = Decide("unlink", path)) {
            errno = e;
            return -1;
        }
    }
    return real(path);
}

}  // extern "C"
