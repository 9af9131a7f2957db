// The command line: the help text, the usage error, and which arguments
// reach the server.
#include <sys/wait.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

static const std::string HELP_OUT =
    "summary:\n"
    "    -d dir      Switch to the specified directory\n"
    "    -l address  Hostname or IP address listen on\n"
    "docs:\n"
    "    man corvansel\n";
static const std::string HELP_ERR =
    "release: 3.5\n"
    "usage: corvansel [-d dir] [-l address] port\n";
static const std::string USAGE_ERR =
    HELP_ERR + "hint: use -h to display option summary\n";

// Every case that gets past the command line would start a server; PORT
// stands for a free port so that such a fault cannot take a shared one,
// and the run is killed when it does not end by itself.
TEST(CommandLine, HelpAndUsageErrorsWriteExactTextAndExitOne)
{
    const std::string port = std::to_string(free_port());
    struct Case {
        std::vector<std::string> args;
        bool help;
    };
    const Case cases[] = {
        {{"-h"}, true},
        // Nothing behind a leading -h is looked at.
        {{"-h", "-x"}, true},
        {{"-h", "-d", "/", port}, true},
        {{"-h", port, port}, true},
        // -h anywhere else, or with more letters, is an unknown option.
        {{"-hx"}, false},
        {{"-hx", port}, false},
        {{"-d", "/", "-h", port}, false},
        {{"-l", "127.0.0.1", "-h"}, false},
        // Not exactly one operand.
        {{}, false},
        {{"-d", "/"}, false},
        {{"-d", port}, false},
        {{port, port}, false},
        {{"--", port, port}, false},
        // Scanning stops at the port, so what follows counts as operands.
        {{port, "-d", "/"}, false},
        {{"-l", "127.0.0.1", port, "-l", "::1"}, false},
        // An option without its argument.
        {{"-d"}, false},
        {{"-l"}, false},
        {{port, "-d"}, false},
        // Unknown options.
        {{"-x", port}, false},
        {{"-d", "/", "-p", port}, false},
        {{"--dir", "/", port}, false},
    };
    for (const Case &c : cases) {
        std::string trace;
        for (const std::string &a : c.args)
            trace += "[" + a + "] ";
        SCOPED_TRACE(trace);
        ::Run r = run_binary(c.args);
        ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
        EXPECT_EQ(WEXITSTATUS(r.status), 1);
        EXPECT_EQ(r.out, c.help ? HELP_OUT : "");
        EXPECT_EQ(r.err, c.help ? HELP_ERR : USAGE_ERR);
    }
}

TEST(CommandLine, DoubleDashBeforeThePortIsAccepted)
{
    int port = free_port();
    Server s;
    ASSERT_TRUE(
        start_server(s, {"-l", "127.0.0.1", "--", std::to_string(port)}))
        << s.err;
    EXPECT_EQ(s.out,
              "Listening on 127.0.0.1 port " + std::to_string(port) + "\n");
}

// A repeated option replaces the earlier value.
TEST(CommandLine, RepeatedOptionsTakeTheLastValue)
{
    std::string first = make_temp_dir(), second = make_temp_dir();
    write_file(first + "/only-first", "1");
    write_file(second + "/only-second", "2");
    int port = free_port();
    Server s;
    ASSERT_TRUE(start_server(s, {"-d", first, "-l", "::1", "-d", second, "-l",
                                 "127.0.0.1", std::to_string(port)}))
        << s.err;
    EXPECT_EQ(s.out,
              "Listening on 127.0.0.1 port " + std::to_string(port) + "\n");
    std::string hit = exchange(port, "GET /only-second HTTP/1.0\r\n\r\n");
    EXPECT_EQ(hit.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << hit;
    std::string miss = exchange(port, "GET /only-first HTTP/1.0\r\n\r\n");
    EXPECT_EQ(miss.rfind("HTTP/1.1 404 ", 0), 0u) << miss;
    s.stop();
    remove_tree(first);
    remove_tree(second);
}
