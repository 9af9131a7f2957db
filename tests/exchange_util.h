// Helpers of the black-box exchange, signal and client tests: responses cut
// into head and body, reading part of a response, large files and the
// process table.
#ifndef CORVANSEL_TESTS_EXCHANGE_UTIL_H
#define CORVANSEL_TESTS_EXCHANGE_UTIL_H

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

// The head of a response, up to and including its blank line.
inline std::string
head_of(const std::string &response)
{
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? response : response.substr(0, end + 4);
}

inline std::string
body_of(const std::string &response)
{
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

// The expected access log line, without its line end.
inline std::string
log_line(const std::string &bytes, const std::string &address,
         const std::string &status, const std::string &agent,
         const std::string &target)
{
    return bytes + "\t" + address + "\t" + status + "\t" + agent + "\t" +
           target;
}

// Reads from fd until at least n bytes arrived, the stream ended or
// timeout_ms passed without data.
inline std::string
read_at_least(int fd, size_t n, int timeout_ms = 10000)
{
    std::string text;
    while (text.size() < n) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        char buf[65536];
        ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0)
            break;
        text.append(buf, (size_t)got);
    }
    return text;
}

// A file of size bytes, all zero, that costs no disk: large enough that a
// client which stops reading keeps its transfer in progress.
inline bool
make_large_file(const std::string &path, off_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd == -1)
        return false;
    bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok;
}

// Larger than every buffer between the worker and a slow client.
constexpr off_t LARGE_FILE_SIZE = 16 << 20;

// One entry of the process table.
struct ProcessEntry {
    pid_t pid, ppid, pgrp;
    char state;
};

// Reads /proc/pid/stat; returns false when the process does not exist.
inline bool
read_process(pid_t pid, ProcessEntry *e)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE *fp = fopen(path, "r");
    if (fp == nullptr)
        return false;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, fp);
    fclose(fp);
    buf[n] = '\0';
    // The command name is in parentheses and may hold blanks; the fields
    // after its closing one are plain.
    const char *rest = strrchr(buf, ')');
    if (rest == nullptr)
        return false;
    int ppid, pgrp;
    char state;
    if (sscanf(rest + 1, " %c %d %d", &state, &ppid, &pgrp) != 3)
        return false;
    *e = {pid, (pid_t)ppid, (pid_t)pgrp, state};
    return true;
}

// Every live or unreaped process whose process group is pgrp.
inline std::vector<ProcessEntry>
group_processes(pid_t pgrp)
{
    std::vector<ProcessEntry> found;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return found;
    while (struct dirent *de = readdir(d)) {
        char *end;
        long pid = strtol(de->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        ProcessEntry e;
        if (read_process((pid_t)pid, &e) && e.pgrp == pgrp)
            found.push_back(e);
    }
    closedir(d);
    return found;
}

// The number of the system call pid is in now, as the kernel shows it;
// -1 when it runs in user space or is gone.
inline long
current_syscall(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/syscall", (int)pid);
    FILE *fp = fopen(path, "r");
    if (fp == nullptr)
        return -1;
    long number = -1;
    if (fscanf(fp, "%ld", &number) != 1)
        number = -1;
    fclose(fp);
    return number;
}

// True once pid has ended: gone from the table, or a zombie that nobody
// has reaped yet.
inline bool
process_ended(pid_t pid)
{
    ProcessEntry e;
    return !read_process(pid, &e) || e.state == 'Z' || e.state == 'X';
}

// How many processes of group pgrp have not ended.
inline size_t
live_members(pid_t pgrp)
{
    size_t n = 0;
    for (const ProcessEntry &e : group_processes(pgrp))
        n += e.state != 'Z' && e.state != 'X';
    return n;
}

// Waits at most timeout_ms until at most n processes of group pgrp have
// not ended; returns how many have not then.
inline size_t
wait_live_members(pid_t pgrp, size_t n, int timeout_ms = 10000)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        size_t live = live_members(pgrp);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed_ms = (now.tv_sec - start.tv_sec) * 1000 +
                          (now.tv_nsec - start.tv_nsec) / 1000000;
        if (live <= n || elapsed_ms >= timeout_ms)
            return live;
        usleep(10000);
    }
}

// Waits at most timeout_ms for every process of pids to end; returns the
// ones still running.
inline std::vector<pid_t>
wait_processes_ended(const std::vector<pid_t> &pids, int timeout_ms = 10000)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        std::vector<pid_t> alive;
        for (pid_t p : pids)
            if (!process_ended(p))
                alive.push_back(p);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed_ms = (now.tv_sec - start.tv_sec) * 1000 +
                          (now.tv_nsec - start.tv_nsec) / 1000000;
        if (alive.empty() || elapsed_ms >= timeout_ms)
            return alive;
        usleep(10000);
    }
}

#endif
