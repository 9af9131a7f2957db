// The connection worker.
#include "server/worker.h"

#include <err.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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
    shutdown(fd, SHUT_RD);
    shutdown(fd, SHUT_WR);
    close(fd);
}
