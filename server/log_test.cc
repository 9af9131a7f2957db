// The access log line: its five columns, and the escaping that keeps a
// client from adding a column or a line.
#include "server/log.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "http/request.h"
#include "server/listen.h"

static Request
request_with(const std::string &agent, const std::string &target)
{
    Request r = {};
    snprintf(r.field[FIELD_USER_AGENT], sizeof r.field[FIELD_USER_AGENT], "%s",
             agent.c_str());
    snprintf(r.target, sizeof r.target, "%s", target.c_str());
    return r;
}

TEST(FormatLogLine, EscapesControlBytesDelAndBackslashOnly)
{
    struct Case {
        const char *agent, *target;
        const char *agent_out, *target_out;
    };
    const Case cases[] = {
        // Ordinary text, blanks, punctuation and bytes above 0x7f as they are.
        {"curl/8.0 (x86_64)", "/a b/c~d.txt", "curl/8.0 (x86_64)",
         "/a b/c~d.txt"},
        {"caf\xc3\xa9", "/\x80\xff", "caf\xc3\xa9", "/\x80\xff"},
        {"", "", "", ""},
        {"a\tb", "/x\ty", "a\\x09b", "/x\\x09y"},
        {"a\rb\nc", "/\r\n", "a\\x0db\\x0ac", "/\\x0d\\x0a"},
        {"\x01\x1f\x20", "/\x7f\x7e", "\\x01\\x1f ", "/\\x7f~"},
        // A literal escape in the input stays distinguishable from one that
        // the log wrote.
        {"\\x09", "/\\", "\\x5cx09", "/\\x5c"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.agent) + " | " + c.target);
        Request r = request_with(c.agent, c.target);
        r.bytes_sent = 5;
        char line[LOG_LINE_SIZE];
        size_t len = format_log_line(line, &r, "127.0.0.1", STATUS_OK);
        EXPECT_EQ(std::string(line, len), std::string("5\t127.0.0.1\t200\t") +
                                              c.agent_out + "\t" +
                                              c.target_out + "\n");
    }
}

TEST(FormatLogLine, LongestLineFitsWithFiveColumns)
{
    // Every byte of both texts escaped, the widest numbers and the widest
    // address text.
    std::string agent(FIELD_VALUE_MAX - 1, '\t');
    std::string target(TARGET_MAX - 1, '\n');
    Request r = request_with(agent, target);
    r.bytes_sent = UINT64_MAX;
    const char address[] = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
    static_assert(sizeof address == ADDRESS_TEXT_SIZE);

    // A guard after the buffer shows an overrun without a sanitizer too.
    struct {
        char line[LOG_LINE_SIZE];
        char guard[64];
    } out;
    memset(out.guard, 'G', sizeof out.guard);
    size_t len = format_log_line(out.line, &r, address, INT_MIN);

    EXPECT_LT(len, sizeof out.line);
    EXPECT_EQ(std::string(out.guard, sizeof out.guard),
              std::string(sizeof out.guard, 'G'));
    std::string line(out.line, std::min(len, sizeof out.line));
    std::string escaped_agent, escaped_target;
    for (size_t i = 0; i < agent.size(); i++)
        escaped_agent += "\\x09";
    for (size_t i = 0; i < target.size(); i++)
        escaped_target += "\\x0a";
    EXPECT_EQ(line, std::string("18446744073709551615\t") + address +
                        "\t-2147483648\t" + escaped_agent + "\t" +
                        escaped_target + "\n");
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 4);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
}
