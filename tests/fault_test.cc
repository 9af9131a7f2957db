// The real binary under faults: clients that hold connections open or go
// away in the middle of a transfer, a fork that fails and a process out of
// descriptors. Each test prints its figure.
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/fault_util.h"
#include "tests/harness.h"

constexpr char SMALL_CONTENT[] = "small file content";

// A served directory that any user may read, with one small file.
class Faults : public ::testing::Test {
  protected:
    void
    SetUp() override
    {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        write_file(dir + "/small", SMALL_CONTENT);
        ASSERT_EQ(chmod((dir + "/small").c_str(), 0644), 0);
    }
    void
    TearDown() override
    {
        remove_tree(dir);
    }

    // A GET of the small file is answered in full.
    void
    expect_served(int port)
    {
        std::string response =
            exchange(port, "GET /small HTTP/1.0\r\nUser-Agent: check\r\n\r\n");
        size_t n = sizeof SMALL_CONTENT - 1;
        EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
        EXPECT_TRUE(response.size() >= n &&
                    response.compare(response.size() - n, n, SMALL_CONTENT) ==
                        0)
            << response;
    }

    std::string dir;
};

using SlowFaults = Faults;

// The worker's time-out for each receive, as the manual page gives it.
constexpr long long RECEIVE_TIMEOUT_MS = 30000;

// 200 clients that send nothing and 200 that send their request one byte
// a second hold 400 workers; a client that comes meanwhile is served, the
// trickled requests are answered when they are complete, and each idle
// client gets its 408 when its worker's 30 s receive time-out expires.
// Takes about 32 s, which is why it is in the slow group.
TEST_F(SlowFaults, IdleAndTricklingClientsLeaveOthersServed)
{
    constexpr int IDLE = 200, TRICKLING = 200;
    constexpr char REQUEST[] = "GET /small HTTP/1.0\r\n\r\n";
    constexpr size_t REQUEST_LENGTH = sizeof REQUEST - 1;
    Server s;
    ASSERT_TRUE(start_server_on(s, dir));

    struct Client {
        int fd;
        bool idle;
        bool ended = false;
        std::string response;
    };
    std::vector<Client> clients;
    long long connecting = now_ms();
    for (int i = 0; i < IDLE + TRICKLING; i++) {
        int fd = connect_to(s.port);
        ASSERT_NE(fd, -1) << "client " << i << ": " << strerror(errno);
        clients.push_back({fd, i < IDLE, false, ""});
    }
    long long start = now_ms();
    // Served while all 400 are open and none has sent a whole request.
    expect_served(s.port);

    // Connections are accepted in turn, so every worker of the 400 was
    // forked before the one that just answered, and each answers its
    // client within a receive time-out of its last byte. The loop goes on
    // while any client hears something within that time-out plus what
    // the set-up took on this machine just now (ten seconds at the
    // least), so that a busy machine stretches the wait and a server
    // that never answers the idle ones still ends it.
    long long setup_ms = now_ms() - connecting;
    long long patience_ms = RECEIVE_TIMEOUT_MS + std::max(10000LL, setup_ms);
    long long last_heard = now_ms();
    size_t trickled = 0;
    long long last_idle_answer = 0;
    size_t open = clients.size();
    while (open > 0 && now_ms() - last_heard < patience_ms) {
        if (trickled < REQUEST_LENGTH &&
            now_ms() - start >= (long long)trickled * 1000) {
            for (Client &c : clients)
                if (!c.idle && !c.ended)
                    send(c.fd, REQUEST + trickled, 1, MSG_NOSIGNAL);
            trickled++;
        }
        std::vector<struct pollfd> fds;
        std::vector<Client *> polled;
        for (Client &c : clients)
            if (!c.ended) {
                fds.push_back({c.fd, POLLIN, 0});
                polled.push_back(&c);
            }
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (fds[i].revents == 0)
                continue;
            Client &c = *polled[i];
            char buf[4096];
            ssize_t n = read(c.fd, buf, sizeof buf);
            last_heard = now_ms();
            if (n > 0) {
                c.response.append(buf, (size_t)n);
                continue;
            }
            c.ended = true;
            open--;
            close(c.fd);
            if (c.idle)
                last_idle_answer = now_ms();
        }
    }

    size_t timed_out = 0, served = 0;
    for (Client &c : clients) {
        if (!c.ended)
            close(c.fd);
        if (c.idle && c.ended &&
            c.response.rfind("HTTP/1.1 408 Request Time-out\r\n", 0) == 0)
            timed_out++;
        if (!c.idle && c.ended &&
            c.response.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
            c.response.find(SMALL_CONTENT) != std::string::npos)
            served++;
    }
    EXPECT_EQ(timed_out, (size_t)IDLE);
    EXPECT_EQ(served, (size_t)TRICKLING);
    // The normal client, then one line for each of the 400.
    ASSERT_TRUE(s.wait_lines(1 + 1 + IDLE + TRICKLING, 10000));
    EXPECT_EQ(count_status(s, "408"), (size_t)IDLE);
    EXPECT_EQ(count_status(s, "200"), (size_t)TRICKLING + 1);
    printf("idle: a client served while %d idle and %d trickling were open; "
           "%zu of %d idle got 408 (the last %.1f s after connecting); "
           "%zu of %d trickled requests served; %zu log lines\n",
           IDLE, TRICKLING, timed_out, IDLE,
           (last_idle_answer - start) / 1000.0, served, TRICKLING,
           s.log_lines().size());
}

