// The connection worker end to end over a socket pair: the response, the
// log line that follows it, and how the connection ends.
#include "server/worker.h"

#include <arpa/inet.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/request.h"
#include "server/log.h"

TEST(ServeConnection, WritesALongLogLineInOneWrite)
{
    // Standard output is a datagram socket here, which keeps the bounds of
    // every write: a line written in pieces arrives as several datagrams.
    int conn[2], log[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, conn), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, log), 0);
    int size = 1 << 20;
    setsockopt(log[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(log[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);

    // Raw TABs in the target and control bytes in the agent: each is
    // escaped to four bytes, a line longer than a stdio buffer.
    std::string target = "/" + std::string(TARGET_MAX - 2, '\t');
    std::string agent(FIELD_VALUE_MAX - 1, '\x01');
    std::string request =
        "GET " + target + " HTTP/1.1\r\nUser-Agent: " + agent + "\r\n\r\n";
    ASSERT_EQ(write(conn[1], request.data(), request.size()),
              (ssize_t)request.size());
    // Nothing more comes, so the worker need not wait for more.
    shutdown(conn[1], SHUT_WR);

    struct sockaddr_storage client = {};
    auto *in = reinterpret_cast<struct sockaddr_in *>(&client);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(log[0], STDOUT_FILENO);
    // As the server process does before its first fork.
    open_log();
    serve_connection(conn[0], &client);
    // What a worker's exit would flush.
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(log[0]);

    char response[512];
    ssize_t n = read(conn[1], response, sizeof response - 1);
    ASSERT_GT(n, 0);
    response[n] = '\0';
    EXPECT_EQ(strncmp(response, "HTTP/1.1 404 Not Found\r\n", 24), 0)
        << response;
    close(conn[1]);

    std::string escaped_agent, escaped_target = "/";
    for (size_t i = 0; i < agent.size(); i++)
        escaped_agent += "\\x01";
    for (size_t i = 1; i < target.size(); i++)
        escaped_target += "\\x09";
    std::vector<std::string> datagrams;
    static char buf[2 * LOG_LINE_SIZE];
    struct pollfd p = {log[1], POLLIN, 0};
    while (poll(&p, 1, 0) == 1) {
        ssize_t got = recv(log[1], buf, sizeof buf, 0);
        if (got <= 0)
            break;
        datagrams.emplace_back(buf, (size_t)got);
    }
    close(log[1]);
    EXPECT_EQ(datagrams,
              std::vector<std::string>{"0\t127.0.0.1\t404\t" + escaped_agent +
                                       "\t" + escaped_target + "\n"});
}
