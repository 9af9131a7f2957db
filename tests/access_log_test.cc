// The access log through the real binary when standard output is hard to
// write: a slow reader on a pipe, a worker killed in the middle of its
// line, a closed pipe and a full disk.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/fault_util.h"
#include "tests/harness.h"

// Whether pid is in a write system call now, as the kernel shows it.
static bool
in_write(pid_t pid)
{
    return current_syscall(pid) == SYS_write;
}

// The worker of server that is blocked writing its log line, holding the
// lock while the others wait for it; -1 when none shows up within ten
// seconds. Blocked means asleep in the write: one that is only passing
// through a write (its response, or a line that fits) is running.
static pid_t
log_writer(pid_t server)
{
    for (int i = 0; i < 1000; i++) {
        for (pid_t pid : children_of(server)) {
            ProcessEntry e;
            if (in_write(pid) && read_process(pid, &e) && e.state == 'S' &&
                in_write(pid))
                return pid;
        }
        usleep(10000);
    }
    return -1;
}

class AccessLog : public ::testing::Test {
  protected:
    void
    SetUp() override
    {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
    }
    void
    TearDown() override
    {
        for (int fd : clients)
            close(fd);
        remove_tree(dir);
    }

    // The start of client i's target: "/i-". Appended piece by piece, since
    // g++ at -O2 warns wrongly about a literal joined to a temporary.
    static std::string
    target_start(int i)
    {
        std::string target = "/";
        target += std::to_string(i);
        target += "-";
        return target;
    }

    // Connects n clients, each sending a request whose log line is about
    // 4.9 KB, above what a pipe keeps whole: a target of raw control bytes
    // and an agent of them, each escaped to four bytes. Client i's target
    // starts with its number, so that every line is its own.
    void
    send_long_requests(const Server &s, int n)
    {
        for (int i = 0; i < n; i++) {
            int fd = connect_to(s.port);
            ASSERT_NE(fd, -1);
            clients.push_back(fd);
            std::string target = target_start(i);
            target += std::string(1023 - target.size(), '\x01');
            std::string agent(199, '\x02');
            ASSERT_TRUE(send_all(fd, "GET " + target + " HTTP/1.1\r\nUser-Agent: " +
                                         agent + "\r\n\r\n"));
        }
    }

    // The log line that send_long_requests makes client i expect.
    static std::string
    long_line(int i)
    {
        std::string target = target_start(i);
        size_t controls = 1023 - target.size();
        for (size_t k = 0; k < controls; k++)
            target += "\\x01";
        std::string agent;
        for (int k = 0; k < 199; k++)
            agent += "\\x02";
        return log_line("0", "127.0.0.1", "404", agent, target);
    }

    // Reads every client's response to its end.
    void
    read_responses()
    {
        for (int fd : clients)
            EXPECT_EQ(read_all(fd, 30000).rfind("HTTP/1.1 404 ", 0), 0u);
    }

    std::string dir;
    std::vector<int> clients;
};

