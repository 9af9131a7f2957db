// The connection worker.
#include "server/worker.h"

#include <err.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "compat/compat.h"
#include "http/evaluate.h"
#include "http/parse.h"
#include "http/request.h"
#include "server/listen.h"
#include "server/log.h"

int
set_socket_timeouts(int fd, int seconds)
{
    struct timeval tv = {};
    tv.tv_sec = seconds;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == -1) {
        warn("setsockopt");
        return 1;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == -1) {
        warn("setsockopt");
        return 1;
    }
    return 0;
}

// Ends the connection without losing the end of the response. The client
// may have sent more than the head: a pipelined request, a stray line end,
// a body. Closing a socket that still holds unread bytes resets the
// connection, and the reset throws away whatever of the response the
// client has not received yet. So the worker sends its end and, when the
// client has sent more by then, reads and discards what still comes until
// the client closes too or the linger is over (see worker.h), and closes
// only then. A client that has sent nothing more by the time its whole
// response is written rarely sends more, and waiting for every client to
// close would cost each connection a sleep and a wake-up.
static void
close_lingering(int fd)
{
    shutdown(fd, SHUT_WR);
    char byte;
    if (recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) {
        close(fd);
        return;
    }
    struct timeval wait = {};
    wait.tv_sec = LINGER_WAIT_SECONDS;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0) {
        // The response is sent and logged: the buffer is free.
        time_t deadline = current_time() + LINGER_LIMIT_SECONDS;
        while (read_some(fd, exchange_buffer, sizeof exchange_buffer) > 0 &&
               current_time() < deadline)
            ;
    }
    close(fd);
}

void
serve_connection(int fd, const struct sockaddr_storage *client)
{
    if (set_socket_timeouts(fd, SOCKET_TIMEOUT_SECONDS) == 0) {
        Request r;
        Status status = read_request(fd, &r);
        if (status == STATUS_NONE)
            status = evaluate_request(fd, &r);
        AddressText address = "";
        if (address_text(client, address, sizeof address) == 0)
            log_exchange(&r, address, status);
    }
    close_lingering(fd);
}
