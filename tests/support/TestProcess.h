// Test helpers: private temp folders, copies of a test binary, and child runs
// with their output and exit status.
#pragma once

#include "tests/support/TempDir.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestest {

inline std::string selfExe() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n < 0) throw std::runtime_error("readlink failed");
    return std::string(buf, static_cast<size_t>(n));
}

// Places the program at dir/name (a hard link when possible, else a copy).
inline std::string placeProgram(const std::string& program, const std::string& dir, const std::string& name) {
    std::string dest = dir + "/" + name;
    if (link(program.c_str(), dest.c_str()) != 0) {
        std::filesystem::copy_file(program, dest, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(dest, std::filesystem::perms::owner_all);
    }
    return dest;
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments, and the environment with the "NAME=value"
// entries of env added; collects standard output and error.
inline RunResult run(const std::vector<std::string>& argv, const std::string& cwd = std::string(),
                     const std::vector<std::string>& env = {}) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const std::string& e : env) {
            size_t eq = e.find('=');
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    RunResult r;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            ssize_t n = read(fds[k].fd, buf, sizeof buf);
            if (n > 0) {
                (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            }
        }
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

inline std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the command with a pseudo-terminal as its standard output (through
// script(1)); the terminal's "\r\n" line ends come back as "\n".
inline RunResult runOnTerminal(const std::vector<std::string>& argv) {
    std::string cmd;
    for (const std::string& a : argv) cmd += (cmd.empty() ? "" : " ") + shellQuote(a);
    RunResult r = run({"/usr/bin/script", "-qefc", cmd, "/dev/null"});
    std::string clean;
    for (size_t i = 0; i < r.out.size(); ++i)
        if (!(r.out[i] == '\r' && i + 1 < r.out.size() && r.out[i + 1] == '\n')) clean += r.out[i];
    r.out = clean;
    return r;
}

}  // namespace kestest