// A hundred workers write lines longer than a pipe keeps whole while the
// log's reader takes a little at a time: every line must arrive whole,
// and none may be lost. So too when whoever started the server made the
// pipe non-blocking (the flag belongs to the pipe, which the server shares
// with its parent): a write that would block must wait, not fail or stop
// halfway through a line.
TEST_F(AccessLog, LongLinesStayWholeOnASlowPipe)
{
    constexpr int CLIENTS = 100;
    for (bool nonblocking : {false, true}) {
        SCOPED_TRACE(nonblocking ? "non-blocking pipe" : "blocking pipe");
        Server s;
        ASSERT_TRUE(start_prepared(s, server_command(dir), [nonblocking] {
            if (nonblocking)
                fcntl(STDOUT_FILENO, F_SETFL,
                      fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
        })) << s.err;
        std::string log;
        std::thread reader([&] {
            long long deadline = now_ms() + 60000;
            size_t lines = 0;
            while (lines < CLIENTS && now_ms() < deadline) {
                struct pollfd p = {s.out_fd, POLLIN, 0};
                if (poll(&p, 1, 1000) != 1)
                    continue;
                char buf[1024];
                ssize_t n = read(s.out_fd, buf, sizeof buf);
                if (n <= 0)
                    break;
                log.append(buf, (size_t)n);
                for (ssize_t k = 0; k < n; k++)
                    lines += buf[k] == '\n';
                usleep(2000);
            }
        });
        send_long_requests(s, CLIENTS);
        read_responses();
        reader.join();

        s.out += log;
        std::vector<std::string> lines = s.log_lines();
        EXPECT_EQ(lines.size(), (size_t)CLIENTS) << log.size();
        std::sort(lines.begin(), lines.end());
        std::vector<std::string> expected;
        for (int i = 0; i < CLIENTS; i++)
            expected.push_back(long_line(i));
        std::sort(expected.begin(), expected.end());
        EXPECT_TRUE(lines == expected);
        s.stop();
        s.read_err();
        EXPECT_EQ(s.err, "");
        for (int fd : clients)
            close(fd);
        clients.clear();
    }
}

// A log that nobody reads holds up no client: a worker ends its exchange
// before it writes its line. Nothing reads the pipe here, so it fills and
// the workers behind it wait; then the one blocked in its write, holding
// the lock, is even stopped. Every client still gets the end of its
// response at once, and every line arrives whole once the log is read.
TEST_F(AccessLog, AStuckLogHoldsNoClient)
{
    constexpr int LONG = 20, SHORT = 5;
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    pid_t server = server_process(s);
    ASSERT_NE(server, -1);
    // A pipe holds about 13 of these lines.
    send_long_requests(s, LONG);
    for (int fd : clients) {
        std::string response;
        EXPECT_TRUE(read_to_end(fd, response, 10000)) << response;
        EXPECT_EQ(response.rfind("HTTP/1.1 404 ", 0), 0u) << response;
    }
    pid_t holder = log_writer(server);
    ASSERT_NE(holder, -1) << "no worker waits to write its line";
    ASSERT_EQ(kill(holder, SIGSTOP), 0);
    for (int i = 0; i < SHORT; i++) {
        int fd = connect_to(s.port);
        ASSERT_NE(fd, -1);
        ASSERT_TRUE(
            send_all(fd, "GET /short HTTP/1.0\r\nUser-Agent: s\r\n\r\n"));
        std::string response;
        EXPECT_TRUE(read_to_end(fd, response, 10000)) << response;
        close(fd);
        EXPECT_EQ(body_of(response), "404 Not Found\n") << response;
    }
    ASSERT_EQ(kill(holder, SIGCONT), 0);

    ASSERT_TRUE(s.wait_lines(1 + LONG + SHORT, 30000)) << s.log_lines().size();
    std::vector<std::string> lines = s.log_lines();
    for (int i = 0; i < LONG; i++)
        EXPECT_EQ(std::count(lines.begin(), lines.end(), long_line(i)), 1) << i;
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         log_line("0", "127.0.0.1", "404", "s", "/short")),
              SHORT);
}

// The worker whose line is going out when it is killed takes the lock with
// it: the others still write theirs. The part of its line that went out
// is ended by the next writer, so that no other line is glued to it, and
// the line is counted lost and reported.
TEST_F(AccessLog, AWorkerKilledWhileWritingLeavesTheLogToTheOthers)
{
    constexpr int CLIENTS = 20;
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    pid_t server = server_process(s);
    ASSERT_NE(server, -1);
    // Nothing reads the log yet: a pipe holds about 13 of these lines, and
    // the worker with the 14th waits in its write, holding the lock.
    send_long_requests(s, CLIENTS);
    pid_t holder = log_writer(server);
    ASSERT_NE(holder, -1) << "no worker holds the log lock";
    ASSERT_EQ(kill(holder, SIGKILL), 0);

    std::thread responses([&] { read_responses(); });
    // The others' lines, and the killed one's fragment on a line of its own.
    bool all = s.wait_lines(1 + CLIENTS, 30000);
    responses.join();
    ASSERT_TRUE(all) << s.log_lines().size();
    // Every other line is whole. The killed one's is ended where it was
    // cut off, a part of it on a line of its own (empty if none of it went
    // out, whole if it all did just before the end came), and never joined
    // to another.
    int whole = 0;
    std::vector<std::string> lines = s.log_lines();
    for (int i = 0; i < CLIENTS; i++)
        whole += std::count(lines.begin(), lines.end(), long_line(i)) == 1;
    EXPECT_GE(whole, CLIENTS - 1);
    for (const std::string &line : lines) {
        bool part = false;
        for (int i = 0; i < CLIENTS && !part; i++)
            part = long_line(i).compare(0, line.size(), line) == 0;
        EXPECT_TRUE(part) << line.substr(0, 80);
    }
    long long deadline = now_ms() + 10000;
    while (s.err.find('\n') == std::string::npos && now_ms() < deadline)
        s.read_err(100);
    EXPECT_EQ(s.err, "corvansel: access log: 1 line lost: Interrupted system "
                     "call\n");
}

