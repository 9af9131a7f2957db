// A client that stops sending: the worker's receive time-out answers it.
// This test waits the whole 30-second time-out; ctest runs it alongside
// the others.
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/harness.h"

TEST(Timeout, SilentClientsGet408AndALineWithEmptyAgentAndTarget)
{
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    write_file(dir + "/ten", "0123456789");
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;

    // One client sends nothing; the other stops in the middle of its head,
    // after the target and an agent, which are not parsed before the head
    // is complete. Both wait out the same 30 seconds.
    int silent = connect_to(s.port);
    int partial = connect_to(s.port);
    ASSERT_NE(silent, -1);
    ASSERT_NE(partial, -1);
    ASSERT_TRUE(send_all(partial, "GET /ten HTTP/1.1\r\nUser-Agent: t/1\r\n"));

    const std::string expected_head = "HTTP/1.1 408 Request Time-out\r\n";
    for (int fd : {silent, partial}) {
        std::string response = read_all(fd, 45000);
        close(fd);
        EXPECT_EQ(response.rfind(expected_head, 0), 0u) << response;
        EXPECT_EQ(body_of(response), "408 Request Time-out\n");
    }
    ASSERT_TRUE(s.wait_lines(3)) << s.out;
    std::vector<std::string> lines = s.log_lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string &line : lines)
        EXPECT_EQ(line, "0\t127.0.0.1\t408\t\t");
    remove_tree(dir);
}