// 100 clients ask for a large file, read a little of it and reset their
// connections: each worker's next write fails, and every one of them
// still writes its log line, with 408 and the bytes it had sent.
TEST_F(Faults, ClientsAbortingALargeGetAreAllLogged)
{
    constexpr int ABORTING = 100;
    // Far more than the socket buffers hold between a worker and a client
    // that stops reading; sparse, so it costs no disk.
    constexpr off_t LARGE_SIZE = 16 << 20;
    constexpr size_t READ_BEFORE_ABORT = 16384;
    std::string large = dir + "/large";
    FILE *fp = fopen(large.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(ftruncate(fileno(fp), LARGE_SIZE), 0);
    fclose(fp);
    Server s;
    ASSERT_TRUE(start_server_on(s, dir));

    std::vector<int> fds;
    for (int i = 0; i < ABORTING; i++) {
        int fd = connect_slow(s.port);
        ASSERT_NE(fd, -1) << strerror(errno);
        ASSERT_TRUE(
            send_all(fd, "GET /large HTTP/1.1\r\nUser-Agent: abort\r\n\r\n"));
        fds.push_back(fd);
    }
    for (int fd : fds) {
        size_t got = 0;
        while (got < READ_BEFORE_ABORT) {
            struct pollfd p = {fd, POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 10000), 1);
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            ASSERT_GT(n, 0);
            got += (size_t)n;
        }
    }
    // A zero linger time makes close reset the connection at once.
    for (int fd : fds) {
        struct linger reset = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    bool all_logged = s.wait_lines(1 + ABORTING, 30000);
    expect_served(s.port);
    ASSERT_TRUE(all_logged) << s.out;

    size_t partial = 0;
    unsigned long long least = LARGE_SIZE, most = 0;
    for (const std::string &line : s.log_lines()) {
        unsigned long long bytes;
        char status[4];
        if (sscanf(line.c_str(), "%llu\t127.0.0.1\t%3[0-9]\tabort\t/large",
                   &bytes, status) != 2)
            continue;
        if (strcmp(status, "408") == 0 && bytes > 0 &&
            bytes < (unsigned long long)LARGE_SIZE) {
            partial++;
            least = std::min(least, bytes);
            most = std::max(most, bytes);
        }
    }
    EXPECT_EQ(partial, (size_t)ABORTING) << s.out;
    ASSERT_TRUE(s.wait_lines(1 + ABORTING + 1));
    EXPECT_EQ(s.log_lines().size(), (size_t)ABORTING + 1);
    printf("abort: %d clients reset a GET of %lld bytes; %zu log lines with "
           "408 and a partial count (%llu to %llu bytes), %zu lost; a later "
           "client served\n",
           ABORTING, (long long)LARGE_SIZE, partial, least, most,
           (size_t)ABORTING - partial);
}

// A client that sends more after its head, a pipelined request here, and
// reads a large response slowly still gets all of it, and the log line
// tells the truth. Closing a connection that holds unread input resets
// it, and the reset throws away what the client has not read yet; the
// worker reads that input first.
TEST_F(Faults, APipeliningClientReadingSlowlyGetsTheWholeResponse)
{
    constexpr off_t SIZE = 50000000;
    ASSERT_TRUE(make_large_file(dir + "/large", SIZE));
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;

    int fd = connect_to(s.port);
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(
        send_all(fd, "GET /large HTTP/1.1\r\nUser-Agent: pipelining\r\n\r\n"));
    std::string head;
    size_t received = 0;
    bool pipelined = false;
    long long start = now_ms();
    int error = 0;
    for (;;) {
        if (!pipelined && now_ms() - start >= 200) {
            ASSERT_TRUE(send_all(fd, "GET /small HTTP/1.1\r\n\r\n"));
            pipelined = true;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) {
            error = ETIMEDOUT;
            break;
        }
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        received += (size_t)n;
        if (head.size() < 512)
            head.append(buf, std::min((size_t)n, (size_t)512));
        // About 30 MB a second: the response is still on its way when
        // the worker has written the last of it.
        usleep(2000);
    }
    close(fd);
    EXPECT_EQ(error, 0) << strerror(error);
    size_t head_size = head.find("\r\n\r\n") + 4;
    ASSERT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    EXPECT_EQ(received - head_size, (size_t)SIZE);
    ASSERT_TRUE(s.wait_lines(2)) << s.out;
    EXPECT_EQ(s.log_lines(), std::vector<std::string>{"50000000\t127.0.0.1\t"
                                                      "200\tpipelining\t/"
                                                      "large"});
}

// A file that is replaced by a FIFO between the look at its status and
// the open must not hold its worker: a FIFO opened for reading waits for
// a writer, for ever when none comes. A swap loop renames a file and a
// FIFO over one name in turn while clients ask for it; each gets a whole
// answer, the file or a 500, and none waits out its time-out. The window
// is a few microseconds wide, so it takes many requests to hit it.
TEST_F(Faults, AFileSwappedForAFifoNeverHoldsAWorker)
{
    constexpr int CLIENTS = 4, REQUESTS = 500;
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    std::string name = dir + "/swapped", file = dir + "/swapped.file",
                fifo = dir + "/swapped.fifo";
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        while (!done) {
            write_file(file, SMALL_CONTENT);
            rename(file.c_str(), name.c_str());
            mkfifo(fifo.c_str(), 0644);
            rename(fifo.c_str(), name.c_str());
        }
    });
    std::atomic<int> files{0}, refusals{0}, others{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; c++)
        clients.emplace_back([&] {
            for (int i = 0; i < REQUESTS; i++) {
                int fd = connect_to(s.port);
                std::string response;
                bool whole = fd != -1 &&
                             send_all(fd, "GET /swapped HTTP/1.0\r\n\r\n") &&
                             read_to_end(fd, response, 10000);
                if (fd != -1)
                    close(fd);
                if (whole && body_of(response) == SMALL_CONTENT)
                    files++;
                else if (whole &&
                         body_of(response) == "500 Internal Server Error\n")
                    refusals++;
                else if (!(whole && head_of(response).rfind(
                                        "HTTP/1.1 200 OK\r\n", 0) == 0))
                    // A FIFO at the look and a file at the open gives an
                    // empty 200; anything else is a fault.
                    others++;
            }
        });
    for (std::thread &t : clients)
        t.join();
    done = true;
    swapper.join();
    printf("swap loop: %d files, %d refusals of a FIFO\n", files.load(),
           refusals.load());
    EXPECT_EQ(others, 0);
    EXPECT_GT(files, 0);
    EXPECT_GT(refusals, 0);
    pid_t server = server_process(s);
    ASSERT_NE(server, -1);
    for (int i = 0; i < 1000 && !children_of(server).empty(); i++)
        usleep(10000);
    EXPECT_EQ(children_of(server).size(), 0u) << "workers still waiting";
}

