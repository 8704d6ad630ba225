// Log, run in copies of this binary so that each case has its own folder,
// log file and console.
#include "support/Log.h"
#include "platform/win32/win32.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

using kestest::TempDir;

extern std::string g_supportSelf;

namespace {

const uint64_t kLimit = 0x20000000;

std::string today() {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char buf[16];
    strftime(buf, sizeof buf, "%Y%m%d", &tm);
    return buf;
}

// The log of a program at dir/name, whichever day it ran on (the run may cross midnight).
std::string logOf(const TempDir& dir, const std::string& stem, const std::string& dayBefore) {
    std::string path = dir / ("Log/" + stem + "-" + today() + ".log");
    if (access(path.c_str(), F_OK) != 0) path = dir / ("Log/" + stem + "-" + dayBefore + ".log");
    return path;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    if (start < text.size()) out.push_back(text.substr(start) + "<no line end>");
    return out;
}

// Drops the "[HHMMSS]  " prefix after checking it.
std::vector<std::string> messages(const std::string& text) {
    static const std::regex prefix(R"(^\[([01][0-9]|2[0-3])[0-5][0-9][0-5][0-9]\]  )");
    std::vector<std::string> out;
    for (const std::string& l : lines(text)) {
        EXPECT_TRUE(std::regex_search(l, prefix)) << "bad line: " << l;
        out.push_back(l.size() >= 10 ? l.substr(10) : l);
    }
    return out;
}

const std::vector<std::string> kLevelsExpected = {
    "before-fatal",  // only Fatal passes before the level is set
    "info-fatal",
    "info-error",
    "info-warn",
    "info-info",                 // Info: no Trace, no Debug
    "progress 100% done %s %d",  // a '%' in an argument stands for itself
    "debug-fatal",
    "debug-error",
    "debug-warn",
    "debug-info",
    "debug-trace",
    "debug-debug",
};

TEST(SupportLog, LevelsFormatAndFileMatchTheRedirectedConsole) {
    TempDir dir;
    std::string day = today();
    std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), "kestrune");
    kestest::RunResult r = kestest::run({exe, "--child", "log-levels"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\033'), std::string::npos) << "colour codes in redirected output";
    EXPECT_EQ(messages(r.out), kLevelsExpected);
    EXPECT_EQ(kestest::readFile(logOf(dir, "kestrune", day)), r.out);
}

TEST(SupportLog, ColoursOnATerminal) {
    TempDir dir;
    std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), "kestrune");
    kestest::RunResult r = kestest::runOnTerminal({exe, "--child", "log-levels"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Each line starts in its level's colour and the colour is reset after it:
    // the reset of one line stands before the next line's colour.
    const std::string reset = "\033[0m";
    ASSERT_GT(r.out.size(), reset.size());
    EXPECT_EQ(r.out.substr(r.out.size() - reset.size()), reset);
    std::vector<std::string> ls = lines(r.out.substr(0, r.out.size() - reset.size()));
    ASSERT_EQ(ls.size(), kLevelsExpected.size()) << r.out;
    struct Case {
        size_t line;
        std::string colour;
    };
    const Case cases[] = {
        {1, "\033[0;31;40m"},   // Fatal: red
        {2, "\033[0;91;40m"},   // Error: bright red
        {3, "\033[0;93;40m"},   // Warn: yellow
        {4, reset},             // Info: the console's own colours
        {10, "\033[0;92;40m"},  // Trace: bright green
        {11, "\033[0;97;40m"},  // Debug: bright white
    };
    for (const Case& c : cases) {
        std::string l = ls[c.line];
        if (c.line > 0) {
            ASSERT_EQ(l.compare(0, reset.size(), reset), 0) << c.line << ": " << l;
            l = l.substr(reset.size());
        }
        EXPECT_EQ(l.compare(0, c.colour.size(), c.colour), 0) << c.line << ": " << l;
        EXPECT_NE(l.find("]  " + kLevelsExpected[c.line]), std::string::npos) << l;
    }
    // The file never holds colour codes.
    EXPECT_EQ(kestest::readFile(logOf(dir, "kestrune", today())).find('\033'), std::string::npos);
}

TEST(SupportLog, FileNameFromTheExecutableAndTheDate) {
    struct Case {
        const char* exe;
        const char* stem;
    };
    const Case cases[] = {{"kestrune", "kestrune"}, {"Kestrune.exe", "Kestrune"}, {"kes.t.bin", "kes.t"}};
    for (const Case& c : cases) {
        TempDir dir;
        std::string day = today();
        std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), c.exe);
        kestest::RunResult r = kestest::run({exe, "--child", "log-levels"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string path = logOf(dir, c.stem, day);
        EXPECT_EQ(kestest::readFile(path), r.out) << path;
        size_t files = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir / "Log")) files += e.is_regular_file();
        EXPECT_EQ(files, 1u) << c.exe;
    }
}

