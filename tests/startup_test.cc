// Start-up of the server process: the listening banner and the failures
// that end it before any connection.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/fault_util.h"
#include "tests/harness.h"

class Startup : public testing::Test {
  protected:
    void
    SetUp() override
    {
        dir = make_temp_dir();
    }
    void
    TearDown() override
    {
        remove_tree(dir);
    }
    std::string dir;
};

TEST_F(Startup, BannerShowsNumericHostsInCompressedForm)
{
    struct Case {
        const char *host, *shown;
        int family;
    };
    constexpr Case cases[] = {
        {"127.0.0.1", "127.0.0.1", AF_INET},
        {"::1", "::1", AF_INET6},
        {"0:0:0:0:0:0:0:1", "::1", AF_INET6},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        int port = free_port(c.family);
        Server s;
        ASSERT_TRUE(
            start_server(s, {"-d", dir, "-l", c.host, std::to_string(port)}))
            << s.err;
        EXPECT_EQ(s.out, std::string("Listening on ") + c.shown + " port " +
                             std::to_string(port) + "\n");
        int fd = connect_to(port, c.shown);
        EXPECT_NE(fd, -1);
        close(fd);
        s.stop();
    }
}

// Without -l the server listens on every address that localhost resolves
// to (at most four), in the resolver's order.
TEST_F(Startup, DefaultHostListensOnEachLocalhostAddress)
{
    int port = free_port();
    std::string port_text = std::to_string(port);

    struct addrinfo hints = {};
    hints.ai_flags = AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list;
    ASSERT_EQ(getaddrinfo("localhost", port_text.c_str(), &hints, &list), 0);
    std::string expected = "Listening on";
    std::vector<std::string> hosts;
    int n = 0;
    for (struct addrinfo *ai = list; ai != nullptr && n < 4;
         ai = ai->ai_next, n++) {
        char text[INET6_ADDRSTRLEN];
        const void *a =
            ai->ai_family == AF_INET6
                ? (const void *)&((struct sockaddr_in6 *)ai->ai_addr)->sin6_addr
                : (const void *)&((struct sockaddr_in *)ai->ai_addr)->sin_addr;
        ASSERT_NE(inet_ntop(ai->ai_family, a, text, sizeof text), nullptr);
        expected += std::string(" ") + text;
        hosts.push_back(text);
    }
    freeaddrinfo(list);
    expected += " port " + port_text + "\n";

    Server s;
    ASSERT_TRUE(start_server(s, {"-d", dir, port_text})) << s.err;
    EXPECT_EQ(s.out, expected);
    for (const std::string &h : hosts) {
        SCOPED_TRACE(h);
        std::string response =
            exchange(port, "GET /missing HTTP/1.0\r\n\r\n", h.c_str());
        EXPECT_EQ(response.rfind("HTTP/1.1 404 ", 0), 0u) << response;
    }
    pid_t server = server_process(s);
    ASSERT_GT(server, 0);
    EXPECT_EQ(settled_socket_count(server, (int)hosts.size()),
              (int)hosts.size());
    s.stop();
}

TEST_F(Startup, BannerShowsThePortAsTyped)
{
    int port = free_port();
    std::string typed = "000" + std::to_string(port);
    Server s;
    ASSERT_TRUE(start_server(s, {"-d", dir, "-l", "127.0.0.1", typed}))
        << s.err;
    EXPECT_EQ(s.out, "Listening on 127.0.0.1 port " + typed + "\n");
    std::string response = exchange(port, "GET /missing HTTP/1.0\r\n\r\n");
    EXPECT_EQ(response.rfind("HTTP/1.1 404 ", 0), 0u) << response;
    s.stop();
}

TEST_F(Startup, MissingDirectoryEndsWithoutBanner)
{
    std::string missing = dir + "/missing";
    ::Run r = run_binary(
        {"-d", missing, "-l", "127.0.0.1", std::to_string(free_port())});
    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "corvansel: chdir '" + missing +
                         "': No such file or directory\n");
}

// Service names are refused: the port must be a number.
TEST_F(Startup, NonNumericPortIsAResolverError)
{
    for (const char *port : {"http", "80a", "0x50"}) {
        SCOPED_TRACE(port);
        struct addrinfo hints = {};
        hints.ai_flags = AI_NUMERICSERV;
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        struct addrinfo *list = nullptr;
        int rc = getaddrinfo("127.0.0.1", port, &hints, &list);
        if (rc == 0)
            freeaddrinfo(list);
        ASSERT_NE(rc, 0);

        ::Run r = run_binary({"-d", dir, "-l", "127.0.0.1", port});
        ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
        EXPECT_EQ(WEXITSTATUS(r.status), 1);
        EXPECT_EQ(r.out, "");
        // The resolver's text alone: no errno text behind it.
        EXPECT_EQ(r.err, std::string("corvansel: getaddrinfo: ") +
                             gai_strerror(rc) + "\n");
    }
}

