// Stands in for an instance behind a front end and records what reaches
// it: every byte the front end sends on each connection, the request head
// and whatever follows it. Each request gets a 200 with a two-byte body,
// and the connection is closed, as corvansel closes it after a response.
//
// Prints "Listening on port N" once it listens on 127.0.0.1 (port 0 takes
// a free one), then handles one connection at a time until SIGTERM. For
// each it appends what it received to the file, then a line "--- end".
//
// Usage: proxy_recorder port file

#include <arpa/inet.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

// A body, if the front end sends one, follows the head at once; a pause
// this long after the head means that nothing more is coming before the
// answer. What comes after the answer is read as well, until the front
// end closes or is silent this long.
constexpr int QUIET_AFTER_HEAD_MS = 200;
constexpr int QUIET_AFTER_ANSWER_MS = 1000;
constexpr size_t RECORD_MAX = 1 << 20;
constexpr char answer_get[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
constexpr char answer_head[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n";

// Appends what fd sends to record until it closes, falls silent for
// quiet_ms, sends more than RECORD_MAX in all, or stop returns true on
// what was recorded so far.
static void
read_until(int fd, std::string *record, int quiet_ms,
           bool (*stop)(const std::string &))
{
    char buf[16384];
    while (record->size() < RECORD_MAX && !(stop && stop(*record))) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, quiet_ms);
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        record->append(buf, n);
    }
}

static bool
head_complete(const std::string &record)
{
    return record.find("\r\n\r\n") != std::string::npos;
}

static void
serve(int fd, const char *path)
{
    std::string record;
    read_until(fd, &record, -1, head_complete);
    read_until(fd, &record, QUIET_AFTER_HEAD_MS, nullptr);
    const char *answer =
        record.compare(0, 5, "HEAD ") == 0 ? answer_head : answer_get;
    size_t len = strlen(answer);
    if (write(fd, answer, len) != (ssize_t)len)
        warn("write");
    shutdown(fd, SHUT_WR);
    read_until(fd, &record, QUIET_AFTER_ANSWER_MS, nullptr);
    record += "--- end\n";

    int out = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (out == -1)
        err(1, "open '%s'", path);
    if (write(out, record.data(), record.size()) != (ssize_t)record.size())
        err(1, "write '%s'", path);
    close(out);
}

int
main(int argc, char **argv)
{
    if (argc != 3)
        errx(1, "usage: proxy_recorder port file");
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd == -1)
        err(1, "socket");
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(atoi(argv[1]));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) == -1)
        err(1, "bind");
    if (listen(fd, 16) == -1)
        err(1, "listen");
    socklen_t addrlen = sizeof addr;
    if (getsockname(fd, (struct sockaddr *)&addr, &addrlen) == -1)
        err(1, "getsockname");
    printf("Listening on port %d\n", ntohs(addr.sin_port));
    fflush(stdout);

    for (;;) {
        int c = accept(fd, nullptr, nullptr);
        if (c == -1) {
            if (errno != EINTR && errno != ECONNABORTED)
                err(1, "accept");
            continue;
        }
        serve(c, argv[2]);
        close(c);
    }
}
