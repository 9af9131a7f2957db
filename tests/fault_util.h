// Helpers of the fault, load and memory tests: the binary's command line
// for start_prepared, what a child does before it execs (another user, no
// leak check), process limits, and log lines counted by status.
#ifndef CORVANSEL_TESTS_FAULT_UTIL_H
#define CORVANSEL_TESTS_FAULT_UTIL_H

#include <grp.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/harness.h"

// The binary's own command line for dir, the port left to start_prepared.
inline std::vector<std::string>
server_command(const std::string &dir)
{
    return {CORVANSEL_BINARY, "-d", dir, "-l", "127.0.0.1", "0"};
}

// Gives up root for uid in a child about to exec; a failure ends it.
inline void
become_user(uid_t uid)
{
    if (setgroups(0, nullptr) == -1 || setgid(uid) == -1 || setuid(uid) == -1)
        _exit(126);
}

// Turns off the leak check that a sanitizer build runs as each process
// ends, in a child about to exec; a plain build ignores the variable. The
// check stops the process's threads through a helper thread of its own,
// which a process limit can refuse, and it costs a worker more than its
// whole exchange.
inline void
skip_leak_check()
{
    const char *old = getenv("ASAN_OPTIONS");
    std::string options = old != nullptr ? std::string(old) + ":" : "";
    options += "detect_leaks=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
}

// Sets the soft limit of resource in process pid to soft and stores the
// one it replaced in *old; returns false when either call failed.
inline bool
set_soft_limit(pid_t pid, __rlimit_resource resource, rlim_t soft,
               rlim_t *old = nullptr)
{
    struct rlimit limit;
    if (prlimit(pid, resource, nullptr, &limit) == -1)
        return false;
    if (old != nullptr)
        *old = limit.rlim_cur;
    limit.rlim_cur = soft;
    return prlimit(pid, resource, &limit, nullptr) == 0;
}

// The log lines of s whose status column is status.
inline size_t
count_status(const Server &s, const std::string &status)
{
    size_t n = 0;
    for (const std::string &line : s.log_lines()) {
        size_t a = line.find('\t');
        size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b != std::string::npos &&
            line.compare(b + 1, status.size() + 1, status + "\t") == 0)
            n++;
    }
    return n;
}

#endif
