// Real HTTP clients against the real binary: what they save must be the
// served file's bytes exactly.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/harness.h"

// What a client program printed and how it ended.
struct ToolRun {
    int status = -1; // as waitpid reports it; -1 when it had to be killed
    std::string out, err;
};

// Runs a program found on PATH in directory cwd, for at most timeout_ms.
static ToolRun
run_tool(const std::vector<std::string> &args, const std::string &cwd,
         int timeout_ms = 20000)
{
    ToolRun r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) == -1 || pipe2(err, O_CLOEXEC) == -1)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        if (chdir(cwd.c_str()) == -1)
            _exit(126);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    struct pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *text[2] = {&r.out, &r.err};
    int open_count = 2;
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool expired = false;
    while (open_count > 0) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = timeout_ms - ((now.tv_sec - start.tv_sec) * 1000 +
                                  (now.tv_nsec - start.tv_nsec) / 1000000);
        if (left <= 0 || poll(p, 2, (int)left) <= 0) {
            expired = true;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (p[i].fd < 0 || p[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(p[i].fd);
                p[i].fd = -1;
                open_count--;
            } else {
                text[i]->append(buf, (size_t)n);
            }
        }
    }
    for (const struct pollfd &q : p)
        if (q.fd >= 0)
            close(q.fd);
    if (expired)
        kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    if (!expired)
        r.status = status;
    return r;
}

static std::string
read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in),
                       std::istreambuf_iterator<char>());
}

// 2001-09-09 01:46:40 UTC, the modification time of the served file.
constexpr time_t FILE_TIME = 1000000000;

class Clients : public ::testing::Test {
  protected:
    void
    SetUp() override
    {
        served = make_temp_dir();
        work = make_temp_dir();
        ASSERT_FALSE(served.empty());
        ASSERT_FALSE(work.empty());
        // Every byte value, in an order that a shifted or repeated block
        // would not reproduce.
        unsigned x = 12345;
        for (int i = 0; i < 300000; i++) {
            x = x * 1103515245 + 12345;
            content.push_back((char)(x >> 16));
        }
        write_file(served + "/data.bin", content);
        struct timeval times[2] = {{FILE_TIME, 0}, {FILE_TIME, 0}};
        ASSERT_EQ(utimes((served + "/data.bin").c_str(), times), 0);
        ASSERT_TRUE(start_server_on(server, served)) << server.err;
        url = "http://127.0.0.1:" + std::to_string(server.port) + "/data.bin";
    }
    void
    TearDown() override
    {
        remove_tree(served);
        remove_tree(work);
    }

    // Runs curl quietly, with errors shown, and expects it to succeed.
    ToolRun
    curl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"curl", "-sS", "--max-time", "15"});
        ToolRun r = run_tool(args, work);
        EXPECT_NE(r.status, 127 << 8) << "curl is missing; .ci/run installs it";
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0)
            << r.status << " " << r.err;
        return r;
    }

    // The log line of the n-th exchange, counted from 1.
    std::string
    logged(size_t n)
    {
        if (!server.wait_lines(n + 1))
            return "";
        return server.log_lines().at(n - 1);
    }

    Server server;
    std::string served, work, content, url;
};

TEST_F(Clients, CurlGetSavesTheFileExactly)
{
    curl({"-o", "out", url});
    EXPECT_TRUE(read_file(work + "/out") == content);
    EXPECT_EQ(logged(1).rfind("300000\t127.0.0.1\t200\tcurl/", 0), 0u);
}

TEST_F(Clients, CurlHeadShowsTheFileHead)
{
    ToolRun r = curl({"-I", url});
    EXPECT_EQ(r.out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\r\nContent-Length: 300000\r\n"), std::string::npos)
        << r.out;
    EXPECT_NE(
        r.out.find("\r\nLast-Modified: Sun, 09 Sep 2001 01:46:40 GMT\r\n"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 4), "\r\n\r\n");
    EXPECT_EQ(logged(1).rfind("0\t127.0.0.1\t200\tcurl/", 0), 0u);
}

TEST_F(Clients, CurlRangeSavesThoseBytes)
{
    ToolRun r = curl({"-r", "2-5", "-o", "out", "-w", "%{http_code}", url});
    EXPECT_EQ(r.out, "206");
    EXPECT_TRUE(read_file(work + "/out") == content.substr(2, 4));
}

TEST_F(Clients, CurlTimeConditionFetchesOnlyWhenNewer)
{
    struct Case {
        const char *date, *code;
        bool whole;
    };
    constexpr Case cases[] = {
        {"Sun, 09 Sep 2001 01:46:40 GMT", "304", false},
        {"Sat, 08 Sep 2001 01:46:40 GMT", "200", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.date);
        unlink((work + "/out").c_str());
        ToolRun r =
            curl({"-z", c.date, "-o", "out", "-w", "%{http_code}", url});
        EXPECT_EQ(r.out, c.code);
        EXPECT_TRUE(read_file(work + "/out") == (c.whole ? content : ""));
    }
}

TEST_F(Clients, CurlResumesACutOffDownload)
{
    // The first attempt stops after 1000 bytes; the second asks for the
    // rest from where the saved file ends.
    curl({"-r", "0-999", "-o", "out", url});
    ASSERT_EQ(read_file(work + "/out").size(), 1000u);
    curl({"-C", "-", "-o", "out", url});
    EXPECT_TRUE(read_file(work + "/out") == content);
    EXPECT_EQ(logged(2).rfind("299000\t127.0.0.1\t206\tcurl/", 0), 0u);
}

TEST_F(Clients, WgetContinuesAPartialFile)
{
    write_file(work + "/data.bin", content.substr(0, 1000));
    ToolRun r =
        run_tool({"wget", "-q", "-c", "-t", "1", "-T", "15", url}, work);
    EXPECT_NE(r.status, 127 << 8) << "wget is missing; .ci/run installs it";
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0)
        << r.status << " " << r.err;
    EXPECT_TRUE(read_file(work + "/data.bin") == content);
    EXPECT_EQ(logged(1).rfind("299000\t127.0.0.1\t206\tWget/", 0), 0u);
}
