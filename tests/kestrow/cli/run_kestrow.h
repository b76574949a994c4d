#pragma once
// Runs the kestrow program with arguments and collects what it prints.
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace kestrow::cli::testing {

struct RunResult {
    int status = -1;
    std::string output;  // stdout and stderr together
};

// `arguments` are given to the shell as they stand (quote paths).
inline RunResult RunKestrow(const std::string& arguments) {
    const std::string command = std::string("'") + KESTROW_EXE + "' " + arguments + " 2>&1";
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace kestrow::cli::testing
