#pragma once
// Runs the kestrow program as the operator would, with its output and exit
// status, optionally as the unprivileged user "nobody" (the station's user on
// a fresh install, who is in no group yet).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace kestrow::cli::testing {

struct RunResult {
    int status = -1;
    std::string output;  // stdout and stderr together
};

// `arguments` are shell words after the program's name.
inline RunResult RunKestrow(const std::string& arguments, const std::string& asUser = "") {
    std::string command = asUser + "'" + KESTROW_EXE + "' " + arguments + " 2>&1";
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The prefix that runs a command as nobody, or "" (with the reason in `why`)
// where that cannot be done: dropping privileges needs root and setpriv.
inline std::string AsNobody(std::string& why) {
    if (::geteuid() != 0) {
        why = "not running as root, so there is no user to drop to";
        return "";
    }
    if (!std::filesystem::exists("/usr/bin/setpriv")) {
        why = "setpriv (util-linux) is not installed";
        return "";
    }
    return "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
}

}  // namespace kestrow::cli::testing