// A banner that cannot be written ends the start, with the reason on
// standard error and status 1: a server that could not log would run
// without a trace.
TEST_F(AccessLog, AnUnwritableBannerEndsTheStart)
{
    struct Case {
        const char *name;
        std::function<void()> prepare;
        const char *reason;
    };
    const Case cases[] = {
        {"a pipe nobody reads",
         [] {
             int p[2];
             if (pipe(p) == -1)
                 _exit(126);
             close(p[0]);
             dup2(p[1], STDOUT_FILENO);
             close(p[1]);
         },
         "Broken pipe"},
        {"a full disk",
         [] {
             int fd = open("/dev/full", O_WRONLY);
             if (fd == -1)
                 _exit(126);
             dup2(fd, STDOUT_FILENO);
             close(fd);
         },
         "No space left on device"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ::Run r = run_binary(
            {"-d", dir, "-l", "127.0.0.1", std::to_string(free_port())}, 10000,
            c.prepare);
        ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
        EXPECT_EQ(WEXITSTATUS(r.status), 1);
        EXPECT_EQ(r.err,
                  std::string("corvansel: listening banner: ") + c.reason + "\n");
    }
}

// Starts the binary serving dir with its standard output on the named
// pipe fifo, opened for reading here first and kept as s.out_fd: unlike a
// pipe, a named pipe can lose its reader and get a new one.
static bool
start_with_fifo_output(Server &s, const std::string &dir,
                       const std::string &fifo)
{
    // A port found free can be taken before the server binds it; try a few.
    for (int attempt = 0; attempt < 5; attempt++) {
        int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        int errp[2];
        if (reader == -1 || pipe2(errp, O_CLOEXEC) == -1)
            return false;
        std::string port = std::to_string(free_port());
        pid_t pid = fork();
        if (pid == 0) {
            int out = open(fifo.c_str(), O_WRONLY);
            int in = open("/dev/null", O_RDONLY);
            if (out == -1 || in == -1)
                _exit(126);
            dup2(out, STDOUT_FILENO);
            dup2(errp[1], STDERR_FILENO);
            dup2(in, STDIN_FILENO);
            execl(CORVANSEL_BINARY, "corvansel", "-d", dir.c_str(), "-l",
                  "127.0.0.1", port.c_str(), (char *)nullptr);
            _exit(127);
        }
        close(errp[1]);
        s.pid = pid;
        s.out_fd = reader;
        s.err_fd = errp[0];
        s.port = std::stoi(port);
        if (pid > 0 && s.wait_lines(1) && s.out.rfind("Listening on", 0) == 0)
            return true;
        s.stop(SIGKILL);
        s.close_pipes();
        s.pid = -1;
        s.out.clear();
        s.err.clear();
    }
    return false;
}

// The lost-line reports on standard error: how many there were, and the
// lines they counted. Each must name the reason.
static void
count_reports(const std::string &err, int *reports, int *lost)
{
    *reports = *lost = 0;
    static const std::regex report(
        "corvansel: access log: ([0-9]+) lines? lost: Broken pipe");
    size_t pos = 0;
    while (pos < err.size()) {
        size_t end = err.find('\n', pos);
        ASSERT_NE(end, std::string::npos) << err;
        std::string line = err.substr(pos, end - pos);
        pos = end + 1;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, report)) << line;
        *lost += std::stoi(m[1]);
        (*reports)++;
    }
}

