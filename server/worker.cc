// The connection worker.
#include "server/worker.h"

#include <err.h>
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "compat/compat.h"
#include "http/connection.h"
#include "http/evaluate.h"
#include "http/parse.h"
#include "http/request.h"
#include "server/listen.h"
#include "server/log.h"

// Ends the connection without losing the end of the response. The client
// may have sent more than the head: a pipelined request, a stray line end,
// a body. Closing a socket that still holds unread bytes resets the
// connection, and the reset throws away whatever of the response the
// client has not received yet; so does one that bytes reach after it is
// closed. So the worker sends its end and, when the client has sent more
// (with the head, or by now), reads and discards what still comes until
// the client closes too or the linger is over (see worker.h), and closes
// only then. A client that has sent nothing more by the time its whole
// response is written rarely sends more, and waiting for every client to
// close would cost each connection a sleep and a wake-up.
static void
close_lingering(int fd, bool input_after_head)
{
    shutdown(fd, SHUT_WR);
    char byte;
    if (!input_after_head && recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) {
        close(fd);
        return;
    }
    // Each wait is bounded by the time left, so the whole linger is too.
    int64_t deadline = monotonic_ms() + LINGER_LIMIT_SECONDS * 1000;
    for (;;) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            break;
        int timeout_ms = left < LINGER_WAIT_SECONDS * 1000
                             ? (int)left
                             : LINGER_WAIT_SECONDS * 1000;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, timeout_ms);
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready != 1)
            break;
        // The response is sent: the buffer is free.
        if (read_some(fd, exchange_buffer, sizeof exchange_buffer) <= 0)
            break;
    }
    close(fd);
}

void
serve_connection(int fd, const struct sockaddr_storage *client)
{
    Request r;
    Status status = read_request(fd, &r);
    if (status == STATUS_NONE)
        status = evaluate_request(fd, &r);
    // The exchange with the client ends before the log line is written:
    // a log that nobody reads, or whose lock another worker holds, then
    // delays only this process's exit, never a client's end of response.
    close_lingering(fd, r.input_after_head);
    AddressText address = "";
    if (address_text(client, address, sizeof address) == 0)
        log_exchange(&r, address, status);
}
