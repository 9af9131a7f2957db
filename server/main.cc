// The command line, the server start-up and the accept loop.
#include <err.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compat/compat.h"
#include "compat/confine.h"
#include "http/append.h"
#include "server/listen.h"
#include "server/log.h"
#include "server/supervisor.h"
#include "server/worker.h"

static constexpr char RELEASE[] = "3.5";
static constexpr char USAGE[] = "usage: corvansel [-d dir] [-l address] port\n";
// The longest diagnostic that leaves in one write: room for a path of the
// system's longest with the message and error text around it.
static constexpr int DIAGNOSTIC_LINE_SIZE = 8192;
// The banner, "Listening on", one address per listener, then " port ",
// the port as given and the line end; a port given with more characters
// than this (leading zeros or blanks) is refused.
static constexpr int PORT_TEXT_MAX = 32;
static constexpr int BANNER_SIZE = sizeof "Listening on" - 1 +
                                   MAX_LISTENERS * ADDRESS_TEXT_SIZE +
                                   sizeof " port \n" - 1 + PORT_TEXT_MAX;
// Back off this long after running out of descriptors or memory, so the
// loop does not spin on a connection it cannot take yet.
static constexpr int RESOURCE_BACKOFF_MS = 100;

// Undoes what a careless caller may have left behind, before anything else
// opens a descriptor or forks. A standard descriptor left closed would be
// taken by the first socket the server opens, and the access log written
// into a client's connection: each closed one is opened on /dev/null. And
// with SIGCHLD ignored, as a caller can pass it on, the system would reap
// the server process itself, and the supervisor could not tell how it
// ended: it goes back to its default action. A signal mask survives exec
// too: a caller that left the termination signals blocked would make the
// supervisor, the server process and every worker deaf to them, and only
// SIGKILL, one process at a time, would end them; they are unblocked,
// with SIGCHLD. Any other descriptor the caller left open (a pipe it
// waits on for its end, a log of its own) would stay open in every worker
// too, and the caller would wait as long as the last worker lives: all
// above standard error are closed.
//
// Standard error gets a buffer of its own, flushed at each line end: err
// and warn write the program's name, the message and the error text in
// three pieces, which unbuffered would be three writes, and a line of the
// access log from another process could land between them when both go
// to one stream (a journal, 2>&1). Buffered, each diagnostic leaves in one
// write, which a pipe keeps whole up to PIPE_BUF bytes.
static void
prepare_process()
{
    closefrom(STDERR_FILENO + 1);
    FILE *const streams[] = {stdin, stdout, stderr};
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        struct stat st;
        if (fstat(fd, &st) == 0 || errno != EBADF)
            continue;
        // The lower ones are open by now, so /dev/null takes this number.
        if (freopen("/dev/null", fd == STDIN_FILENO ? "r" : "w",
                    streams[fd]) == nullptr)
            err(1, "/dev/null");
    }
    static char diagnostic_buffer[DIAGNOSTIC_LINE_SIZE];
    setvbuf(stderr, diagnostic_buffer, _IOLBF, sizeof diagnostic_buffer);
    signal(SIGCHLD, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCHLD})
        sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// The two lines that head both the help text and the usage error.
static void
print_release_and_usage()
{
    fprintf(stderr, "release: %s\n", RELEASE);
    fwrite(USAGE, 1, sizeof USAGE - 1, stderr);
}

[[noreturn]] static void
print_help()
{
    print_release_and_usage();
    puts("summary:\n"
         "    -d dir      Switch to the specified directory\n"
         "    -l address  Hostname or IP address listen on");
    puts("docs:\n"
         "    man corvansel");
    exit(1);
}

[[noreturn]] static void
print_usage_error()
{
    print_release_and_usage();
    fprintf(stderr, "hint: use -h to display option summary\n");
    exit(1);
}

// Failures of accept that belong to one connection or to a passing
// shortage; the server reports them and goes on.
static bool
accept_error_is_transient(int error, bool *resource)
{
    switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        *resource = true;
        return true;
    case ECONNABORTED:
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
#ifdef ENONET
    case ENONET:
#endif
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        *resource = false;
        return true;
    default:
        return false;
    }
}

