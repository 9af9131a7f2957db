// Holds many connections open on a server at 127.0.0.1:port, the way slow
// clients do: each sends one byte of a request head every few seconds and
// never its end, so a server that waits for the rest of the head keeps a
// connection (and, for a server of our design, a process) for each. The
// connections are opened as fast as the server takes them off its listen
// queue, never overflowing it: an overflowing queue drops handshakes, and
// each retry waits a second.
//
// Prints "held N ramp_us" once N connections are open, then holds them
// until SIGTERM or SIGINT (or the time limit), then prints "open N
// dropped N": how many the server still held at that moment, and how many
// it had answered or closed.
//
// Usage: hold port count trickle_seconds [limit_seconds]
// A trickle of 0 sends nothing at all: for a server that never times out.

#include <arpa/inet.h>
#include <err.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

constexpr int HOLD_COUNT_MAX = 100000;
constexpr int HOLD_LIMIT_SECONDS_DEFAULT = 600;
// At most this many connections, and at most half the server's backlog,
// wait in its listen queue.
constexpr unsigned QUEUE_ROOM_MAX = 64;
constexpr long long QUEUE_DEADLINE_US = 10000000;
constexpr int DIAG_BUFFER_SIZE = 8192;
// Ends with a header field that grows by one byte per trickle; the head
// limit of 4096 bytes is hours away at one byte every few seconds.
constexpr char trickle_text[] = "GET /small.bin HTTP/1.1\r\nX-Hold: ";
// The descriptors the program needs besides the held ones.
constexpr rlim_t SPARE_DESCRIPTORS = 16;

static volatile sig_atomic_t stop_requested = 0;

static void
request_stop(int)
{
    stop_requested = 1;
}

static long long
now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

static void
pause_us(long long us)
{
    struct timespec ts = {static_cast<time_t>(us / 1000000),
                          static_cast<long>(us % 1000000 * 1000)};
    nanosleep(&ts, nullptr);
}

struct ListenQueue {
    unsigned length;  // connections waiting to be accepted
    unsigned backlog; // the most that may wait
};

// The accept queue of the TCP listener on 127.0.0.1:port, asked of the
// kernel's socket diagnostics. Returns 0, or 1 if there is no such
// listener.
[[nodiscard]] static int
accept_queue(int nl, int port, ListenQueue *q)
{
    struct {
        struct nlmsghdr nlh;
        struct inet_diag_req_v2 r;
    } req = {};
    req.nlh.nlmsg_len = sizeof req;
    req.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    req.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.r.sdiag_family = AF_INET;
    req.r.sdiag_protocol = IPPROTO_TCP;
    req.r.idiag_states = 1 << TCP_LISTEN;
    req.r.id.idiag_sport = htons(static_cast<uint16_t>(port));
    if (send(nl, &req, sizeof req, 0) == -1)
        err(1, "sock_diag send");

    int found = 1;
    alignas(struct nlmsghdr) char buf[DIAG_BUFFER_SIZE];
    for (;;) {
        ssize_t n = recv(nl, buf, sizeof buf, 0);
        if (n == -1) {
            if (errno == EINTR)
                continue;
            err(1, "sock_diag recv");
        }
        for (auto *h = reinterpret_cast<struct nlmsghdr *>(buf);
             NLMSG_OK(h, static_cast<unsigned>(n)); h = NLMSG_NEXT(h, n)) {
            if (h->nlmsg_type == NLMSG_DONE)
                return found;
            if (h->nlmsg_type == NLMSG_ERROR)
                errx(1, "sock_diag refused the request");
            auto *m = static_cast<struct inet_diag_msg *>(NLMSG_DATA(h));
            // For a listener the kernel reports the queue's length and
            // its limit in place of the receive and send queues.
            if (ntohs(m->id.idiag_sport) == port &&
                m->id.idiag_src[0] == htonl(INADDR_LOOPBACK)) {
                q->length = m->idiag_rqueue;
                q->backlog = m->idiag_wqueue;
                found = 0;
            }
        }
    }
}