// The supervisor, its arbiter thread (a limit on processes counts
// threads), the server process and one more.
constexpr rlim_t FORK_TEST_NPROC = 4;

// How many processes run as uid.
static int
count_user_processes(uid_t uid)
{
    int n = 0;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return -1;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        std::string path = std::string("/proc/") + e->d_name + "/status";
        FILE *fp = fopen(path.c_str(), "r");
        if (fp == nullptr)
            continue;
        char line[256];
        unsigned real;
        while (fgets(line, sizeof line, fp) != nullptr)
            if (sscanf(line, "Uid: %u", &real) == 1) {
                n += real == uid;
                break;
            }
        fclose(fp);
    }
    closedir(d);
    return n;
}

// A user of its own, so that no other process counts against the process
// limit that this test sets: the first uid from one chosen by our pid (so
// that a run in another build at the same time picks another) that owns no
// process at all. A process of an earlier run that was never reaped, a
// zombie included, still counts against its user's limit.
static uid_t
fork_test_uid()
{
    static uid_t uid = [] {
        for (uid_t i = 0; i < 5000; i++) {
            uid_t candidate = 60000 + (uid_t)((getpid() + i) % 5000);
            if (count_user_processes(candidate) == 0)
                return candidate;
        }
        return (uid_t)60000;
    }();
    return uid;
}

