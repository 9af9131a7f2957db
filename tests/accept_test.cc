// The accept loop: every connection gets a worker of its own, the server
// process keeps no copy of it, and no single client can end the server.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netinet/in.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

static const std::string NOT_FOUND = "HTTP/1.1 404 ";

class Accept : public testing::Test {
  protected:
    void
    SetUp() override
    {
        dir = make_temp_dir();
        ASSERT_TRUE(start_server_on(s, dir)) << s.err;
        server = server_process(s);
        ASSERT_GT(server, 0);
    }
    void
    TearDown() override
    {
        s.stop();
        remove_tree(dir);
    }

    // Sends a request on fd and reads its response to the end.
    static std::string
    ask(int fd, const std::string &target)
    {
        std::string request = "GET " + target + " HTTP/1.0\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            (ssize_t)request.size())
            return "send failed";
        std::string response;
        if (!read_to_end(fd, response))
            return "not closed: " + response;
        return response;
    }

    // Makes a sparse file "big" of size bytes, connects and sends a GET
    // for it; *fd is the connection.
    void
    ask_for_big_file(off_t size, int *fd)
    {
        int file = open((dir + "/big").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_NE(file, -1);
        ASSERT_EQ(ftruncate(file, size), 0);
        close(file);

        *fd = connect_to(s.port);
        ASSERT_NE(*fd, -1);
        const std::string request = "GET /big HTTP/1.0\r\n\r\n";
        ASSERT_EQ(send(*fd, request.data(), request.size(), 0),
                  (ssize_t)request.size());
    }

    // The server process closes its copy of a connection right after the
    // fork, which can come after the worker is done; wait for it.
    void
    expect_only_the_listener_left()
    {
        EXPECT_EQ(settled_socket_count(server, 1), 1);
    }

    bool
    server_alive()
    {
        int st;
        return waitpid(s.pid, &st, WNOHANG) == 0 && kill(server, 0) == 0;
    }

    std::string dir;
    Server s;
    pid_t server = -1;
};

TEST_F(Accept, ServesManyConnectionsInARow)
{
    constexpr int N = 40;
    for (int i = 0; i < N; i++) {
        SCOPED_TRACE(i);
        int fd = connect_to(s.port);
        ASSERT_NE(fd, -1);
        std::string target = "/";
        target += std::to_string(i);
        std::string response = ask(fd, target);
        close(fd);
        EXPECT_EQ(response.rfind(NOT_FOUND, 0), 0u) << response;
    }
    ASSERT_TRUE(s.wait_lines(1 + N));
    EXPECT_EQ(s.log_lines().size(), (size_t)N);
    expect_only_the_listener_left();
}

// All connections are open before any request is sent, and the requests go
// out newest first: a server that served one connection at a time would
// still be waiting for the first request.
TEST_F(Accept, ServesManyConnectionsAtOnce)
{
    constexpr int N = 30;
    std::vector<int> fds;
    for (int i = 0; i < N; i++) {
        int fd = connect_to(s.port);
        ASSERT_NE(fd, -1);
        fds.push_back(fd);
    }
    for (int i = N - 1; i >= 0; i--) {
        SCOPED_TRACE(i);
        std::string target = "/";
        target += std::to_string(i);
        std::string response = ask(fds[i], target);
        EXPECT_EQ(response.rfind(NOT_FOUND, 0), 0u) << response;
    }
    for (int fd : fds)
        close(fd);
    ASSERT_TRUE(s.wait_lines(1 + N));
    EXPECT_EQ(s.log_lines().size(), (size_t)N);
    expect_only_the_listener_left();
}

static void
connect_and_reset(int port)
{
    int fd = connect_to(port);
    ASSERT_NE(fd, -1);
    struct linger lg = {1, 0};
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
    close(fd);
}

// Resets both before the server accepts (it is stopped meanwhile, so they
// wait in the backlog) and while it runs.
TEST_F(Accept, ClientsThatResetDoNotEndTheServer)
{
    ASSERT_EQ(kill(server, SIGSTOP), 0);
    for (int i = 0; i < 20; i++)
        connect_and_reset(s.port);
    ASSERT_EQ(kill(server, SIGCONT), 0);
    for (int i = 0; i < 20; i++)
        connect_and_reset(s.port);

    std::string response = exchange(s.port, "GET /after HTTP/1.0\r\n\r\n");
    EXPECT_EQ(response.rfind(NOT_FOUND, 0), 0u) << response;
    EXPECT_TRUE(server_alive());
    EXPECT_EQ(server_process(s), server);
    expect_only_the_listener_left();
    // Whatever accept reported, it was a warning, not the end.
    s.read_err(0);
    EXPECT_EQ(s.err.find("corvansel: poll"), std::string::npos) << s.err;
    EXPECT_EQ(s.err.find("bad fd"), std::string::npos) << s.err;
}

// Out of descriptors, accept fails; the server reports it, waits and takes
// the connection once it can.
TEST_F(Accept, RunningOutOfDescriptorsIsReportedAndOutlasted)
{
    struct rlimit old;
    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, nullptr, &old), 0);
    // Only descriptors below the limit can be opened, and accept takes the
    // lowest free one: a limit at that number leaves it nothing. The
    // listener may lie above a free one (where the server process's
    // start-up closed something).
    struct rlimit tight = old;
    std::string fd_dir = "/proc/" + std::to_string(server) + "/fd/";
    tight.rlim_cur = 0;
    while (access((fd_dir + std::to_string(tight.rlim_cur)).c_str(), F_OK) == 0)
        tight.rlim_cur++;
    ASSERT_GE(tight.rlim_cur, 3u);
    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, &tight, nullptr), 0);

    int fd = connect_to(s.port);
    ASSERT_NE(fd, -1);
    const std::string report = "corvansel: accept: Too many open files\n";
    for (int i = 0; i < 100 && s.err.find(report) == std::string::npos; i++)
        s.read_err(100);
    EXPECT_NE(s.err.find(report), std::string::npos) << s.err;
    EXPECT_TRUE(server_alive());

    ASSERT_EQ(prlimit(server, RLIMIT_NOFILE, &old, nullptr), 0);
    std::string response = ask(fd, "/late");
    close(fd);
    EXPECT_EQ(response.rfind(NOT_FOUND, 0), 0u) << response;
    EXPECT_TRUE(server_alive());
}

