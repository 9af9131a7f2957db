// The binary starts, serves a file and logs it.
#include <gtest/gtest.h>

#include "tests/harness.h"

TEST(Smoke, ServesAFileAndLogsIt)
{
    std::string dir = make_temp_dir();
    write_file(dir + "/ten", "0123456789");
    Server s;
    ASSERT_TRUE(start_server_on(s, dir));
    std::string response =
        exchange(s.port, "GET /ten HTTP/1.1\r\nUser-Agent: t\r\n\r\n");
    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
    EXPECT_EQ(response.substr(response.size() - 10), "0123456789");
    ASSERT_TRUE(s.wait_lines(2));
    EXPECT_EQ(s.log_lines().at(0), "10\t127.0.0.1\t200\tt\t/ten");
    int status = s.stop();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    remove_tree(dir);
}
