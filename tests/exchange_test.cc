// Whole exchanges through the real binary: what the client receives and the
// access log line that the server writes for it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/harness.h"

// 2001-09-09 01:46:40 UTC, the modification time of the served files.
constexpr time_t FILE_TIME = 1000000000;
#define FILE_DATE "Sun, 09 Sep 2001 01:46:40 GMT"

class Exchange : public ::testing::Test {
  protected:
    void
    SetUp() override
    {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        write_file(dir + "/ten", "0123456789");
        write_file(dir + "/empty", "");
        write_file(dir + "/.hidden", "secret");
        struct timeval times[2] = {{FILE_TIME, 0}, {FILE_TIME, 0}};
        ASSERT_EQ(utimes((dir + "/ten").c_str(), times), 0);
    }
    void
    TearDown() override
    {
        remove_tree(dir);
    }

    // Runs every exchange of the table against host and checks the
    // response and the log line that follows it, with address as the
    // client's address text.
    void expect_exchanges(const std::string &host, const std::string &address);

    std::string dir;
};

void
Exchange::expect_exchanges(const std::string &host, const std::string &address)
{
    struct Case {
        const char *request;
        const char *status_line, *header, *body;
        // The log line's columns other than the address.
        const char *bytes, *status, *agent, *target;
    };
    constexpr Case cases[] = {
        {"GET /ten HTTP/1.1\r\nUser-Agent: t/1\r\n\r\n", "HTTP/1.1 200 OK",
         "Content-Length: 10\r\n", "0123456789", "10", "200", "t/1", "/ten"},
        {"HEAD /ten HTTP/1.0\r\nUser-Agent: t/1\r\n\r\n", "HTTP/1.1 200 OK",
         "Last-Modified: " FILE_DATE "\r\n", "", "0", "200", "t/1", "/ten"},
        {"GET /missing HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found",
         "Content-Type: text/plain\r\n", "404 Not Found\n", "0", "404", "",
         "/missing"},
        {"GET /.hidden HTTP/1.1\r\nUser-Agent: t/1\r\n\r\n",
         "HTTP/1.1 403 Forbidden", "Connection: close\r\n", "403 Forbidden\n",
         "0", "403", "t/1", "/.hidden"},
        // The log shows the target decoded but as the client wrote it.
        {"GET //./sub/..%2Ften HTTP/1.1\r\nUser-Agent: t/1\r\n\r\n",
         "HTTP/1.1 200 OK", "Content-Length: 10\r\n", "0123456789", "10", "200",
         "t/1", "//./sub/../ten"},
        {"GET /ten HTTP/1.1\r\nRange: bytes=2-5\r\nUser-Agent: t/1\r\n\r\n",
         "HTTP/1.1 206 Partial Content", "Content-Range: bytes 2-5/10\r\n",
         "2345", "4", "206", "t/1", "/ten"},
        {"GET /ten HTTP/1.1\r\nRange: bytes=20-\r\n\r\n",
         "HTTP/1.1 416 Range Not Satisfiable", "Content-Range: bytes */10\r\n",
         "", "0", "416", "", "/ten"},
        {"GET /empty HTTP/1.1\r\nRange: bytes=-5\r\n\r\n",
         "HTTP/1.1 416 Range Not Satisfiable", "Content-Range: bytes */0\r\n",
         "", "0", "416", "", "/empty"},
        // A resumed download: the range holds while the date the client
        // saw is the file's; after a change the whole file comes back.
        {"GET /ten HTTP/1.1\r\nRange: bytes=2-5\r\nIf-Range: " FILE_DATE
         "\r\n\r\n",
         "HTTP/1.1 206 Partial Content", "Content-Range: bytes 2-5/10\r\n",
         "2345", "4", "206", "", "/ten"},
        {"GET /ten HTTP/1.1\r\nRange: bytes=2-5\r\nif-range: Sun, 09 Sep "
         "2001 01:46:39 GMT\r\n\r\n",
         "HTTP/1.1 200 OK", "Content-Length: 10\r\n", "0123456789", "10", "200",
         "", "/ten"},
        {"GET /ten HTTP/1.1\r\nIf-Modified-Since: " FILE_DATE
         "\r\nUser-Agent: t/1\r\n\r\n",
         "HTTP/1.1 304 Not Modified", "Connection: close\r\n", "", "0", "304",
         "t/1", "/ten"},
        // A zero byte would end the name early, and another file than the
        // one named would go out: a target that decodes to one is refused
        // before anything is looked up, and the log shows where it stood.
        {"GET /ten%00.html HTTP/1.1\r\nUser-Agent: t/1\r\n\r\n",
         "HTTP/1.1 400 Bad Request", "Connection: close\r\n",
         "400 Bad Request\n", "0", "400", "", "/ten\\x00"},
        {"GET /ten%00/x HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request",
         "Connection: close\r\n", "400 Bad Request\n", "0", "400", "",
         "/ten\\x00"},
        // Refused before the target is stored.
        {"GET/ten HTTP/1.1\r\nUser-Agent: t/1\r\n\r\n",
         "HTTP/1.1 400 Bad Request", "Connection: close\r\n",
         "400 Bad Request\n", "0", "400", "", ""},
        {"POST /ten HTTP/1.1\r\nUser-Agent: t/1\r\n\r\n",
         "HTTP/1.1 405 Method Not Allowed", "Allow: HEAD, GET\r\n",
         "405 Method Not Allowed\n", "0", "405", "", ""},
        // Refused after the target is stored, before the header fields.
        {"GET /ten HTTP/2.0\r\nUser-Agent: t/1\r\n\r\n",
         "HTTP/1.1 505 HTTP Version not supported", "Connection: close\r\n",
         "505 HTTP Version not supported\n", "0", "505", "", "/ten"},
        // The head ends at its first blank line, whatever the same write
        // brings behind it: a body, or a second request, is answered at
        // once and never read as header lines.
        {"POST /ten HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
         "HTTP/1.1 405 Method Not Allowed", "Allow: HEAD, GET\r\n",
         "405 Method Not Allowed\n", "0", "405", "", ""},
        {"GET /ten HTTP/1.1\r\nContent-Length: 5\r\nUser-Agent: t/1\r\n"
         "\r\nhello",
         "HTTP/1.1 200 OK", "Content-Length: 10\r\n", "0123456789", "10", "200",
         "t/1", "/ten"},
        {"GET /ten HTTP/1.1\r\nUser-Agent: t/1\r\n\r\n\r\nRange: bytes=0-0"
         "\r\nUser-Agent: body\r\n\r\n",
         "HTTP/1.1 200 OK", "Content-Length: 10\r\n", "0123456789", "10", "200",
         "t/1", "/ten"},
        {"GET /ten HTTP/1.1\r\nUser-Agent: first\r\n\r\n"
         "GET /empty HTTP/1.1\r\nUser-Agent: second\r\n\r\n",
         "HTTP/1.1 200 OK", "Content-Length: 10\r\n", "0123456789", "10", "200",
         "first", "/ten"},
    };
    Server s;
    ASSERT_TRUE(start_server_on(s, dir, host)) << s.err;
    size_t logged = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        std::string response = exchange(s.port, c.request, host.c_str());
        std::string head = head_of(response);
        EXPECT_EQ(head.rfind(std::string(c.status_line) + "\r\n", 0), 0u)
            << response;
        EXPECT_NE(head.find(std::string("\r\n") + c.header), std::string::npos)
            << response;
        EXPECT_EQ(body_of(response), c.body);

        // The worker writes its line once the connection is closed.
        logged++;
        ASSERT_TRUE(s.wait_lines(logged + 1)) << s.out;
        ASSERT_EQ(s.log_lines().size(), logged) << s.out;
        EXPECT_EQ(s.log_lines().back(),
                  log_line(c.bytes, address, c.status, c.agent, c.target));
    }
}

