// The cost of the server's design with no work in it: accept, fork one
// child per connection, read the request once, answer with a fixed 200
// response as large as the benchmark's small file, close and exit. Built
// statically by bench/run.sh and measured beside the real server.

#include <arpa/inet.h>
#include <err.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

constexpr int FLOOR_BODY_SIZE = 1024;
constexpr int FLOOR_BACKLOG = 128;
constexpr int FLOOR_REQUEST_SIZE = 4096;
constexpr char floor_head[] = "HTTP/1.1 200 OK\r\n"
                              "Connection: close\r\n"
                              "Content-Type: application/octet-stream\r\n"
                              "Content-Length: 1024\r\n"
                              "\r\n";

// The whole response is built once before the first fork, so a child
// touches no page of its own but its stack.
static char response[sizeof floor_head - 1 + FLOOR_BODY_SIZE];

[[noreturn]] static void
serve(int fd)
{
    char request[FLOOR_REQUEST_SIZE];
    if (read(fd, request, sizeof request) > 0) {
        if (write(fd, response, sizeof response) == -1) {
            // The client went away; there is no one to tell.
        }
    }
    close(fd);
    _exit(0);
}

int
main(int argc, char *argv[])
{
    if (argc != 2)
        errx(1, "usage: floor port");
    int port = atoi(argv[1]);
    if (port <= 0 || port > 65535)
        errx(1, "bad port '%s'", argv[1]);

    memcpy(response, floor_head, sizeof floor_head - 1);
    memset(response + sizeof floor_head - 1, 'x', FLOOR_BODY_SIZE);

    // Children are reaped by the system, as in the real server.
    if (signal(SIGCHLD, SIG_IGN) == SIG_ERR)
        err(1, "signal");

    int ls = socket(AF_INET, SOCK_STREAM, 0);
    if (ls == -1)
        err(1, "socket");
    int one = 1;
    if (setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == -1)
        err(1, "setsockopt");
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(ls, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) == -1)
        err(1, "bind");
    if (listen(ls, FLOOR_BACKLOG) == -1)
        err(1, "listen");

    // The same banner as the server, so that start-up is timed alike.
    printf("Listening on 127.0.0.1 port %d\n", port);
    fflush(stdout);

    for (;;) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd == -1)
            err(1, "accept");
        pid_t pid = fork();
        if (pid == 0)
            serve(fd);
        if (pid == -1)
            warn("fork");
        close(fd);
    }
}