// Waits, bounded, until the listen queue has room again, and returns
// how many more connections may be opened before the next look.
static unsigned
wait_queue_room(int nl, int port)
{
    long long deadline = now_us() + QUEUE_DEADLINE_US;
    for (;;) {
        ListenQueue q;
        if (accept_queue(nl, port, &q) != 0)
            errx(1, "nothing listens on 127.0.0.1:%d", port);
        unsigned room =
            q.backlog / 2 < QUEUE_ROOM_MAX ? q.backlog / 2 : QUEUE_ROOM_MAX;
        if (room == 0)
            room = 1;
        if (q.length < room)
            return room - q.length;
        if (now_us() > deadline || stop_requested)
            errx(1, "the server took no connection off its queue for %lld s",
                 QUEUE_DEADLINE_US / 1000000);
        pause_us(200);
    }
}

// A connection the server has answered, closed or reset is no longer
// held: anything readable on it, or an error, says so.
static bool
still_held(int fd)
{
    struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) == 0;
}

int
main(int argc, char *argv[])
{
    if (argc < 4 || argc > 5)
        errx(1, "usage: hold port count trickle_seconds [limit_seconds]");
    int port = atoi(argv[1]);
    int count = atoi(argv[2]);
    int trickle = atoi(argv[3]);
    int limit = argc == 5 ? atoi(argv[4]) : HOLD_LIMIT_SECONDS_DEFAULT;
    if (port <= 0 || port > 65535 || count < 1 || count > HOLD_COUNT_MAX ||
        trickle < 0 || limit < 1)
        errx(1, "bad port, count, trickle or limit");

    // Every held connection is a descriptor of ours. Root may raise the
    // hard limit too.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == -1)
        err(1, "getrlimit");
    rlim_t need = static_cast<rlim_t>(count) + SPARE_DESCRIPTORS;
    if (rl.rlim_max < need)
        rl.rlim_max = need;
    rl.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) == -1)
        err(1, "%d connections need %lu descriptors", count,
            static_cast<unsigned long>(need));

    struct sigaction sa = {};
    sa.sa_handler = request_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl == -1)
        err(1, "socket(NETLINK_SOCK_DIAG)");

    int *fds = static_cast<int *>(calloc(count, sizeof *fds));
    long long *due = static_cast<long long *>(calloc(count, sizeof *due));
    int *sent = static_cast<int *>(calloc(count, sizeof *sent));
    if (fds == nullptr || due == nullptr || sent == nullptr)
        err(1, "calloc");

    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    long long start = now_us();
    long long trickle_us = trickle * 1000000LL;
    int held = 0;
    unsigned room = 0;
    for (; held < count && !stop_requested; held++) {
        if (room == 0)
            room = wait_queue_room(nl, port);
        room--;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd == -1) {
            warn("socket, after %d connections", held);
            break;
        }
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin),
                    sizeof sin) == -1) {
            warn("connect, after %d connections", held);
            close(fd);
            break;
        }
        fds[held] = fd;
        due[held] = now_us() + trickle_us;
    }
    printf("held %d %lld\n", held, now_us() - start);
    fflush(stdout);

    // The connections were opened in order, so they come due in order: a
    // pointer that goes round them finds the next one.
    long long end = start + limit * 1000000LL;
    int next = 0;
    while (!stop_requested && now_us() < end) {
        if (trickle == 0 || held == 0) {
            pause_us(100000);
            continue;
        }
        long long wait = due[next] - now_us();
        if (wait > 0) {
            pause_us(wait < 100000 ? wait : 100000);
            continue;
        }
        int i = next;
        next = (next + 1) % held;
        due[i] += trickle_us;
        char c = sent[i] < static_cast<int>(sizeof trickle_text) - 1
                     ? trickle_text[sent[i]]
                     : 'a';
        // A server that closed the connection is found at the end.
        if (send(fds[i], &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1)
            sent[i]++;
    }

    int open = 0;
    for (int i = 0; i < held; i++)
        open += still_held(fds[i]);
    printf("open %d dropped %d\n", open, held - open);
    return 0;
}