TEST(SupportLog, DateAndTimeFieldsHaveTwoDigits) {
    const char* faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    ASSERT_EQ(access(faketime, R_OK), 0) << "libfaketime is missing: run scripts/setup.sh";
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    struct Case {
        const char* when;
        const char* file;
        const char* prefix;
    };
    const Case cases[] = {
        {"@2026-03-01 09:05:07", "Log/Kestrune-20260301.log", "[0905"},
        {"@2026-12-08 23:59:30", "Log/Kestrune-20261208.log", "[2359"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), "Kestrune.exe");
        kestest::RunResult r =
            kestest::run({exe, "--child", "log-levels"},
                         {{"LD_PRELOAD", faketime},
                          {"FAKETIME", c.when},
                          {"FAKETIME_DONT_FAKE_MONOTONIC", "1"},
                          {"TZ", "UTC"},
                          // the preloaded clock stands before the sanitizer runtime
                          {"ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0"}});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string log = kestest::readFile(dir / c.file);
        EXPECT_EQ(log, r.out) << c.file;
        EXPECT_EQ(log.compare(0, strlen(c.prefix), c.prefix), 0) << log.substr(0, 20);
    }
}

TEST(SupportLog, LongMessagesStayOneLine) {
    TempDir dir;
    std::string day = today();
    std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), "kestrune");
    kestest::RunResult r = kestest::run({exe, "--child", "log-long"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> ls = lines(kestest::readFile(logOf(dir, "kestrune", day)));
    ASSERT_EQ(ls.size(), 3u);
    EXPECT_EQ(ls[0].size(), 8190u);  // 8180 characters: the whole message, then the line end
    EXPECT_EQ(ls[0].substr(10), std::string(8180, 'x'));
    EXPECT_EQ(ls[1].size(), 8190u);  // longer: cut, but still one line
    EXPECT_EQ(ls[1].substr(10), std::string(8180, 'y'));
    EXPECT_EQ(ls[2].substr(10), "next");
}

TEST(SupportLog, ReopensOnlyPastTheSizeLimit) {
    TempDir dir;
    std::string day = today();
    std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), "kestrune");
    kestest::RunResult r = kestest::run({exe, "--child", "log-reopen"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // Size + message == limit: no reopen, the line went to the file that was open (since moved).
    std::string moved = dir / "moved.log";
    struct stat st;
    ASSERT_EQ(stat(moved.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), kLimit - 5 + 16);
    int fd = open(moved.c_str(), O_RDONLY);
    char tail[16];
    ASSERT_EQ(pread(fd, tail, sizeof tail, st.st_size - 16), 16);
    close(fd);
    EXPECT_EQ(std::string(tail + 8, 8), "  abcde\n");
    // One byte more: the filtered Debug message made the file of today open anew.
    EXPECT_EQ(messages(kestest::readFile(logOf(dir, "kestrune", day))), (std::vector<std::string>{"after"}));
}

// Today's file already past the limit: one open in its place, which is the same file, and then
// the lines go on into it as below the limit, with no open per line.
TEST(SupportLog, AFilePastTheLimitOpensOnceAndKeepsGoing) {
    TempDir dir;
    std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), "kestrune");
    kestest::RunResult r = kestest::run({exe, "--child", "log-past-limit"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The child moved the file after the first line: the later lines followed the open file.
    std::string moved = dir / "moved.log";
    struct stat st;
    ASSERT_EQ(stat(moved.c_str(), &st), 0);
    const std::string tail = "  first\n" + std::string(8, '.') + "  second\n" + std::string(8, '.') + "  third\n";
    ASSERT_EQ(static_cast<uint64_t>(st.st_size), kLimit + 100 + 8 + tail.size());
    std::string got(8 + tail.size(), '\0');
    int fd = open(moved.c_str(), O_RDONLY);
    ASSERT_EQ(pread(fd, &got[0], got.size(), kLimit + 100), static_cast<ssize_t>(got.size()));
    close(fd);
    EXPECT_EQ(messages(got), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_FALSE(std::filesystem::exists(dir / "Log")) << "a line opened the file again";
}

TEST(SupportLog, AReplacedExecutableKeepsItsLogName) {
    TempDir dir;
    std::string day = today();
    std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), "kestrune");
    kestest::RunResult r = kestest::run({exe, "--child", "log-reopen-replaced"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The reopen past the limit derives the name again: still the executable's own.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir / "Log")) names.push_back(e.path().filename());
    EXPECT_EQ(names, (std::vector<std::string>{"kestrune-" + day + ".log"}));
    EXPECT_EQ(messages(kestest::readFile(logOf(dir, "kestrune", day))), (std::vector<std::string>{"after"}));
}

TEST(SupportLog, ThreadsLinesNeverInterleaveAndExitProcessKeepsThem) {
    TempDir dir;
    std::string day = today();
    std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), "kestrune");
    kestest::RunResult r = kestest::run({exe, "--child", "log-threads"});
    EXPECT_EQ(r.status, 246);  // ExitProcess(-10) from a thread
    std::string file = kestest::readFile(logOf(dir, "kestrune", day));
    EXPECT_EQ(file, r.out);
    std::vector<std::string> ms = messages(file);
    ASSERT_EQ(ms.size(), 4u * 300 + 1);
    static const std::regex body(R"(^thread [0-3] line [0-9]+ \.+$)");
    for (size_t i = 0; i + 1 < ms.size(); ++i) EXPECT_TRUE(std::regex_match(ms[i], body)) << ms[i];
    EXPECT_EQ(ms.back(), "last words");
}

