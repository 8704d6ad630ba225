#include "tests/support/TestProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace kestest {

std::string selfExe() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n < 0) throw std::runtime_error("readlink failed");
    return std::string(buf, static_cast<size_t>(n));
}

std::string placeProgram(const std::string& program, const std::string& dir, const std::string& name) {
    std::string dest = dir + "/" + name;
    if (link(program.c_str(), dest.c_str()) != 0) {
        std::filesystem::copy_file(program, dest, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(dest, std::filesystem::perms::owner_all);
    }
    return dest;
}

RunResult run(const std::vector<std::string>& argv, const Env& env, const std::string& input) {
    // Everything the child needs is made before the fork: after it, only calls that are safe in a
    // copy of a process with threads.
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        if (!env.count(kv.substr(0, kv.find('=')))) envs.push_back(kv);
    }
    for (const auto& [name, value] : env) envs.push_back(name + "=" + value);
    std::vector<char*> args, vars;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (std::string& e : envs) vars.push_back(e.data());
    vars.push_back(nullptr);

    // The input is a file in memory: the child reads it at its own pace, and no pipe can stop the test.
    int in = -1;
    if (!input.empty()) {
        in = memfd_create("input", MFD_CLOEXEC);
        if (in < 0 || write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
            lseek(in, 0, SEEK_SET) != 0)
            throw std::runtime_error("cannot hold the input");
    }
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (in < 0) in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        execve(args[0], args.data(), vars.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (in >= 0) close(in);

    RunResult r;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int openPipes = 2;
    while (openPipes > 0) {
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
                --openPipes;
            }
        }
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

RunResult shell(const std::string& command) { return run({"/bin/sh", "-c", command}); }

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

RunResult runOnTerminal(const std::vector<std::string>& argv) {
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
