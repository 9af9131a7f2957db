// The server process of the real binary and its workers run under their
// seccomp filters, the supervisor does not, and a worker that the filter
// kills leaves the server serving.
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/fault_util.h"
#include "tests/harness.h"

#if defined(__linux__)

// The value of field in /proc/pid/status ("Seccomp", say), or "" when the
// process or the field is not there.
static std::string
status_field(pid_t pid, const std::string &field)
{
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE *fp = fopen(path.c_str(), "r");
    if (fp == nullptr)
        return "";
    std::string value;
    char line[256];
    while (fgets(line, sizeof line, fp) != nullptr) {
        std::string text = line;
        if (text.rfind(field + ":", 0) != 0)
            continue;
        size_t start = text.find_first_not_of(" \t", field.size() + 1);
        size_t end = text.find_last_not_of("\n");
        if (start != std::string::npos && end >= start)
            value = text.substr(start, end - start + 1);
        break;
    }
    fclose(fp);
    return value;
}

TEST(Confinement, WorkerServesUnderFilterAndItsKillSparesTheServer)
{
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(make_large_file(dir + "/large", LARGE_FILE_SIZE));
    write_file(dir + "/small", "small");

    // A worker killed by the filter dumps core where the limit allows: in
    // the served directory, which this test removes anyway.
    Server s;
    ASSERT_TRUE(start_prepared(s, server_command(dir), [] {
        struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
    })) << s.err;

    // A client that stops reading keeps its worker in the middle of the
    // transfer, where it can be looked at.
    int client = connect_slow(s.port);
    ASSERT_NE(client, -1);
    ASSERT_TRUE(send_all(client, "GET /large HTTP/1.1\r\n\r\n"));
    std::string got = read_at_least(client, 1000);
    ASSERT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got;

    pid_t server = server_process(s);
    ASSERT_NE(server, -1);
    std::vector<pid_t> workers = children_of(server);
    ASSERT_EQ(workers.size(), 1u);
    pid_t worker = workers[0];
    // The worker is born under the server process's two filters, the
    // main one and the arbiter's; the supervisor, which arbitrates, is
    // under none.
    EXPECT_EQ(status_field(worker, "Seccomp"), "2");
    EXPECT_EQ(status_field(worker, "Seccomp_filters"), "2");
    EXPECT_EQ(status_field(worker, "NoNewPrivs"), "1");
    EXPECT_EQ(status_field(server, "Seccomp"), "2");
    EXPECT_EQ(status_field(server, "Seccomp_filters"), "2");
    EXPECT_EQ(status_field(server, "NoNewPrivs"), "1");
    EXPECT_EQ(status_field(s.pid, "Seccomp"), "0");

    // What the filter's kill sends: the server goes on and serves the next
    // client.
    ASSERT_EQ(kill(worker, SIGSYS), 0);
    close(client);
    std::string response = exchange(s.port, "GET /small HTTP/1.1\r\n\r\n");
    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
    EXPECT_EQ(body_of(response), "small");
    EXPECT_EQ(server_process(s), server);
    // The killed worker wrote no line; the next one did.
    ASSERT_TRUE(s.wait_lines(2)) << s.out;
    EXPECT_EQ(s.log_lines(), std::vector<std::string>{log_line(
                                 "5", "127.0.0.1", "200", "", "/small")});

    s.stop();
    remove_tree(dir);
}

#endif