TEST(SupportLog, AKilledProcessLeavesEveryLineItLogged) {
    TempDir dir;
    std::string day = today();
    std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), "kestrune");
    kestest::RunResult r = kestest::run({exe, "--child", "log-killed"});
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_EQ(messages(r.out), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(kestest::readFile(logOf(dir, "kestrune", day)), r.out);
}

TEST(SupportLog, UnopenableLogFails) {
    TempDir dir;
    kestest::writeFile(dir / "Log", "a file where the folder should be");
    std::string exe = kestest::placeProgram(g_supportSelf, dir.path(), "kestrune");
    kestest::RunResult r = kestest::run({exe, "--child", "log-fail"});
    EXPECT_EQ(r.status, 0) << r.err;
    // The failure is reported only once the level lets Error lines through.
    EXPECT_EQ(messages(r.out), (std::vector<std::string>{
                                   "init=0", "Failed to initialize the system log. Error Number:20", "console only"}));
}

}  // namespace

// ---------------------------------------------------------------- child side

namespace {

DWORD logLines(LPVOID p) {
    int id = static_cast<int>(reinterpret_cast<uintptr_t>(p));
    std::string dots(static_cast<size_t>(50 + id * 40), '.');
    for (int i = 0; i < 300; ++i) Log::WInfo("thread %d line %d %s", id, i, dots.c_str());
    return 0;
}

// Makes today's log file in dir/Log with the given size, sparse so that it costs nothing; its
// path, or empty when it cannot be made.
std::string todaysLogOfSize(const std::string& dir, uint64_t size) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    char name[64];
    snprintf(name, sizeof name, "/Log/kestrune-%d%02d%02d.log", st.wYear, st.wMonth, st.wDay);
    mkdir((dir + "/Log").c_str(), 0777);
    std::string path = dir + name;
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    bool sized = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (fd >= 0) close(fd);
    return sized ? path : std::string();
}

DWORD lastWords(LPVOID) {
    Log::WInfo("last words");
    ExitProcess(static_cast<UINT>(-10));
}

}  // namespace