// A worker must not keep the listening socket: once the server process is
// gone, the port must refuse connections and be free to bind again, even
// while a long transfer goes on.
TEST_F(Accept, KilledServerLeavesNoListenerBehind)
{
    constexpr off_t SIZE = 64 << 20;
    int fd = -1;
    ASSERT_NO_FATAL_FAILURE(ask_for_big_file(SIZE, &fd));
    // The head is there, so the worker exists and is writing the body; it
    // blocks once the socket buffers are full, as nobody reads.
    std::string received;
    while (received.find("\r\n\r\n") == std::string::npos) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        ASSERT_GT(n, 0);
        received.append(buf, (size_t)n);
    }
    std::vector<pid_t> workers = children_of(server);
    ASSERT_EQ(workers.size(), 1u);

    ASSERT_EQ(kill(server, SIGKILL), 0);
    EXPECT_NE(s.wait_exit(), -1);
    EXPECT_EQ(kill(workers[0], 0), 0) << "the worker ended with the server";

    int refused = connect_to(s.port);
    EXPECT_EQ(refused, -1) << "a connection was queued for nobody";
    if (refused != -1)
        close(refused);
    int again = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ASSERT_EQ(setsockopt(again, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)s.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(again, (struct sockaddr *)&a, sizeof a), 0)
        << strerror(errno);
    EXPECT_EQ(listen(again, 1), 0) << strerror(errno);
    close(again);

    // The worker outlives the server process and finishes its transfer.
    ASSERT_TRUE(read_to_end(fd, received));
    close(fd);
    size_t head = received.find("\r\n\r\n") + 4;
    EXPECT_EQ(received.size() - head, (size_t)SIZE);
}

// A client that goes away in the middle of a body makes the worker's next
// write fail; the worker must live on to log the exchange rather than be
// killed by SIGPIPE. The client ends its side before the body comes, so
// that the reset which its close sends finds the worker's side half
// closed, which makes the failing write raise SIGPIPE.
TEST_F(Accept, WorkerLogsAClientThatLeftMidTransfer)
{
    constexpr off_t SIZE = 64 << 20;
    int fd = -1;
    ASSERT_NO_FATAL_FAILURE(ask_for_big_file(SIZE, &fd));
    ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    char buf[4096];
    ASSERT_GT(read(fd, buf, sizeof buf), 0);
    close(fd);

    ASSERT_TRUE(s.wait_lines(2)) << s.out;
    std::string line = s.log_lines().at(0);
    EXPECT_NE(line.find("\t127.0.0.1\t408\t\t/big"), std::string::npos) << line;
    EXPECT_LT(std::stoull(line), (unsigned long long)SIZE) << line;
}
