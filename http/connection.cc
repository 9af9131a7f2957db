// Every read and write on a connection, and the status-only response.
#include "http/connection.h"

#include <errno.h>
#include <unistd.h>

#include "compat/compat.h"
#include "http/append.h"
#include "http/date.h"
#include "http/request.h"

ssize_t
read_some(int fd, char *buf, size_t size)
{
    ssize_t n;
    do
        n = read(fd, buf, size);
    while (n < 0 && errno == EINTR);
    return n;
}

int
write_all(int fd, const char *buf, size_t len, size_t *written)
{
    size_t done = 0;
    int failed = 0;
    while (done < len) {
        ssize_t n = write(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failed = 1;
            break;
        }
        done += (size_t)n;
    }
    *written = done;
    return failed;
}

char *
put_response_start(char *out, Status status)
{
    HttpDate date;
    out = put_text(out, "HTTP/1.1 ");
    out = put_decimal(out, status);
    out = put_text(out, " ");
    out = put_text(out, status_text[status]);
    out = put_text(out, "\r\nDate: ");
    out = put_text(out, format_http_date(current_time(), date));
    return put_text(out, "\r\n");
}

Status
send_response(int fd, const char *buf, size_t len, Status status)
{
    size_t written;
    return write_all(fd, buf, len, &written) != 0 ? STATUS_REQUEST_TIMEOUT
                                                  : status;
}

// The longest status response, 431 with its phrase twice, is under 200
// bytes.
static constexpr int STATUS_RESPONSE_SIZE = 256;

Status
send_status(int fd, Status status)
{
    char response[STATUS_RESPONSE_SIZE];
    char *p = put_response_start(response, status);
    p = put_text(p, "Connection: close\r\n");
    if (status == STATUS_METHOD_NOT_ALLOWED)
        p = put_text(p, "Allow: HEAD, GET\r\n");
    p = put_text(p, "Content-Type: text/plain\r\n\r\n");
    p = put_decimal(p, status);
    p = put_text(p, " ");
    p = put_text(p, status_text[status]);
    p = put_text(p, "\n");
    return send_response(fd, response, (size_t)(p - response), status);
}
