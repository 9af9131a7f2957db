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
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/harness.h"

// Whether pid is in a write system call now, as the kernel shows it.
static bool
in_write(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    FILE *fp = fopen(path.c_str(), "r");
    if (fp == nullptr)
        return false;
    long number = -1;
    bool found = fscanf(fp, "%ld", &number) == 1 && number == SYS_write;
    fclose(fp);
    return found;
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
// log's reader takes a little at a time: every line must arrive whole.
TEST_F(AccessLog, LongLinesStayWholeOnASlowPipe)
{
    constexpr int CLIENTS = 100;
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
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
    ASSERT_EQ(lines.size(), (size_t)CLIENTS) << log.size();
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected;
    for (int i = 0; i < CLIENTS; i++)
        expected.push_back(long_line(i));
    std::sort(expected.begin(), expected.end());
    int whole = 0;
    for (int i = 0; i < CLIENTS; i++)
        whole += lines[i] == expected[i];
    EXPECT_EQ(whole, CLIENTS);
}

// The worker whose line is going out when it is killed takes the lock with
// it: the others still write theirs. Only the line it was writing, and the
// one joined to its first part, can come out broken.
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
    // The holder is the one worker blocked in a write; the others wait
    // for the lock.
    pid_t holder = -1;
    for (int i = 0; i < 1000 && holder == -1; i++) {
        for (pid_t pid : children_of(server))
            if (in_write(pid))
                holder = pid;
        if (holder == -1)
            usleep(10000);
    }
    ASSERT_NE(holder, -1) << "no worker holds the log lock";
    ASSERT_EQ(kill(holder, SIGKILL), 0);

    std::thread responses([&] { read_responses(); });
    bool all = s.wait_lines(1 + CLIENTS - 1, 30000);
    responses.join();
    ASSERT_TRUE(all) << s.log_lines().size();
    int whole = 0;
    std::vector<std::string> lines = s.log_lines();
    for (int i = 0; i < CLIENTS; i++)
        whole += std::count(lines.begin(), lines.end(), long_line(i)) == 1;
    EXPECT_GE(whole, CLIENTS - 2);
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

// Lines that cannot be written are reported, with the reason, but a flood
// of them makes about one report a second, each counting the lines lost
// since the one before.
TEST_F(AccessLog, LostLinesAreReportedAboutOnceASecond)
{
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    // The log's reader goes away.
    close(s.out_fd);
    s.out_fd = -1;
    auto request = [&] {
        std::string response = exchange(s.port, "GET /x HTTP/1.0\r\n\r\n");
        EXPECT_EQ(response.rfind("HTTP/1.1 404 ", 0), 0u) << response;
    };
    // Each worker reports before the client sees the end of the response.
    request();
    s.read_err(1000);
    EXPECT_EQ(s.err, "corvansel: access log: 1 line lost: Broken pipe\n");
    for (int i = 0; i < 19; i++)
        request();
    // A second on, the next loss is reported with all those not yet
    // reported.
    usleep(1100000);
    request();
    s.read_err(1000);

    int reports = 0, lost = 0;
    size_t pos = 0;
    while (pos < s.err.size()) {
        size_t end = s.err.find('\n', pos);
        ASSERT_NE(end, std::string::npos) << s.err;
        std::string line = s.err.substr(pos, end - pos);
        pos = end + 1;
        static const std::regex report(
            "corvansel: access log: ([0-9]+) lines? lost: (.*)");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, report)) << line;
        EXPECT_EQ(m[2], "Broken pipe");
        lost += std::stoi(m[1]);
        reports++;
    }
    EXPECT_EQ(lost, 21) << s.err;
    // The first, the last, and at most one at the turn of a second between.
    EXPECT_GE(reports, 2) << s.err;
    EXPECT_LE(reports, 3) << s.err;
}
