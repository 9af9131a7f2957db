// `make run DIR=...` in a terminal: it serves that directory, and Ctrl-C
// ends make and every server process, with GNU make and with BSD make. The
// supervisor leads a process group of its own, which the terminal's Ctrl-C
// does not reach; the Makefile's run target has to pass the signal on.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/harness.h"

// Whether program is an executable file in one of PATH's directories.
static bool
on_path(const std::string &program)
{
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end - start);
        if (access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}

// The group that a descendant of pid leads, other than pid's own: the
// supervisor's. -1 when there is none.
static pid_t
led_group_below(pid_t pid)
{
    std::vector<pid_t> todo = children_of(pid);
    while (!todo.empty()) {
        pid_t p = todo.back();
        todo.pop_back();
        ProcessEntry e;
        if (read_process(p, &e) && e.pgrp == p)
            return p;
        for (pid_t c : children_of(p))
            todo.push_back(c);
    }
    return -1;
}

// A make running `make run` on a pseudo-terminal of its own, as in a
// terminal window: make leads the terminal's foreground process group.
struct TerminalMake {
    int master = -1;
    pid_t pid = -1;
    int status = -1;
    pid_t server_group = -1; // the supervisor's group, once found
    std::string screen;      // everything written to the terminal

    TerminalMake() = default;
    TerminalMake(const TerminalMake &) = delete;
    TerminalMake &operator=(const TerminalMake &) = delete;
    // Kills whatever is left of both groups.
    ~TerminalMake()
    {
        if (server_group == -1 && pid > 0 && status == -1)
            server_group = led_group_below(pid);
        if (server_group > 0)
            kill(-server_group, SIGKILL);
        if (pid > 0 && status == -1) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        if (master != -1)
            close(master);
    }

    // Appends what the terminal shows within timeout_ms.
    void
    read_screen(int timeout_ms)
    {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return;
        char buf[4096];
        // EIO once no process holds the terminal open any more.
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0)
            screen.append(buf, (size_t)n);
        else
            usleep(timeout_ms * 1000);
    }

    // Forgets a make that has ended, for another attempt.
    void
    reset()
    {
        if (master != -1)
            close(master);
        master = pid = status = -1;
        screen.clear();
    }

    bool
    reaped()
    {
        if (status == -1 && waitpid(pid, &status, WNOHANG) != pid)
            return false;
        return true;
    }
};

// Starts make -C <source> run on a new terminal, serving dir on port with
// the binary under test and without the release build.
static bool
start_make(TerminalMake &t, const std::string &make, int port,
           const std::string &dir)
{
    t.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (t.master == -1 || grantpt(t.master) == -1 || unlockpt(t.master) == -1)
        return false;
    std::string terminal = ptsname(t.master);
    std::string port_arg = "PORT=" + std::to_string(port);
    std::string dir_arg = "DIR=" + dir;
    t.pid = fork();
    if (t.pid == -1)
        return false;
    if (t.pid == 0) {
        // A new session takes the terminal it opens first as its
        // controlling one, with this process's group in the foreground.
        setsid();
        int fd = open(terminal.c_str(), O_RDWR);
        if (fd == -1)
            _exit(127);
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (fd > STDERR_FILENO)
            close(fd);
        // Under make check, the inner make must not take the outer one's
        // flags (a GNU jobserver means nothing to BSD make).
        for (const char *name : {"MAKEFLAGS", "MFLAGS", "MAKELEVEL",
                                 "MAKEOVERRIDES", "GNUMAKEFLAGS"})
            unsetenv(name);
        execlp(make.c_str(), make.c_str(), "-C", CORVANSEL_SOURCE_DIR, "run",
               port_arg.c_str(), dir_arg.c_str(), "BINARY=" CORVANSEL_BINARY,
               "BUILD_FIRST=", (char *)nullptr);
        _exit(127);
    }
    std::string banner = " port " + std::to_string(port);
    long long deadline = now_ms() + 10000;
    while (now_ms() < deadline) {
        if (t.screen.find(banner) != std::string::npos)
            return true;
        if (t.reaped())
            return false;
        t.read_screen(50);
    }
    return false;
}

// make run DIR=... serves that directory, whose name may hold a space;
// Ctrl-C then ends make and every server process.
TEST(MakeRun, ServesDirAndCtrlCEndsMakeAndEveryServerProcess)
{
    std::string top = make_temp_dir();
    std::string dir = top + "/served dir";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    write_file(dir + "/marker", "served from DIR\n");
    for (std::string make : {"make", "bmake"}) {
        SCOPED_TRACE(make);
        if (!on_path(make)) {
            const char *ci = getenv("CI");
            if (ci != nullptr && strcmp(ci, "true") == 0)
                ADD_FAILURE() << make << " is missing (.ci/install-deps)";
            else
                fprintf(stderr, "%s not found: not tested\n", make.c_str());
            continue;
        }
        TerminalMake t;
        // A port found free can be taken before the server binds it.
        int port = 0;
        long long start_ms = 0;
        for (int attempt = 0; attempt < 5 && port == 0; attempt++) {
            int candidate = free_port();
            long long started = now_ms();
            if (start_make(t, make, candidate, dir))
                port = candidate, start_ms = now_ms() - started;
            else if (t.reaped())
                t.reset();
            else
                break;
        }
        ASSERT_NE(port, 0) << t.screen;
        std::string response = exchange(port, "GET /marker HTTP/1.0\r\n\r\n");
        EXPECT_EQ(response.compare(0, 15, "HTTP/1.1 200 OK"), 0) << response;
        EXPECT_EQ(body_of(response), "served from DIR\n");

        // A connection that sends nothing keeps its worker waiting.
        int client = connect_to(port);
        ASSERT_NE(client, -1);
        long long deadline = now_ms() + 10000;
        while (now_ms() < deadline &&
               (t.server_group = led_group_below(t.pid)) == -1)
            usleep(10000);
        ASSERT_NE(t.server_group, -1) << "no supervisor under make";
        while (now_ms() < deadline && live_members(t.server_group) < 3)
            usleep(10000);
        ASSERT_EQ(live_members(t.server_group), 3u)
            << "supervisor, server process and worker";

        ASSERT_EQ(write(t.master, "\x03", 1), 1);
        // A make that waits for a server nobody signalled never ends.
        // Ending is less work than the start that make, the shell and the
        // server just did, so one that takes twice as long as that start,
        // and ten seconds at the least, is taken for one that never ends.
        deadline = now_ms() + std::max(10000LL, 2 * start_ms);
        while (now_ms() < deadline &&
               !(t.reaped() && live_members(t.server_group) == 0))
            t.read_screen(10);
        EXPECT_TRUE(t.reaped()) << "make still runs:\n" << t.screen;
        EXPECT_EQ(live_members(t.server_group), 0u)
            << "server processes still run:\n"
            << t.screen;
        std::string rest;
        EXPECT_TRUE(read_to_end(client, rest, 1000))
            << "the connection is still open";
        close(client);
    }
    remove_tree(top);
}
