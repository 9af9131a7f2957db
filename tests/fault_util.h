// Helpers of the fault, load and memory tests: starting the binary with
// its process prepared first (another user, other limits, or under
// another program), finding its server process, and socket odds and ends.
#ifndef CORVANSEL_TESTS_FAULT_UTIL_H
#define CORVANSEL_TESTS_FAULT_UTIL_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/harness.h"

// Starts argv (the program first) with its output on the pipes of s, after
// prepare has run in the child, and waits for the banner. argv must end
// with the port, which this fills in: a free one, tried a few times.
inline bool
start_prepared(Server &s, std::vector<std::string> argv,
               const std::function<void()> &prepare, int timeout_ms = 10000)
{
    for (int attempt = 0; attempt < 5; attempt++) {
        s.port = free_port();
        argv.back() = std::to_string(s.port);
        int out[2], errp[2];
        if (pipe2(out, O_CLOEXEC) == -1 || pipe2(errp, O_CLOEXEC) == -1)
            return false;
        s.pid = fork();
        if (s.pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(errp[1], STDERR_FILENO);
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, STDIN_FILENO);
            prepare();
            std::vector<char *> args;
            for (std::string &a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        close(errp[1]);
        s.out_fd = out[0];
        s.err_fd = errp[0];
        if (s.wait_lines(1, timeout_ms) && s.out.rfind("Listening on", 0) == 0)
            return true;
        s.stop(SIGKILL);
        s.close_pipes();
        s.status = -1;
        s.out.clear();
        s.err.clear();
    }
    return false;
}

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

// The supervisor's one child, the server process, or -1. The supervisor
// forks it before anything is printed, so after the banner it is there.
inline pid_t
server_process_of(pid_t supervisor)
{
    std::string path = "/proc/" + std::to_string(supervisor) + "/task/" +
                       std::to_string(supervisor) + "/children";
    FILE *fp = fopen(path.c_str(), "r");
    if (fp == nullptr)
        return -1;
    int child = -1, more = -1;
    int n = fscanf(fp, "%d %d", &child, &more);
    fclose(fp);
    return n == 1 ? child : -1;
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

// Reads what fd brings until it ends; returns true at end of stream, false
// after an error or timeout_ms without data.
inline bool
read_until_end(int fd, std::string &text, int timeout_ms = 10000)
{
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0)
            return false;
        text.append(buf, (size_t)n);
    }
}

// Connects to the loopback port with a small receive buffer, set before
// connect so that the window never grows: a client that stops reading
// then holds a large response back after a few kilobytes.
inline int
connect_small_window(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    int size = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool
send_all(int fd, const std::string &text)
{
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n =
            send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += (size_t)n;
    }
    return true;
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