// Lines that cannot be written are counted for the whole server and
// reported, with the reason, at most once a second however many are lost.
// The count still pending when the log works again is reported by the
// next worker that writes after the second, although its own line went
// out: no loss goes unreported.
TEST_F(AccessLog, LostLinesAreAllReportedAtMostOnceASecond)
{
    constexpr int LOST = 20;
    std::string fifo = dir + "/log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Server s;
    ASSERT_TRUE(start_with_fifo_output(s, dir, fifo)) << s.err;
    pid_t server = server_process(s);
    ASSERT_NE(server, -1);

    // The log's reader goes away: every line is lost.
    close(s.out_fd);
    s.out_fd = -1;
    long long start = now_ms();
    auto request = [&](const char *target) {
        std::string response = ::exchange(s.port, std::string("GET ") + target +
                                                      " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(response.rfind("HTTP/1.1 404 ", 0), 0u) << response;
    };
    for (int i = 0; i < LOST; i++)
        request("/lost");
    // Each worker writes its line after its client is done: wait for all.
    for (int i = 0; i < 1000 && !children_of(server).empty(); i++)
        usleep(10000);
    ASSERT_TRUE(children_of(server).empty());
    s.read_err(100);
    int reports, lost;
    count_reports(s.err, &reports, &lost);
    // The first loss is reported at once; a flood within a second leaves
    // lines for later.
    ASSERT_GE(reports, 1) << s.err;
    ASSERT_LT(lost, LOST) << "every loss reported already: " << s.err;

    // A reader again, and a line that goes out a second after the last
    // report carries the count of those still pending.
    s.out_fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_NE(s.out_fd, -1);
    usleep(1100000);
    request("/written");
    ASSERT_TRUE(s.wait_lines(2)) << s.out;
    EXPECT_EQ(s.log_lines(), std::vector<std::string>{log_line(
                                 "0", "127.0.0.1", "404", "", "/written")});
    long long deadline = now_ms() + 10000;
    while (lost < LOST && now_ms() < deadline) {
        s.read_err(100);
        count_reports(s.err, &reports, &lost);
    }
    long long elapsed = now_ms() - start;
    EXPECT_EQ(lost, LOST) << s.err;
    // At most one report per whole second that passed, and one more.
    EXPECT_GE(reports, 2) << s.err;
    EXPECT_LE(reports, elapsed / 1000 + 1) << elapsed << " ms: " << s.err;
}

// A log that stops being read does not keep workers for ever: each waits
// for the lock and for room at most 30 seconds in all, then counts its
// line lost and exits, on a blocking and on a non-blocking pipe alike.
// Once the log is read again, the next line goes out after the end of the
// one that was cut off, and the report accounts for every line lost.
static constexpr int STALLED_CLIENTS = 12;

TEST_F(AccessLog, AStalledLogHoldsNoWorkerPastItsTime)
{
    constexpr int CLIENTS = STALLED_CLIENTS;
    struct Case {
        const char *name;
        bool non_blocking;
    };
    constexpr Case cases[] = {{"blocking", false}, {"non-blocking", true}};
    // Both at once: each waits out the same half minute.
    std::vector<std::thread> runs;
    for (const Case &c : cases)
        runs.emplace_back([this, c] {
            SCOPED_TRACE(c.name);
            Server s;
            bool non_blocking = c.non_blocking;
            ASSERT_TRUE(start_prepared(s, server_command(dir), [non_blocking] {
                // A pipe of one page, which one long line overfills.
                fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096);
                if (non_blocking)
                    fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK);
            })) << s.err;
            pid_t server = server_process(s);
            ASSERT_NE(server, -1);
            // The log's reader takes nothing from here on.
            std::vector<int> fds;
            for (int i = 0; i < CLIENTS; i++) {
                int fd = connect_to(s.port);
                ASSERT_NE(fd, -1);
                fds.push_back(fd);
                std::string target = target_start(i);
                target += std::string(1023 - target.size(), '\x01');
                ASSERT_TRUE(send_all(fd, "GET " + target + " HTTP/1.1\r\n\r\n"));
            }
            for (int fd : fds) {
                EXPECT_EQ(read_all(fd, 30000).rfind("HTTP/1.1 404 ", 0), 0u);
                close(fd);
            }
            // Every worker gives up after 30 seconds; a minute and a half
            // allows for a machine that runs them slowly.
            long long deadline = now_ms() + 90000;
            while (!children_of(server).empty() && now_ms() < deadline)
                usleep(100000);
            EXPECT_EQ(children_of(server).size(), 0u)
                << "workers still wait for the log";

            // The log is read again. Lines come after the end of the one
            // cut off, and a line written a second after the last report
            // reports what was lost since: a probe every second or so
            // until every stalled line is accounted for.
            std::vector<std::string> expected;
            for (int i = 0; i < STALLED_CLIENTS; i++) {
                std::string target = target_start(i);
                for (size_t k = target.size(); k < 1023; k++)
                    target += "\\x01";
                expected.push_back(
                    log_line("0", "127.0.0.1", "404", "", target));
            }
            static const std::regex report(
                "corvansel: access log: ([0-9]+) lines? lost: .+");
            const std::string probe =
                log_line("0", "127.0.0.1", "404", "a", "/probe");
            int whole = 0, lost = 0, probes = 0;
            deadline = now_ms() + 30000;
            while (whole + lost < STALLED_CLIENTS && now_ms() < deadline) {
                std::string response = ::exchange(
                    s.port, "GET /probe HTTP/1.1\r\nUser-Agent: a\r\n\r\n");
                EXPECT_EQ(response.rfind("HTTP/1.1 404 ", 0), 0u);
                probes++;
                auto probed_lines = [&] {
                    std::vector<std::string> lines = s.log_lines();
                    return (int)std::count(lines.begin(), lines.end(), probe);
                };
                while (probed_lines() < probes &&
                       s.wait_lines(1 + s.log_lines().size() + 1, 10000)) {
                }
                s.read_err(1100);
                whole = lost = 0;
                int probed = 0;
                for (const std::string &line : s.log_lines()) {
                    whole += std::count(expected.begin(), expected.end(),
                                        line) == 1;
                    probed += line == probe;
                }
                EXPECT_EQ(probed, probes) << s.out;
                std::istringstream err(s.err);
                for (std::string line; std::getline(err, line);) {
                    std::smatch m;
                    EXPECT_TRUE(std::regex_match(line, m, report)) << line;
                    if (!m.empty())
                        lost += std::stoi(m[1]);
                }
            }
            EXPECT_EQ(whole + lost, STALLED_CLIENTS) << s.out << s.err;
            EXPECT_GT(lost, 0) << s.err;
        });
    for (std::thread &t : runs)
        t.join();
}