// A host that does not resolve: the resolver's reason alone, whichever it
// is here (no such name, or no name server to ask).
TEST_F(Startup, UnknownHostIsAResolverError)
{
    ::Run r = run_binary(
        {"-d", dir, "-l", "no-such-host.invalid", std::to_string(free_port())});
    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 1);
    EXPECT_EQ(r.out, "");
    bool known = false;
    for (int rc : {EAI_NONAME, EAI_AGAIN, EAI_FAIL, EAI_NODATA, EAI_ADDRFAMILY})
        known |= r.err == std::string("corvansel: getaddrinfo: ") +
                              gai_strerror(rc) + "\n";
    EXPECT_TRUE(known) << r.err;
}

// A port that does not fit in 16 bits is a resolver error, as the BSD
// resolver makes it, and nothing is bound: glibc's would bind it modulo
// 65536 and the banner would name a port nobody listens on.
TEST_F(Startup, PortAbove65535IsAResolverError)
{
    for (const char *port : {"65536", "99999", "0099999"}) {
        SCOPED_TRACE(port);
        ::Run r = run_binary({"-d", dir, "-l", "127.0.0.1", port});
        ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
        EXPECT_EQ(WEXITSTATUS(r.status), 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("corvansel: getaddrinfo: ") +
                             gai_strerror(EAI_SERVICE) + "\n");
    }
}

TEST_F(Startup, PortInUseIsABindError)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, (struct sockaddr *)&a, len), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    ASSERT_EQ(getsockname(fd, (struct sockaddr *)&a, &len), 0);

    ::Run r = run_binary(
        {"-d", dir, "-l", "127.0.0.1", std::to_string(ntohs(a.sin_port))});
    close(fd);
    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "corvansel: bind: Address already in use\n");
}

// A restart must not be refused because connections of the last run still
// linger on the port: the server closes first, so its side of each one
// waits out its time on the port.
TEST_F(Startup, RestartsOnAPortWithClosedConnections)
{
    int port = free_port();
    std::vector<std::string> args = {"-d", dir, "-l", "127.0.0.1",
                                     std::to_string(port)};
    {
        Server s;
        ASSERT_TRUE(start_server(s, args)) << s.err;
        std::string response = exchange(port, "GET /x HTTP/1.0\r\n\r\n");
        EXPECT_EQ(response.rfind("HTTP/1.1 404 ", 0), 0u) << response;
        ASSERT_TRUE(s.wait_lines(2));
        s.stop();
    }
    Server again;
    EXPECT_TRUE(start_server(again, args)) << again.err;
    again.stop();
}

// A caller can pass SIGCHLD on ignored, and with it ignored the system
// reaps the server process itself. The supervisor must still learn how it
// ended, or a failed start would look like success.
TEST_F(Startup, IgnoredSigchldKeepsTheExitStatuses)
{
    auto ignore_sigchld = [] { signal(SIGCHLD, SIG_IGN); };
    ::Run r = run_binary({"-d", dir + "/missing", "-l", "127.0.0.1",
                          std::to_string(free_port())},
                         10000, ignore_sigchld);
    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 1) << r.err;

    Server s;
    ASSERT_TRUE(start_prepared(s, server_command(dir), ignore_sigchld))
        << s.err;
    pid_t server = server_process(s);
    ASSERT_NE(server, -1);
    ASSERT_EQ(kill(server, SIGTERM), 0);
    int status = s.wait_exit();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
}

// Started with standard input and output closed, the server must not let
// a socket take their numbers: the access log line would be written into
// a client's connection, after its response.
TEST_F(Startup, ClosedStandardDescriptorsKeepTheLogOutOfConnections)
{
    write_file(dir + "/ten", "0123456789");
    int port = free_port();
    std::string port_text = std::to_string(port);
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        execl(CORVANSEL_BINARY, "corvansel", "-d", dir.c_str(), "-l",
              "127.0.0.1", port_text.c_str(), (char *)nullptr);
        _exit(127);
    }
    // Without standard output there is no banner to wait for: wait until
    // the port takes connections.
    std::string response;
    for (int i = 0; i < 1000 && response.empty(); i++) {
        int fd = connect_to(port);
        if (fd == -1) {
            usleep(10000);
            continue;
        }
        ASSERT_TRUE(send_all(fd, "GET /ten HTTP/1.1\r\nUser-Agent: t\r\n\r\n"));
        response = read_all(fd);
        close(fd);
    }
    kill(pid, SIGTERM);
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    kill(-pid, SIGKILL);
    EXPECT_EQ(head_of(response).rfind("HTTP/1.1 200 OK\r\n", 0), 0u)
        << response;
    EXPECT_EQ(body_of(response), "0123456789");
}