// Forks the worker of one accepted connection; the server process keeps
// no copy of it.
static void
hand_off(int fd, const struct sockaddr_storage *client,
         const struct pollfd *fds, int count)
{
    pid_t pid = fork();
    if (pid == 0) {
        // Confined before a byte from the client is read; a worker that
        // cannot be ends without serving.
        if (confine_worker() != 0)
            _exit(1);
        // A worker that kept the listening sockets would keep the port bound
        // after the server process ended, and new clients would queue on a
        // backlog that nobody accepts.
        for (int i = 0; i < count; i++)
            close(fds[i].fd);
        serve_connection(fd, client);
        // The access log line went out with its own write and nothing else
        // is buffered, so there is nothing for exit to flush; skipping the
        // exit handlers spares every worker a few page faults.
        _exit(0);
    }
    // A fork refused for want of processes or memory passes; one that
    // fails because the supervisor's arbiter is gone would fail for every
    // connection to come, which a server that ends can tell its service
    // manager and one that goes on cannot.
    if (pid == -1 && errno == ENOSYS)
        err(1, "fork");
    if (pid == -1)
        warn("fork");
    close(fd);
}

[[noreturn]] static void
accept_loop(struct pollfd *fds, int count)
{
    for (;;) {
        int ready = poll(fds, (nfds_t)count, -1);
        if (ready < 1) {
            if (ready == -1 && errno == EINTR)
                continue;
            err(1, "poll");
        }
        for (int i = 0; i < count; i++) {
            if (fds[i].revents & (POLLERR | POLLNVAL))
                errx(1, "bad fd %d", fds[i].fd);
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            struct sockaddr_storage client;
            socklen_t len = sizeof client;
            int fd = accept(fds[i].fd, (struct sockaddr *)&client, &len);
            if (fd == -1) {
                bool resource = false;
                if (!accept_error_is_transient(errno, &resource))
                    err(1, "accept");
                warn("accept");
                if (resource)
                    poll(nullptr, 0, RESOURCE_BACKOFF_MS);
                continue;
            }
            hand_off(fd, &client, fds, count);
        }
    }
}

// Writes the listening banner, which waits for room on standard output
// like a log line. Written with one write of our own, not through stdio:
// nothing is left buffered for a worker to inherit, and a banner that
// cannot be written means a log that cannot be either: better no server
// than one that serves without a trace.
static void
print_banner(const struct sockaddr_storage *addrs, int count,
             const char *port)
{
    if (strlen(port) > PORT_TEXT_MAX)
        errx(1, "listening banner: port '%s' is too long", port);
    char banner[BANNER_SIZE];
    char *p = put_text(banner, "Listening on");
    AddressText text;
    for (int i = 0; i < count; i++) {
        // Another family leaves the text as it was; print nothing for it.
        text[0] = '\0';
        if (address_text(&addrs[i], text, sizeof text) != 0)
            text[0] = '\0';
        p = put_text(p, " ");
        p = put_text(p, text);
    }
    p = put_text(p, " port ");
    p = put_text(p, port);
    p = put_text(p, "\n");
    int error = write_banner(banner, (size_t)(p - banner));
    if (error != 0) {
        errno = error;
        err(1, "listening banner");
    }
}

[[noreturn]] static void
run_server(const char *dir, const char *host, const char *port)
{
    reset_signal_handlers();
    if (signal(SIGCHLD, SIG_IGN) == SIG_ERR)
        err(1, "Failed to set SIG_IGN on SIGCHLD");
    // A client that goes away must make a write fail, not kill its worker
    // before the exchange is logged.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        err(1, "Failed to set SIG_IGN on SIGPIPE");
    if (chdir(dir) == -1)
        err(1, "chdir '%s'", dir);
    open_log();

    struct pollfd fds[MAX_LISTENERS];
    struct sockaddr_storage addrs[MAX_LISTENERS];
    int count = open_listeners(host, port, fds, addrs);
    // From here on the server process needs no new descriptor or name: it
    // confines itself, and every worker it forks is born confined.
    confine_server();
    print_banner(addrs, count, port);
    accept_loop(fds, count);
}

int
main(int argc, char *argv[])
{
    prepare_process();
    if (argc > 1 && strcmp(argv[1], "-h") == 0)
        print_help();

    const char *dir = ".";
    const char *host = "localhost";
    opterr = 0;
    for (;;) {
        int c = getopt(argc, argv, GETOPT_PREFIX "d:l:");
        if (c == -1)
            break;
        if (c == 'd')
            dir = optarg;
        else if (c == 'l')
            host = optarg;
        else
            print_usage_error();
    }
    if (optind + 1 != argc)
        print_usage_error();
    const char *port = argv[optind];

    prepare_confinement();
    run_supervisor();
    run_server(dir, host, port);
}