// A standard output that is full and non-blocking when the server starts
// is waited for: the banner goes out whole once the reader makes room,
// and the server serves.
TEST_F(AccessLog, TheBannerWaitsForRoomOnAFullPipe)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(p[1], F_SETFL, O_NONBLOCK), 0);
    // Whole lines, so that what was there before stays apart from it.
    const std::string filler = std::string(63, 'f') + "\n";
    size_t filled = 0;
    while (write(p[1], filler.data(), filler.size()) == (ssize_t)filler.size())
        filled += filler.size();
    ASSERT_GT(filled, 0u);
    int port = free_port();
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        dup2(p[1], STDOUT_FILENO);
        execl(CORVANSEL_BINARY, "corvansel", "-d", dir.c_str(), "-l",
              "127.0.0.1", std::to_string(port).c_str(), (char *)nullptr);
        _exit(127);
    }
    close(p[1]);
    Server s; // stops the group at the end
    s.pid = pid;
    s.port = port;
    // The server process waits for room before it accepts anything.
    long long deadline = now_ms() + 10000;
    bool waiting = false;
    while (!waiting && now_ms() < deadline) {
        for (pid_t child : children_of(pid)) {
            long call = current_syscall(child);
            waiting = waiting || call == SYS_poll || call == SYS_ppoll;
        }
        if (!waiting)
            usleep(10000);
    }
    EXPECT_TRUE(waiting) << "the server did not wait for room";
    s.out_fd = p[0];
    std::string banner = "Listening on 127.0.0.1 port " + std::to_string(port);
    size_t lines = filled / filler.size() + 1;
    ASSERT_TRUE(s.wait_lines(lines)) << s.out.substr(filled);
    EXPECT_EQ(s.out.substr(filled), banner + "\n");
    std::string response = ::exchange(port, "GET /x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(response.rfind("HTTP/1.1 404 ", 0), 0u) << response;
}
