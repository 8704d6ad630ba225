// Child processes for the C++ tests: copies of a test binary, runs with their output and exit
// status, shell commands.
#pragma once

#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

#include <map>
#include <string>
#include <vector>

namespace kestest {

// The running test binary's own path.
std::string selfExe();

// Places the program at dir/name (a hard link when possible, else a copy); returns that path.
std::string placeProgram(const std::string& program, const std::string& dir, const std::string& name);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Variables added to the test's own environment for a child, each replacing one of the same name.
using Env = std::map<std::string, std::string>;

// Runs argv[0] (a path) with the arguments and the environment plus `env`; `input` is its standard
// input (/dev/null when empty). Collects standard output and error.
RunResult run(const std::vector<std::string>& argv, const Env& env = {}, const std::string& input = {});

// Runs the command line through /bin/sh.
RunResult shell(const std::string& command);

// Single-quotes text for the shell.
std::string shellQuote(const std::string& s);

// Runs the command with a pseudo-terminal as its standard output (through script(1)); the
// terminal's "\r\n" line ends come back as "\n".
RunResult runOnTerminal(const std::vector<std::string>& argv);

}  // namespace kestest
