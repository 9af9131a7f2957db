// The file response: head, then the body streamed in fixed chunks.
#include "http/file.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "compat/confine.h"
#include "http/append.h"
#include "http/connection.h"
#include "http/date.h"
#include "http/request.h"

// The widest head: its fixed text (about 170 bytes), both dates, the
// longest reason phrase and four 64-bit numbers, with room to spare.
static constexpr int RESPONSE_HEAD_SIZE = 512;

// The head and the body's chunks are gathered in the exchange buffer, the
// head right before the chunk.
static_assert(RESPONSE_HEAD_SIZE + TRANSFER_CHUNK_SIZE <= EXCHANGE_BUFFER_SIZE);

// Formats the response head, Content-Range and the blank line included,
// into head, which holds RESPONSE_HEAD_SIZE bytes, and returns its length.
static size_t
format_head(char *head, Status status, const struct stat *st, int64_t lower,
            int64_t upper)
{
    HttpDate date;
    char *p = put_response_start(head, status);
    p = put_text(p, "Connection: close\r\nLast-Modified: ");
    p = put_text(p, format_http_date(st->st_mtime, date));
    p = put_text(p, "\r\nContent-Type: application/octet-stream\r\n"
                    "Content-Length: ");
    p = put_decimal(p, upper - lower + 1);
    p = put_text(p, "\r\n");
    if (status == STATUS_PARTIAL_CONTENT) {
        p = put_text(p, "Content-Range: bytes ");
        p = put_decimal(p, lower);
        p = put_text(p, "-");
        p = put_decimal(p, upper);
        p = put_text(p, "/");
        p = put_decimal(p, st->st_size);
        p = put_text(p, "\r\n");
    }
    p = put_text(p, "\r\n");
    return (size_t)(p - head);
}

// The head leaves in the same write as the first chunk of the body: a
// write of its own would cost every response a system call and a small
// segment of its own. The bytes on the wire are the same either way: the
// head alone when there is no body, when the file ends at once or when the
// first read fails.
static Status
send_open_file(int fd, FILE *fp, Request *r, const struct stat *st,
               int64_t lower, int64_t upper)
{
    if (fseeko(fp, (off_t)lower, SEEK_SET) != 0)
        return send_status(fd, STATUS_INTERNAL_SERVER_ERROR);
    Status status =
        r->field[FIELD_RANGE][0] != '\0' ? STATUS_PARTIAL_CONTENT : STATUS_OK;

    char *out = exchange_buffer;
    char *chunk = out + RESPONSE_HEAD_SIZE;
    size_t head = format_head(out, status, st, lower, upper);
    // Moved to sit right before the chunk, so that both go out as one.
    char *start = chunk - head;
    memmove(start, out, head);

    int64_t remaining = r->method == METHOD_GET ? upper - lower + 1 : 0;
    for (;;) {
        size_t want = remaining < TRANSFER_CHUNK_SIZE ? (size_t)remaining
                                                      : TRANSFER_CHUNK_SIZE;
        size_t got = want > 0 ? fread(chunk, 1, want, fp) : 0;
        Status result = status;
        if (ferror(fp)) {
            got = 0;
            result = STATUS_INTERNAL_SERVER_ERROR;
        }
        // No bytes: the range is done, the file shrank since it was looked
        // at (the body then ends short of its Content-Length), or reading
        // failed; only a head still waiting is written.
        if (head + got == 0)
            return result;
        remaining -= (int64_t)got;
        // Only the bytes after the head are body bytes.
        size_t written;
        int failed = write_all(fd, start, head + got, &written);
        if (written > head)
            r->bytes_sent += written - head;
        if (failed)
            return STATUS_REQUEST_TIMEOUT;
        if (got == 0)
            return result;
        head = 0;
        start = chunk;
    }
}

Status
send_file(int fd, const char *path, Request *r, const struct stat *st,
          int64_t lower, int64_t upper)
{
    r->bytes_sent = 0;
    // Opening a FIFO for reading waits for a writer, for ever if none
    // comes, and the file looked at before may have been replaced by one
    // since: the open never waits, and what was opened is judged by its
    // own status. A FIFO cannot be positioned: it gets the answer of a
    // file that cannot be. On a regular file, or a device, O_NONBLOCK
    // changes nothing.
    int file = open(path, O_RDONLY | O_NONBLOCK);
    if (file == -1)
        return send_status(fd, STATUS_FORBIDDEN);
    // No name is looked up after this one, where that can be confined.
    if (confine_opened() != 0) {
        close(file);
        return send_status(fd, STATUS_INTERNAL_SERVER_ERROR);
    }
    struct stat opened;
    if (fstat(file, &opened) == -1 || S_ISFIFO(opened.st_mode)) {
        close(file);
        return send_status(fd, STATUS_INTERNAL_SERVER_ERROR);
    }
    FILE *fp = fdopen(file, "r");
    if (fp == nullptr) {
        close(file);
        return send_status(fd, STATUS_FORBIDDEN);
    }
    // Every read asks for whole chunks into our own buffer; a stream buffer
    // would only copy each byte a second time.
    setvbuf(fp, nullptr, _IONBF, 0);
    Status s = send_open_file(fd, fp, r, st, lower, upper);
    fclose(fp);
    return s;
}
