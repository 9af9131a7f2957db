// The connection worker.
#include "server/worker.h"

#include <err.h>
#include <errno.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "http/evaluate.h"
#include "http/parse.h"
#include "http/request.h"
#include "server/listen.h"

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

static char *
append_escaped(char *out, const char *text)
{
    static constexpr char hex[] = "0123456789abcdef";
    for (; *text != '\0'; text++) {
        unsigned char c = (unsigned char)*text;
        if (c < 0x20 || c == 0x7f || c == '\\') {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = hex[c >> 4];
            *out++ = hex[c & 0xf];
        } else {
            *out++ = (char)c;
        }
    }
    return out;
}

size_t
format_log_line(char *line, const Request *r, const char *address,
                Status status)
{
    // Each part is bounded by its own field, so the whole line always fits.
    char *out = put_unsigned(line, r->bytes_sent);
    *out++ = '\t';
    out = put_text(out, address);
    *out++ = '\t';
    out = put_decimal(out, status);
    *out++ = '\t';
    out = append_escaped(out, r->field[FIELD_USER_AGENT]);
    *out++ = '\t';
    out = append_escaped(out, r->target);
    *out++ = '\n';
    return (size_t)(out - line);
}

// One write per line: concurrent workers share standard output, and a line
// split over two writes could be interleaved with another worker's. The
// line is built in the exchange buffer, whose response is sent by now.
static void
log_exchange(const Request *r, const char *address, Status status)
{
    static_assert(LOG_LINE_SIZE <= EXCHANGE_BUFFER_SIZE);
    char *line = exchange_buffer;
    const char *p = line;
    size_t len = format_log_line(line, r, address, status);
    while (len > 0) {
        ssize_t n = write(STDOUT_FILENO, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        len -= (size_t)n;
    }
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
