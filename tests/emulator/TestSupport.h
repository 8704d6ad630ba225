// Shared helpers of the emulator tests: the queries kestrune sends, files and a child-process runner.
#pragma once

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace emutest {

// The statements kestrune sends for the server's version, a database's MOVE list and its resolution.
inline const char* const kVersionQuery =
    "DECLARE @s1 VARCHAR(32) SET @s1 = CAST(SERVERPROPERTY('ProductVersion') AS VARCHAR(32)) SELECT "
    "CAST(ISNULL(PARSENAME(@s1,4),PARSENAME(@s1,3)) AS INT)*100+CAST(CASE WHEN PARSENAME(@s1,4) IS NULL THEN "
    "PARSENAME(@s1,2) ELSE PARSENAME(@s1,3) END AS INT) Ver";

inline std::string moveQuery(const std::string& db) {
    return "DECLARE @db NVARCHAR(256), @mv NVARCHAR(4000) SELECT @db='" + db +
           "', @mv='' SELECT @mv = @mv +', MOVE '''''+RTRIM(name) +''''' TO ''''' +CASE WHEN groupid!=0 THEN "
           "'%DATA%' ELSE '%LOG%' END +RTRIM(RIGHT(filename, CHARINDEX(CASE WHEN SUBSTRING(filename, 2, 1)=':' "
           "THEN '\\' ELSE '/'END, REVERSE(filename))-1))+'''''' FROM " +
           db + "..sysfiles ORDER BY fileid SELECT @mv AS SQLT;";
}

inline std::string resolutionQuery(const std::string& list) {
    return "SELECT REPLACE(REPLACE('" + list +
           "', '%DATA%', REPLACE(CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS NVARCHAR(256)), '', '/')), "
           "'%LOG%', REPLACE(CAST(SERVERPROPERTY('InstanceDefaultLogPath') AS NVARCHAR(256)), '', '/')); ";
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs argv[0] (a path) with the current environment plus `env` (overriding), optional stdin text.
inline RunResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                            const std::string& input = {}) {
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        std::string k = kv.substr(0, kv.find('='));
        if (!env.count(k)) envs.push_back(kv);
    }
    for (auto& [k, v] : env) envs.push_back(k + "=" + v);
    std::vector<char*> av, ev;
    for (auto& s : argv) av.push_back(const_cast<char*>(s.c_str()));
    av.push_back(nullptr);
    for (auto& s : envs) ev.push_back(const_cast<char*>(s.c_str()));
    ev.push_back(nullptr);

    kestest::TempDir dir;
    std::string inPath = dir / "in", outPath = dir / "out", errPath = dir / "err";
    writeFile(inPath, input);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, inPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    RunResult r;
    if (posix_spawn(&pid, av[0], &fa, nullptr, av.data(), ev.data()) == 0) {
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

}  // namespace emutest
