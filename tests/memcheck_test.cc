// The real binary under valgrind's memcheck: the supervisor, the server
// process and a worker for each kind of exchange, every one of them with
// no error reported.
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/fault_util.h"
#include "tests/harness.h"

#if defined(__SANITIZE_ADDRESS__)
#define CORVANSEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANSEL_SANITIZED 1
#endif
#endif

// The text of every file in dir whose name begins with prefix.
static std::vector<std::string>
read_logs(const std::string &dir, const std::string &prefix)
{
    std::vector<std::string> logs;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return logs;
    while (struct dirent *e = readdir(d)) {
        if (std::string(e->d_name).rfind(prefix, 0) != 0)
            continue;
        std::string text;
        FILE *fp = fopen((dir + "/" + e->d_name).c_str(), "r");
        if (fp == nullptr)
            continue;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
            text.append(buf, n);
        fclose(fp);
        logs.push_back(text);
    }
    closedir(d);
    return logs;
}

// Sends text, ends the sending side, and reads the answer to its end.
static std::string
exchange_and_close(int port, const std::string &text)
{
    int fd = connect_to(port);
    if (fd == -1)
        return "";
    std::string response;
    if (send_all(fd, text) && shutdown(fd, SHUT_WR) == 0)
        read_to_end(fd, response, 30000);
    close(fd);
    return response;
}

// Every worker checks its heap as it ends (--leak-check=full), so a leak
// on any path of the exchange is an error too.
TEST(Memcheck, EveryProcessRunsClean)
{
#ifdef CORVANSEL_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a binary built with the address "
                    "sanitizer; this test runs in the plain build";
#endif
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string served = dir + "/www";
    ASSERT_EQ(mkdir(served.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((served + "/sub").c_str(), 0755), 0);
    write_file(served + "/ten", "0123456789");
    write_file(served + "/empty", "");
    write_file(served + "/.hidden", "hidden");
    std::string big(3 * 16384 + 100, 'b');
    write_file(served + "/big", big);

    std::vector<std::string> command = {
        "valgrind", "--trace-children=yes", "--leak-check=full",
        "--error-exitcode=99", "--log-file=" + dir + "/memcheck.%p"};
    for (const std::string &arg : server_command(served))
        command.push_back(arg);
    Server s;
    ASSERT_TRUE(start_prepared(
        s, command, [] {}, 60000))
        << "is valgrind installed?\n"
        << s.err;

    // One worker for each path through the exchange, and the answer each
    // must bring.
    struct Case {
        const char *request, *status;
    };
    const std::string long_field =
        "GET /ten HTTP/1.1\r\nUser-Agent: " + std::string(300, 'a') +
        "\r\n\r\n";
    const Case cases[] = {
        {"GET /ten HTTP/1.1\r\nUser-Agent: t\r\n\r\n", "200"},
        {"HEAD /ten HTTP/1.0\r\n\r\n", "200"},
        {"GET /big HTTP/1.1\r\n\r\n", "200"},
        {"GET /empty HTTP/1.1\r\n\r\n", "200"},
        {"GET /ten HTTP/1.1\r\nRange: bytes=2-4\r\n\r\n", "206"},
        {"GET /empty HTTP/1.1\r\nRange: bytes=-5\r\n\r\n", "416"},
        {"GET /ten HTTP/1.1\r\nRange: bytes=10-\r\n\r\n", "416"},
        {"GET /ten HTTP/1.1\r\nRange: bytes=x\r\n\r\n", "400"},
        {"GET /ten HTTP/1.1\r\nIf-Modified-Since: Fri, 31 Dec 9999 23:59:59 "
         "GMT\r\n\r\n",
         "304"},
        {"GET /ten HTTP/1.1\r\nIf-Modified-Since: yesterday\r\n\r\n", "400"},
        {"GET /%2e%2e/sub/../missing?x HTTP/1.1\r\n\r\n", "404"},
        {"GET /.hidden HTTP/1.1\r\n\r\n", "403"},
        {"GET /sub HTTP/1.1\r\n\r\n", "403"},
        {"POST /ten HTTP/1.1\r\n\r\n", "405"},
        {"GET /ten HTTP/2.0\r\n\r\n", "505"},
        {long_field.c_str(), "431"},
        {"GET /ten\r\n\r\n", "400"},
        {"GET /a%09b%41 HTTP/1.1\r\n\r\n", "404"},
        // An escape that ends the target at a zero byte is refused.
        {"GET /a%09b%0 HTTP/1.1\r\n\r\n", "400"},
        // The client closes after part of a head, and at once.
        {"GET /ten HTTP/1.1\r\n", "400"},
        {"", "400"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        std::string response = exchange_and_close(s.port, c.request);
        EXPECT_EQ(response.rfind(std::string("HTTP/1.1 ") + c.status + " ", 0),
                  0u)
            << response;
    }
    size_t exchanges = sizeof cases / sizeof cases[0];
    EXPECT_TRUE(s.wait_lines(1 + exchanges, 60000));

    // Each process writes its summary as it ends, after its log line, and
    // a process killed first writes none: on a busy machine the harness's
    // SIGKILL to the group after the supervisor has gone could catch the
    // server process in its leak check. So the workers end first, then
    // the signal that the supervisor passes on ends the other two, and
    // every summary is complete once no process of the group is left.
    // The bounds only stop a hang: under valgrind a leak check takes a
    // while.
    EXPECT_EQ(wait_live_members(s.pid, 2, 60000), 2u) << "workers still run";
    ASSERT_EQ(kill(s.pid, SIGTERM), 0);
    EXPECT_NE(s.wait_exit(60000), -1);
    EXPECT_EQ(wait_live_members(s.pid, 0, 60000), 0u)
        << "the server process still runs";

    // The supervisor, the server process and one worker per exchange.
    std::vector<std::string> logs = read_logs(dir, "memcheck.");
    size_t clean = 0;
    for (const std::string &log : logs) {
        if (log.find("ERROR SUMMARY: 0 errors from 0 contexts") !=
            std::string::npos)
            clean++;
        else
            ADD_FAILURE() << log;
    }
    EXPECT_EQ(logs.size(), 2 + exchanges);
    printf("memcheck: %zu processes (supervisor, server, %zu workers) under "
           "valgrind, %zu with errors\n",
           logs.size(), exchanges, logs.size() - clean);
    remove_tree(dir);
}