// The server makes no file of its own: it starts and logs with /tmp empty
// and read-only, as in a container built from nothing or a chroot, where
// there may be no /tmp at all. The mount is the child's own, in a mount
// namespace of its own (which needs root, as the test run has).
TEST_F(Startup, NeedsNoWritableTmp)
{
    write_file(dir + "/ten", "0123456789");
    // The served directory lies below /tmp, and so may the binary, in a
    // build below /tmp: both are entered before the mount hides them, the
    // directory as the working directory, served as ".", and the binary's
    // directory as a descriptor that the exec then goes through.
    std::string binary = CORVANSEL_BINARY;
    size_t slash = binary.rfind('/');
    std::string binary_dir = slash == 0 ? "/" : binary.substr(0, slash);
    const int binary_dir_fd = 100;
    std::vector<std::string> command = server_command(".");
    command[0] = "/proc/self/fd/" + std::to_string(binary_dir_fd) +
                 binary.substr(slash);
    Server s;
    ASSERT_TRUE(start_prepared(s, command, [this, &binary_dir] {
        int fd = open(binary_dir.c_str(), O_PATH | O_DIRECTORY);
        if (fd == -1 || dup3(fd, binary_dir_fd, O_CLOEXEC) == -1 ||
            chdir(dir.c_str()) == -1 || unshare(CLONE_NEWNS) == -1 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
            mount("tmpfs", "/tmp", "tmpfs", MS_RDONLY, "size=4k") == -1) {
            perror("an empty read-only /tmp");
            _exit(126);
        }
    })) << s.err;
    for (int i = 0; i < 2; i++) {
        std::string response = exchange(s.port, "GET /ten HTTP/1.0\r\n\r\n");
        EXPECT_EQ(body_of(response), "0123456789") << response;
    }
    ASSERT_TRUE(s.wait_lines(3)) << s.out << s.err;
    for (const std::string &line : s.log_lines())
        EXPECT_EQ(line, log_line("10", "127.0.0.1", "200", "", "/ten"));
    s.stop();
    EXPECT_EQ(s.err, "");
}

// A descriptor the caller leaves open, such as the write end of a pipe it
// reads until its end, is closed at start-up: otherwise the server and
// every worker would hold it, and the caller would wait as long as they
// live.
TEST_F(Startup, ClosesDescriptorsTheCallerLeftOpen)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Server s;
    std::vector<std::string> argv = {CORVANSEL_BINARY, "-d", dir, "-l",
                                     "127.0.0.1", "0"};
    int writer = p[1];
    ASSERT_TRUE(start_prepared(s, argv, [writer] {
        // Left open across exec, as a careless caller would.
        if (dup2(writer, 7) == -1)
            _exit(126);
    })) << s.err;
    close(p[1]);
    // One exchange, so that a worker has been forked too.
    std::string response = exchange(s.port, "GET /none HTTP/1.1\r\n\r\n");
    EXPECT_EQ(response.rfind("HTTP/1.1 404 ", 0), 0u) << response;
    // Nobody holds the write end any more: the read end is at its end at
    // once, while the server still runs.
    struct pollfd pfd = {p[0], POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 10000), 1);
    char byte;
    EXPECT_EQ(read(p[0], &byte, 1), 0);
    close(p[0]);
    s.stop();
}

// The accept queue is as long as the system allows, so that a burst of new
// clients waits in it while the server forks, instead of having its
// handshakes dropped and retried seconds later. ss shows a listening
// socket's backlog as its Send-Q.
TEST_F(Startup, ListensWithTheSystemsLargestBacklog)
{
    FILE *fp = fopen("/proc/sys/net/core/somaxconn", "r");
    ASSERT_NE(fp, nullptr);
    long most = 0;
    ASSERT_EQ(fscanf(fp, "%ld", &most), 1);
    fclose(fp);
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    std::string command =
        "ss -Hltn 'sport = :" + std::to_string(s.port) + "' 2>&1";
    FILE *ss = popen(command.c_str(), "r");
    ASSERT_NE(ss, nullptr);
    char state[32] = "";
    long queued = -1, backlog = -1;
    int fields = fscanf(ss, "%31s %ld %ld", state, &queued, &backlog);
    pclose(ss);
    ASSERT_EQ(fields, 3);
    EXPECT_STREQ(state, "LISTEN");
    EXPECT_EQ(backlog, most);
    s.stop();
}