TEST_F(Exchange, AnswersAndLogsOverIPv4)
{
    expect_exchanges("127.0.0.1", "127.0.0.1");
}

TEST_F(Exchange, AnswersAndLogsOverIPv6) { expect_exchanges("::1", "::1"); }

// A FIFO in the served tree is answered at once, with or without a process
// that holds it open for writing: opening it to read would otherwise wait
// for a writer for ever, and keep the worker with it.
TEST_F(Exchange, AFifoGets500AtOnce)
{
    std::string fifo = dir + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    for (bool writer : {false, true}) {
        SCOPED_TRACE(writer ? "with a writer" : "without a writer");
        // Read and write, so that opening it does not wait either.
        int held = writer ? open(fifo.c_str(), O_RDWR) : -1;
        std::string response =
            exchange(s.port, "GET /pipe HTTP/1.1\r\nUser-Agent: t\r\n\r\n");
        if (held != -1)
            close(held);
        EXPECT_EQ(head_of(response).rfind("HTTP/1.1 500 ", 0), 0u) << response;
        EXPECT_EQ(body_of(response), "500 Internal Server Error\n");
    }
    ASSERT_TRUE(s.wait_lines(3)) << s.out;
    EXPECT_EQ(s.log_lines(),
              std::vector<std::string>(
                  2, log_line("0", "127.0.0.1", "500", "t", "/pipe")));
}