int supportLogChild(const std::string& mode) {
    if (mode == "log-levels") {
        if (!Log::Initialize(nullptr)) return 3;
        Log::WError("before-error");
        Log::WFatal("before-fatal");
        Log::SetLogLevel(Log::LOG_INFO);
        Log::WFatal("info-fatal");
        Log::WError("info-error");
        Log::WWarn("info-warn");
        Log::WInfo("info-info");
        Log::WTrace("info-trace");
        Log::WDebug("info-debug");
        Log::WInfo("progress %s", "100% done %s %d");
        Log::SetLogLevel(Log::LOG_DEBUG);
        Log::WFatal("debug-fatal");
        Log::WError("debug-error");
        Log::WWarn("debug-warn");
        Log::WInfo("debug-info");
        Log::WTrace("debug-trace");
        Log::WDebug("debug-debug");
        Log::Close();
        return 0;
    }
    if (mode == "log-long") {
        if (!Log::Initialize(nullptr)) return 3;
        Log::SetLogLevel(Log::LOG_INFO);
        Log::WInfo("%s", std::string(8180, 'x').c_str());
        Log::WInfo("%s", std::string(9000, 'y').c_str());
        Log::WInfo("next");
        Log::Close();
        return 0;
    }
    if (mode == "log-reopen" || mode == "log-reopen-replaced") {
        char exe[4096];
        GetModuleFileNameA(nullptr, exe, sizeof exe);
        std::string dir(exe, static_cast<size_t>(strrchr(exe, '/') - exe));
        std::string path = todaysLogOfSize(dir, kLimit - 5);
        if (path.empty()) return 4;
        if (!Log::Initialize(nullptr)) return 3;
        Log::SetLogLevel(Log::LOG_INFO);
        if (rename(path.c_str(), (dir + "/moved.log").c_str()) != 0) return 5;
        if (mode == "log-reopen-replaced") {  // a new build put in place while this one runs
            if (unlink(exe) != 0) return 6;
            kestest::writeFile(exe, "the next build");
        }
        Log::WInfo("abcde");  // size + 5 == limit
        Log::WDebug("z");     // filtered out, yet past the limit: reopens
        Log::WInfo("after");
        Log::Close();
        return 0;
    }
    if (mode == "log-past-limit") {
        char exe[4096];
        GetModuleFileNameA(nullptr, exe, sizeof exe);
        std::string dir(exe, static_cast<size_t>(strrchr(exe, '/') - exe));
        std::string path = todaysLogOfSize(dir, kLimit + 100);
        if (path.empty()) return 4;
        if (!Log::Initialize(nullptr)) return 3;
        Log::SetLogLevel(Log::LOG_INFO);
        Log::WInfo("first");  // past the limit: opens today's file, the same one, again
        if (rename(path.c_str(), (dir + "/moved.log").c_str()) != 0 || rmdir((dir + "/Log").c_str()) != 0) return 5;
        Log::WInfo("second");
        Log::WInfo("third");
        Log::Close();
        return 0;
    }
    if (mode == "log-threads") {
        if (!Log::Initialize(nullptr)) return 3;
        Log::SetLogLevel(Log::LOG_INFO);
        HANDLE ts[4];
        for (int i = 0; i < 4; ++i)
            ts[i] = CreateThread(nullptr, 0, logLines, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(i)), 0, nullptr);
        WaitForMultipleObjects(4, ts, TRUE, INFINITE);
        HANDLE last = CreateThread(nullptr, 0, lastWords, nullptr, 0, nullptr);
        WaitForSingleObject(last, INFINITE);
        Sleep(INFINITE);
    }
    if (mode == "log-killed") {
        if (!Log::Initialize(nullptr)) return 3;
        Log::SetLogLevel(Log::LOG_INFO);
        Log::WInfo("first");
        Log::WWarn("second");
        raise(SIGKILL);  // no exit processing flushes anything
    }
    if (mode == "log-fail") {
        bool ok = Log::Initialize(nullptr);
        Log::SetLogLevel(Log::LOG_INFO);
        Log::WInfo("init=%d", ok ? 1 : 0);
        Log::Initialize(nullptr);  // now the failure shows
        Log::WInfo("console only");
        return 0;
    }
    return 2;
}
