// The file response: head, then the body streamed in fixed chunks.
#include "http/file.h"

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "http/request.h"

// Writes all of buf, continuing after short writes, and adds every byte
// written to *written. Returns 0, or 1 when a write failed or wrote nothing.
static int
write_all(int fd, const char *buf, size_t len, uint64_t *written)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n <= 0)
            return 1;
        *written += (uint64_t)n;
        buf += n;
        len -= (size_t)n;
    }
    return 0;
}

// The widest head: both dates, the longest reason phrase and three 64-bit
// numbers, with room to spare.
static constexpr int RESPONSE_HEAD_SIZE = 512;

// The head goes out in one write, Content-Range and the blank line
// included, so that it never leaves as several small segments.
static Status
send_head(int fd, Status status, const struct stat *st, int64_t lower,
          int64_t upper)
{
    HttpDate now, modified;
    format_http_date(time(nullptr), now);
    format_http_date(st->st_mtime, modified);
    char head[RESPONSE_HEAD_SIZE];
    int len = snprintf(head, sizeof head,
                       "HTTP/1.1 %d %s\r\nDate: %s\r\nConnection: close\r\n"
                       "Last-Modified: %s\r\nContent-Type: "
                       "application/octet-stream\r\nContent-Length: %jd\r\n",
                       status, status_text[status], now, modified,
                       (intmax_t)(upper - lower + 1));
    // An empty file asked for with a suffix range has upper -1; the line
    // still names position 0 rather than a negative one.
    if (status == STATUS_PARTIAL_CONTENT)
        len +=
            snprintf(head + len, sizeof head - (size_t)len,
                     "Content-Range: bytes %jd-%jd/%jd\r\n", (intmax_t)lower,
                     (intmax_t)(upper < 0 ? 0 : upper), (intmax_t)st->st_size);
    len += snprintf(head + len, sizeof head - (size_t)len, "\r\n");
    uint64_t written = 0;
    if (write_all(fd, head, (size_t)len, &written) != 0)
        return STATUS_REQUEST_TIMEOUT;
    return status;
}

static Status
send_body(int fd, FILE *fp, Request *r, int64_t remaining, Status status)
{
    char chunk[TRANSFER_CHUNK_SIZE];
    for (;;) {
        size_t want = remaining < (int64_t)sizeof chunk ? (size_t)remaining
                                                        : sizeof chunk;
        size_t got = fread(chunk, 1, want, fp);
        if (ferror(fp))
            return STATUS_INTERNAL_SERVER_ERROR;
        // No bytes: the range is done, or the file shrank since it was
        // looked at; the body then ends short of its Content-Length.
        if (got == 0)
            return status;
        remaining -= (int64_t)got;
        if (write_all(fd, chunk, got, &r->bytes_sent) != 0)
            return STATUS_REQUEST_TIMEOUT;
    }
}

static Status
send_open_file(int fd, FILE *fp, Request *r, const struct stat *st,
               int64_t lower, int64_t upper)
{
    if (fseeko(fp, (off_t)lower, SEEK_SET) != 0)
        return send_status(fd, STATUS_INTERNAL_SERVER_ERROR);
    Status status =
        r->field[FIELD_RANGE][0] != '\0' ? STATUS_PARTIAL_CONTENT : STATUS_OK;
    Status s = send_head(fd, status, st, lower, upper);
    if (s != status || r->method != METHOD_GET)
        return s;
    return send_body(fd, fp, r, upper - lower + 1, status);
}

Status
send_file(int fd, const char *path, Request *r, const struct stat *st,
          int64_t lower, int64_t upper)
{
    r->bytes_sent = 0;
    FILE *fp = fopen(path, "r");
    if (fp == nullptr)
        return send_status(fd, STATUS_FORBIDDEN);
    // Every read asks for whole chunks into our own buffer; a stream buffer
    // would only copy each byte a second time.
    setvbuf(fp, nullptr, _IONBF, 0);
    Status s = send_open_file(fd, fp, r, st, lower, upper);
    fclose(fp);
    return s;
}