// A FIFO is refused by its name alone, never opened: opening it would let
// a writer waiting in its own open go on, only to die of a broken pipe once
// the worker closed it.
TEST_F(Exchange, AFifoIsNotOpened)
{
    std::string fifo = dir + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int released[2];
    ASSERT_EQ(pipe(released), 0);
    pid_t writer = fork();
    ASSERT_NE(writer, -1);
    if (writer == 0) {
        close(released[0]);
        signal(SIGPIPE, SIG_DFL);
        if (open(fifo.c_str(), O_WRONLY) != -1)
            (void)!write(released[1], "x", 1);
        _exit(0);
    }
    close(released[1]);
    // Whatever the outcome, the writer does not outlive the test.
    struct Reaper {
        pid_t pid;
        ~Reaper()
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } reaper{writer};
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    // Once the writer waits in its open, the kernel names that call.
    long long deadline = now_ms() + 10000;
    long call = current_syscall(writer);
    while (call != SYS_openat && call != SYS_open && now_ms() < deadline) {
        usleep(1000);
        call = current_syscall(writer);
    }
    ASSERT_TRUE(call == SYS_openat || call == SYS_open) << call;

    std::string response = exchange(s.port, "GET /pipe HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head_of(response).rfind("HTTP/1.1 500 ", 0), 0u) << response;
    ASSERT_TRUE(s.wait_lines(2)) << s.out;
    // A released writer says so at once; half a second of silence is ample
    // for a process that only has to be scheduled.
    struct pollfd p = {released[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 500), 0) << "the writer's open returned";

    close(released[0]);
}

// A deploy renames a new version over the old one while requests arrive.
// Each answer must be of one version: its length, date and bytes, and a
// range only while If-Range names the date of the bytes sent.
TEST_F(Exchange, AFileReplacedByRenameIsAnsweredAsOneVersion)
{
    constexpr time_t A_TIME = 1000000000; // 2001
    constexpr time_t B_TIME = 2000000000; // 2033
    const std::string a_date = "Sun, 09 Sep 2001 01:46:40 GMT";
    const std::string b_date = "Wed, 18 May 2033 03:33:20 GMT";
    write_file(dir + "/a.version", std::string(100000, 'a'));
    write_file(dir + "/b.version", std::string(50000, 'b'));
    struct timeval a_times[2] = {{A_TIME, 0}, {A_TIME, 0}};
    struct timeval b_times[2] = {{B_TIME, 0}, {B_TIME, 0}};
    ASSERT_EQ(utimes((dir + "/a.version").c_str(), a_times), 0);
    ASSERT_EQ(utimes((dir + "/b.version").c_str(), b_times), 0);
    const std::string file = dir + "/file", tmp = dir + "/next";
    ASSERT_EQ(link((dir + "/a.version").c_str(), file.c_str()), 0);

    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    std::atomic<bool> done{false};
    std::thread deployer([&] {
        for (bool b = true; !done; b = !b) {
            const std::string &src = dir + (b ? "/b.version" : "/a.version");
            if (link(src.c_str(), tmp.c_str()) == 0)
                rename(tmp.c_str(), file.c_str());
        }
    });

    constexpr int REQUESTS = 1500;
    int seen_a = 0, seen_b = 0, mixed = 0;
    std::string first_mixed;
    for (int i = 0; i < REQUESTS; i++) {
        // Every other request resumes a download of version A.
        bool resume = i % 2 == 1;
        std::string request = "GET /file HTTP/1.1\r\n";
        if (resume)
            request += "Range: bytes=0-99\r\nIf-Range: " + a_date + "\r\n";
        std::string response = ::exchange(s.port, request + "\r\n");
        std::string head = head_of(response), body = body_of(response);
        bool is_a = !body.empty() && body[0] == 'a';
        const std::string &date = is_a ? a_date : b_date;
        size_t size = is_a ? 100000 : 50000;
        std::string expected;
        if (resume && is_a)
            expected = "HTTP/1.1 206 Partial Content\r\n";
        else
            expected = "HTTP/1.1 200 OK\r\n";
        size_t length = expected.find("206") != std::string::npos ? 100 : size;
        bool whole = head.rfind(expected, 0) == 0 &&
                     head.find("\r\nLast-Modified: " + date + "\r\n") !=
                         std::string::npos &&
                     head.find("\r\nContent-Length: " +
                               std::to_string(length) + "\r\n") !=
                         std::string::npos &&
                     body == std::string(length, is_a ? 'a' : 'b');
        if (!whole && mixed++ == 0)
            first_mixed = head + "(" + std::to_string(body.size()) +
                          " bytes of " + (body.empty() ? '-' : body[0]) + ")";
        (is_a ? seen_a : seen_b)++;
    }
    done = true;
    deployer.join();
    EXPECT_EQ(mixed, 0) << first_mixed;
    // Both versions went out, so the renames met the requests.
    EXPECT_GT(seen_a, 0);
    EXPECT_GT(seen_b, 0);
}

// A modification time the four-digit year cannot hold is shown as the
// nearer end of the range. Shown as the latest date, a file dated before
// year 0 would answer every revalidation with 304, even after it changed.
// tmpfs keeps such times; ext4 would clamp them to 1901.
TEST(LastModified, ClampsTimesBeforeYearZeroToTheEarliestDate)
{
    char root[] = "/dev/shm/corvansel-test-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    std::string dir = root;
    write_file(dir + "/old", "x");
    struct timeval times[2] = {{-70000000000, 0}, {-70000000000, 0}};
    ASSERT_EQ(utimes((dir + "/old").c_str(), times), 0);
    struct stat st;
    ASSERT_EQ(stat((dir + "/old").c_str(), &st), 0);
    ASSERT_EQ(st.st_mtime, -70000000000);

    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    std::string head = head_of(exchange(s.port, "HEAD /old HTTP/1.1\r\n\r\n"));
    EXPECT_NE(head.find("\r\nLast-Modified: Sat, 01 Jan 0000 00:00:00 GMT\r\n"),
              std::string::npos)
        << head;
    // A client that saw the earliest date gets the file again once it is
    // newer.
    times[0].tv_sec = times[1].tv_sec = FILE_TIME;
    ASSERT_EQ(utimes((dir + "/old").c_str(), times), 0);
    std::string again = exchange(
        s.port, "GET /old HTTP/1.1\r\nIf-Modified-Since: Sat, 01 Jan 0000 "
                "00:00:00 GMT\r\n\r\n");
    EXPECT_EQ(again.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << again;
    s.stop();
    remove_tree(dir);
}

TEST_F(Exchange, EscapesControlBytesAndBackslashInTheLog)
{
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    // The target decodes to TAB, LF, backslash, DEL, ESC and a two-byte
    // UTF-8 letter; the agent carries a CR and a TAB.
    std::string response =
        exchange(s.port, "GET /a%09b%0Ac%5Cd%7F%1b%C3%A9 HTTP/1.1\r\n"
                         "User-Agent: x\ry\tz\r\n\r\n");
    EXPECT_EQ(response.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << response;
    // A plain exchange after it shows that the first one made one line.
    exchange(s.port, "GET /ten HTTP/1.1\r\nUser-Agent: plain\r\n\r\n");
    ASSERT_TRUE(s.wait_lines(3)) << s.out;
    std::vector<std::string> lines = s.log_lines();
    ASSERT_EQ(lines.size(), 2u) << s.out;
    EXPECT_EQ(lines[0], log_line("0", "127.0.0.1", "404", "x\\x0dy\\x09z",
                                 "/a\\x09b\\x0ac\\x5cd\\x7f\\x1b\xc3\xa9"));
    EXPECT_EQ(lines[1], log_line("10", "127.0.0.1", "200", "plain", "/ten"));
}

TEST_F(Exchange, FiftyClientsAtOnceEachGetTheirFileAndOneLine)
{
    constexpr int CLIENTS = 50;
    // Long targets and escaped agents make lines of over half a kilobyte,
    // yet all fifty fit in the pipe, and it is drained between responses
    // too: a worker waiting on a full pipe would not close its connection.
    std::string dots, tabs, escaped_tabs;
    for (int i = 0; i < 200; i++)
        dots += "./";
    for (int i = 0; i < 50; i++)
        tabs += "\t", escaped_tabs += "\\x09";
    std::vector<std::string> content, request, expected;
    for (int i = 0; i < CLIENTS; i++) {
        char name[16];
        snprintf(name, sizeof name, "f%02d", i);
        std::string text;
        for (int k = 0; k < 200; k++)
            text += std::string(name) + " line " + std::to_string(k) + "\n";
        write_file(dir + "/" + name, text);
        content.push_back(text);
        std::string target = "/" + dots + name;
        request.push_back("GET " + target + " HTTP/1.1\r\nUser-Agent: a" +
                          tabs + name + "\\\r\n\r\n");
        expected.push_back(log_line(std::to_string(text.size()), "127.0.0.1",
                                    "200", "a" + escaped_tabs + name + "\\x5c",
                                    target));
    }

    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    std::vector<int> fds;
    for (int i = 0; i < CLIENTS; i++) {
        int fd = connect_to(s.port);
        ASSERT_NE(fd, -1);
        fds.push_back(fd);
    }
    for (int i = 0; i < CLIENTS; i++)
        EXPECT_TRUE(send_all(fds[i], request[i]));
    for (int i = 0; i < CLIENTS; i++) {
        SCOPED_TRACE(i);
        s.wait_lines(CLIENTS + 1, 1);
        std::string response = read_all(fds[i]);
        close(fds[i]);
        EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
        EXPECT_EQ(body_of(response), content[i]);
    }

    ASSERT_TRUE(s.wait_lines(CLIENTS + 1)) << s.out;
    // Every worker wrote before its client saw the end of its response; a
    // short wait shows that nothing more follows.
    EXPECT_FALSE(s.wait_lines(CLIENTS + 2, 500));
    std::vector<std::string> lines = s.log_lines();
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

TEST_F(Exchange, ClientLeavingMidTransferIsLoggedAs408WithPartialBytes)
{
    ASSERT_TRUE(make_large_file(dir + "/large", LARGE_FILE_SIZE));
    // The server must survive a vanished client by itself: start it with
    // the default action for SIGPIPE, whatever this test inherited.
    void (*inherited)(int) = signal(SIGPIPE, SIG_DFL);
    Server s;
    bool started = start_server_on(s, dir);
    signal(SIGPIPE, inherited);
    ASSERT_TRUE(started) << s.err;

    // A client that gives up after some of the body resets the connection
    // while the worker writes. One that closes right after its request
    // gets its reset only when the response arrives, after its end of
    // stream: the write that follows fails as on a broken pipe, which by
    // default would end the worker unlogged.
    struct Case {
        const char *name;
        size_t read_first;
    };
    constexpr Case cases[] = {{"reset after some of the body", 1000},
                              {"closed right after the request", 0}};
    size_t logged = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int fd = connect_slow(s.port);
        ASSERT_NE(fd, -1);
        ASSERT_TRUE(
            send_all(fd, "GET /large HTTP/1.1\r\nUser-Agent: t/1\r\n\r\n"));
        size_t body_received = 0;
        if (c.read_first > 0) {
            std::string got = read_at_least(fd, c.read_first);
            ASSERT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
            body_received = body_of(got).size();
            struct linger lg = {1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        close(fd);

        // Bounded by the worker's 30-second send time-out at worst.
        logged++;
        ASSERT_TRUE(s.wait_lines(logged + 1, 40000)) << s.out;
        std::vector<std::string> lines = s.log_lines();
        ASSERT_EQ(lines.size(), logged);
        unsigned long long bytes = 0;
        char rest[256] = "";
        ASSERT_EQ(sscanf(lines.back().c_str(), "%llu\t%255[^\n]", &bytes, rest),
                  2)
            << lines.back();
        EXPECT_STREQ(rest, "127.0.0.1\t408\tt/1\t/large");
        EXPECT_GE(bytes, body_received);
        EXPECT_LT(bytes, (unsigned long long)LARGE_FILE_SIZE);
    }
}
