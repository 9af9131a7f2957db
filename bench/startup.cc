// Times a server's start-up: from the fork that execs it to its banner on
// standard output ("banner"), or to the first connection its listening
// socket accepts ("connect"), for servers that print no banner. Each run
// starts the server in a process group of its own and ends the group with
// SIGTERM, so nothing outlives the run. Prints one time in microseconds
// per run on one line.

#include <arpa/inet.h>
#include <err.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

constexpr long long STARTUP_DEADLINE_US = 5000000;
constexpr long long STOP_DEADLINE_US = 3000000;
constexpr int STARTUP_RUNS_MAX = 1000;
constexpr int BANNER_BUFFER_SIZE = 512;
constexpr int stop_signal[] = {SIGINT, SIGTERM, SIGHUP};

static long long
now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

// The server of the run in progress: a signal that ends this program
// ends that server's process group too, so that nothing outlives us.
static volatile sig_atomic_t running_pid = 0;

static void
stop_running(int sig)
{
    if (running_pid > 0)
        kill(-running_pid, SIGKILL);
    _exit(128 + sig);
}

// 0 once a line has arrived on fd, 1 when the deadline passed or the
// server closed its output first.
[[nodiscard]] static int
wait_banner(int fd, long long deadline)
{
    char buf[BANNER_BUFFER_SIZE];
    for (;;) {
        long long left = deadline - now_us();
        if (left <= 0)
            return 1;
        struct pollfd p = {fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left / 1000) + 1);
        if (n <= 0)
            continue;
        ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0)
            return 1;
        if (memchr(buf, '\n', got) != nullptr)
            return 0;
    }
}

// 0 once a connection to 127.0.0.1:port succeeds, 1 at the deadline.
[[nodiscard]] static int
wait_connect(int port, long long deadline)
{
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    while (now_us() < deadline) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s == -1)
            err(1, "socket");
        int r = connect(s, reinterpret_cast<struct sockaddr *>(&sin),
                        sizeof sin);
        close(s);
        if (r == 0)
            return 0;
        struct timespec pause = {0, 50000};
        nanosleep(&pause, nullptr);
    }
    return 1;
}

// 0 once nothing listens on 127.0.0.1:port any more.
[[nodiscard]] static int
port_in_use(int port)
{
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s == -1)
        err(1, "socket");
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int r = bind(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin);
    close(s);
    return r == -1;
}

// Ends the server's process group and waits until every process of it is
// gone and its port is free, so that a run never meets the previous one's
// listener or shares the processor with its exit; SIGKILL if it is still
// there at the deadline.
static void
stop(pid_t pid, int port)
{
    kill(-pid, SIGTERM);
    long long deadline = now_us() + STOP_DEADLINE_US;
    bool reaped = false;
    while (now_us() < deadline) {
        if (!reaped && waitpid(pid, nullptr, WNOHANG) == pid)
            reaped = true;
        if (reaped && kill(-pid, 0) == -1 && !port_in_use(port))
            return;
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    kill(-pid, SIGKILL);
    if (!reaped)
        waitpid(pid, nullptr, 0);
}

int
main(int argc, char *argv[])
{
    if (argc < 5 ||
        (strcmp(argv[1], "banner") != 0 && strcmp(argv[1], "connect") != 0))
        errx(1, "usage: startup banner|connect runs port command [arg ...]");
    bool banner = strcmp(argv[1], "banner") == 0;
    int runs = atoi(argv[2]);
    int port = atoi(argv[3]);
    if (runs < 1 || runs > STARTUP_RUNS_MAX || port <= 0 || port > 65535)
        errx(1, "bad runs or port");

    struct sigaction sa = {};
    sa.sa_handler = stop_running;
    sigemptyset(&sa.sa_mask);
    for (int sig : stop_signal)
        sigaction(sig, &sa, nullptr);

    for (int i = 0; i < runs; i++) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) == -1)
            err(1, "pipe");
        long long start = now_us();
        pid_t pid = fork();
        if (pid == -1)
            err(1, "fork");
        if (pid == 0) {
            setpgid(0, 0);
            dup2(p[1], STDOUT_FILENO);
            execvp(argv[4], argv + 4);
            _exit(127);
        }
        setpgid(pid, pid);
        running_pid = pid;
        close(p[1]);
        long long deadline = start + STARTUP_DEADLINE_US;
        int failed = banner ? wait_banner(p[0], deadline)
                            : wait_connect(port, deadline);
        long long took = now_us() - start;
        stop(pid, port);
        running_pid = 0;
        close(p[0]);
        if (failed)
            errx(1, "%s did not start within %lld us", argv[4],
                 STARTUP_DEADLINE_US);
        printf("%s%lld", i == 0 ? "" : " ", took);
    }
    printf("\n");
    return 0;
}
