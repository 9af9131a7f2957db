// 10,000 connections from a real load tool, ab from Apache's utilities,
// against the real binary: none may fail and each leaves one log line.
#include <stdio.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/fault_util.h"
#include "tests/harness.h"

// The value after label in ab's report, or -1 when the line is missing.
static long long
report_number(const std::string &report, const std::string &label)
{
    size_t at = report.find("\n" + label);
    if (at == std::string::npos)
        return -1;
    return strtoll(report.c_str() + at + 1 + label.size(), nullptr, 10);
}

static std::string
report_line(const std::string &report, const std::string &label)
{
    size_t at = report.find("\n" + label);
    if (at == std::string::npos)
        return "";
    size_t end = report.find('\n', at + 1);
    return report.substr(at + 1, end - at);
}

// Takes 20 to 45 s alone, depending on the build, and minutes beside a
// busy machine's other work; in the slow group.
TEST(SlowLoad, TenThousandConnectionsInARow)
{
    constexpr int REQUESTS = 10000;
    // One at a time: with more, ab may open one more connection near the
    // end and close it unused, and the server logs that one too (a 400).
    constexpr int CONCURRENCY = 1;
    const std::string page(1000, 'p');
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    write_file(dir + "/page", page);
    Server s;
    ASSERT_TRUE(start_prepared(s, server_command(dir), skip_leak_check));

    // -r: a failed receive is counted, not the end of the run; -s: no
    // request waits for ever.
    std::string command = "ab -q -r -s 30 -n " + std::to_string(REQUESTS) +
                          " -c " + std::to_string(CONCURRENCY) +
                          " http://127.0.0.1:" + std::to_string(s.port) +
                          "/page 2>&1";
    // The log is read while ab runs: a worker writes its line before it
    // closes the connection, so a full pipe would hold every client back.
    std::string report = "\n";
    int status = -1;
    std::atomic<bool> done = false;
    std::thread load([&] {
        FILE *fp = popen(command.c_str(), "r");
        if (fp != nullptr) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
                report.append(buf, n);
            status = pclose(fp);
        }
        done = true;
    });
    while (!done)
        s.wait_lines(1 + REQUESTS, 100);
    load.join();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "ab failed (is apache2-utils installed?):" << report;

    EXPECT_EQ(report_number(report, "Complete requests:"), REQUESTS) << report;
    EXPECT_EQ(report_number(report, "Failed requests:"), 0) << report;
    // ab prints this line only when some answer was not a 2xx.
    EXPECT_EQ(report_number(report, "Non-2xx responses:"), -1) << report;
    EXPECT_EQ(report_number(report, "Document Length:"),
              (long long)page.size());

    // Every line is written before its worker ends, and ab has seen every
    // connection end; a short wait more shows that no line comes late.
    bool all = s.wait_lines(1 + REQUESTS, 30000);
    s.wait_lines(2 + REQUESTS, 500);
    size_t lines = s.log_lines().size();
    EXPECT_TRUE(all);
    EXPECT_EQ(lines, (size_t)REQUESTS);
    EXPECT_EQ(count_status(s, "200"), (size_t)REQUESTS);
    for (const std::string &line : s.log_lines())
        if (line.find("\t200\t") == std::string::npos)
            ADD_FAILURE() << "not served: " << line;
    printf("load: ab -n %d -c %d: %lld complete, %lld failed; %zu log lines\n"
           "load: %s",
           REQUESTS, CONCURRENCY, report_number(report, "Complete requests:"),
           report_number(report, "Failed requests:"), lines,
           report_line(report, "Requests per second:").c_str());
    s.stop();
    remove_tree(dir);
}
