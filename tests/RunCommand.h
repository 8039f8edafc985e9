// Runs a shell command for a test and collects what it prints on both
// standard output and standard error.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

// The command's exit status, or -1 when it could not run or did not exit.
inline int RunCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