// Waits until uid runs exactly n processes; returns false after timeout_ms.
static bool
wait_user_processes(uid_t uid, int n, int timeout_ms = 10000)
{
    long long deadline = now_ms() + timeout_ms;
    while (count_user_processes(uid) != n)
        if (now_ms() > deadline)
            return false;
        else
            usleep(10000);
    return true;
}

// A process of uid that only waits to be killed; returns once it runs as
// uid.
static pid_t
start_blocker(uid_t uid)
{
    int ready[2];
    if (pipe(ready) == -1)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        become_user(uid);
        if (write(ready[1], "r", 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char c;
    bool up = pid > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    return up ? pid : -1;
}

// Copies the executable from to to, runnable by every user.
static bool
copy_executable(const char *from, const std::string &to)
{
    FILE *in = fopen(from, "rb");
    if (in == nullptr)
        return false;
    FILE *out = fopen(to.c_str(), "wb");
    bool ok = out != nullptr;
    char buf[65536];
    size_t n;
    while (ok && (n = fread(buf, 1, sizeof buf, in)) > 0)
        ok = fwrite(buf, 1, n, out) == n;
    ok = ok && !ferror(in);
    fclose(in);
    if (out != nullptr && fclose(out) != 0)
        ok = false;
    return ok && chmod(to.c_str(), 0755) == 0;
}

// A copy of the binary that an unprivileged user can run. The build tree
// may lie where that user cannot reach it (a private temporary directory,
// say), so the user runs a copy from a directory of the test's own.
struct CopiedBinary {
    std::string dir = make_temp_dir();
    ~CopiedBinary() { remove_tree(dir); }
    // The server's command line for served, with the copy as the program.
    void
    command_for(const std::string &served, std::vector<std::string> *command)
    {
        ASSERT_FALSE(dir.empty());
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        *command = server_command(served);
        (*command)[0] = dir + "/corvansel";
        ASSERT_TRUE(copy_executable(CORVANSEL_BINARY, (*command)[0]));
    }
};

// Starts command as uid, with that user's process limit at nproc, which
// binds only a user other than root; with errors_to_out, standard error
// goes where standard output does.
static bool
start_limited(Server &s, const std::vector<std::string> &command, uid_t uid,
              rlim_t nproc, bool errors_to_out)
{
    return start_prepared(s, command, [uid, nproc, errors_to_out] {
        if (errors_to_out)
            dup2(STDOUT_FILENO, STDERR_FILENO);
        struct rlimit limit = {nproc, nproc};
        if (setrlimit(RLIMIT_NPROC, &limit) == -1)
            _exit(125);
        skip_leak_check();
        become_user(uid);
    });
}

// With the process limit of its user reached, the server cannot fork a
// worker: it warns, closes the connection without a byte and goes on; once
// another process of the user has ended, the next connection is served.
// Root is not held to the limit, so the server runs as an unprivileged
// user, started with the limit in place.
TEST_F(Faults, FailedForkClosesTheConnectionUnanswered)
{
    CopiedBinary copy;
    std::vector<std::string> command;
    ASSERT_NO_FATAL_FAILURE(copy.command_for(dir, &command));

    Server s;
    const uid_t uid = fork_test_uid();
    ASSERT_TRUE(start_limited(s, command, uid, FORK_TEST_NPROC, false));
    expect_served(s.port);
    ASSERT_TRUE(s.wait_lines(2));

    // The blocker takes the last place: no worker fits beside it.
    ASSERT_TRUE(wait_user_processes(uid, 2));
    pid_t blocker = start_blocker(uid);
    ASSERT_GT(blocker, 0);
    int fd = connect_to(s.port);
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(send_all(fd, "GET /small HTTP/1.0\r\n\r\n"));
    // The request was still unread when the server closed the connection,
    // so the system resets it rather than ending it in order.
    std::string response;
    bool ended = read_to_end(fd, response, 10000);
    bool reset = !ended && errno == ECONNRESET;
    bool closed = ended || reset;
    close(fd);
    long long deadline = now_ms() + 10000;
    while (s.err.find("fork: ") == std::string::npos && now_ms() < deadline)
        s.read_err(100);
    kill(blocker, SIGKILL);
    waitpid(blocker, nullptr, 0);

    EXPECT_TRUE(closed) << "the connection was not closed";
    EXPECT_EQ(response, "") << "a byte was sent";
    EXPECT_NE(s.err.find("corvansel: fork: "), std::string::npos) << s.err;
    ASSERT_TRUE(wait_user_processes(uid, 2));
    expect_served(s.port);
    ASSERT_TRUE(s.wait_lines(3));
    EXPECT_EQ(count_status(s, "200"), 2u);
    EXPECT_EQ(s.log_lines().size(), 2u) << s.out;
    printf("fork: with the process limit reached, %zu response bytes and "
           "the connection %s; stderr: %s"
           "fork: once a place was free, the next connection was served\n",
           response.size(),
           ended   ? "closed"
           : reset ? "reset"
                   : "left open",
           s.err.substr(0, s.err.find('\n') + 1).c_str());
}

// The lowest descriptor that pid has free.
static int
lowest_free_descriptor(pid_t pid)
{
    for (int fd = 0;; fd++) {
        std::string path =
            "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        if (access(path.c_str(), F_OK) == -1)
            return fd;
    }
}

// Out of descriptors, accept fails; the server warns, waits a little and
// tries again rather than ending, so the client that waited in the backlog
// is served as soon as a descriptor is free again.
TEST_F(Faults, DescriptorPressureIsSurvived)
{
    Server s;
    ASSERT_TRUE(start_server_on(s, dir));
    pid_t server = server_process(s);
    ASSERT_GT(server, 0);
    expect_served(s.port);
    // The connection's descriptor would be free again below the limit set
    // next, so wait until the server process holds only its listener.
    ASSERT_EQ(settled_socket_count(server, 1), 1);

    // A limit at the lowest free descriptor leaves none to accept into.
    rlim_t old;
    ASSERT_TRUE(set_soft_limit(server, RLIMIT_NOFILE,
                               (rlim_t)lowest_free_descriptor(server), &old))
        << strerror(errno);
    int fd = connect_to(s.port);
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(send_all(fd, "GET /small HTTP/1.0\r\n\r\n"));
    long long deadline = now_ms() + 10000;
    while (s.err.find("accept: ") == std::string::npos && now_ms() < deadline)
        s.read_err(100);
    // Some more rounds of the loop while the pressure lasts.
    s.read_err(500);
    size_t warnings = 0;
    for (size_t at = 0; (at = s.err.find("accept: ", at)) != std::string::npos;
         at++)
        warnings++;
    bool alive = kill(server, 0) == 0 && waitpid(s.pid, nullptr, WNOHANG) == 0;
    ASSERT_TRUE(set_soft_limit(server, RLIMIT_NOFILE, old));

    EXPECT_TRUE(alive);
    EXPECT_NE(s.err.find("corvansel: accept: Too many open files"),
              std::string::npos)
        << s.err;
    std::string response;
    EXPECT_TRUE(read_to_end(fd, response));
    close(fd);
    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
    expect_served(s.port);
    ASSERT_TRUE(s.wait_lines(4));
    EXPECT_EQ(count_status(s, "200"), 3u);
    printf("descriptors: out of descriptors the server %s, with %zu "
           "\"accept\" warnings; once they were back, the waiting client and "
           "a new one were served\n",
           alive ? "stayed up" : "ended", warnings);
}

// Warnings and log lines share one stream when standard error is standard
// output (2>&1, a journal): each warning leaves in one write, so no log
// line is split by one, under a process limit that makes forks fail as
// fast as clients come. The server runs as an unprivileged user, whom the
// limit binds.
TEST_F(Faults, WarningsAndLogLinesShareOneStreamWhole)
{
    constexpr int CLIENTS = 12, REQUESTS = 60;
    // Room for a few workers beside the supervisor, its arbiter thread
    // and the server process, so that log lines are written while forks
    // fail.
    constexpr rlim_t NPROC = 6;
    CopiedBinary copy;
    std::vector<std::string> command;
    ASSERT_NO_FATAL_FAILURE(copy.command_for(dir, &command));

    Server s;
    const uid_t uid = fork_test_uid();
    ASSERT_TRUE(start_limited(s, command, uid, NPROC, true));
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; c++)
        clients.emplace_back([&s] {
            for (int i = 0; i < REQUESTS; i++)
                ::exchange(s.port, "GET /small HTTP/1.0\r\nUser-Agent: "
                                   "t\r\n\r\n");
        });
    for (std::thread &t : clients)
        t.join();
    // Let the last workers write their lines, then read what came.
    ASSERT_TRUE(wait_user_processes(uid, 2, 30000));
    s.wait_lines(1 + CLIENTS * REQUESTS, 1000);

    int logged = 0, warned = 0;
    for (const std::string &line : s.log_lines()) {
        if (line == "corvansel: fork: Resource temporarily unavailable") {
            warned++;
            continue;
        }
        logged++;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 4) << line;
        EXPECT_EQ(line.find("corvansel"), std::string::npos) << line;
    }
    EXPECT_GT(warned, 0) << "no fork failed: the test proves nothing";
    EXPECT_GT(logged, 0);
    printf("one stream: %d log lines and %d fork warnings, each whole\n",
           logged, warned);
}
