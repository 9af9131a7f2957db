// The successful answer: a file's byte range with its response head.
#ifndef CORVANSEL_HTTP_FILE_H
#define CORVANSEL_HTTP_FILE_H

#include <stdint.h>
#include <sys/stat.h>

#include "http/request.h"

// The body is copied through a buffer of this size.
constexpr int TRANSFER_CHUNK_SIZE = 16384;

// Sends the bytes lower to upper (both inclusive) of the open file, whose
// own status st the caller took with fstat: 206 when r carries a Range
// value, else 200, with a body for GET only. The caller guarantees
// 0 <= lower and upper < st_size, and lower <= upper, except for a whole
// empty file without a Range value (then 0 and -1). Counts body bytes in
// r->bytes_sent. Returns 200 or 206; 500 when the file cannot be
// positioned (a status response, nothing else was written) or a read fails
// (nothing more is written after the head); 408 when a write to fd failed.
// The file is the caller's to close.
[[nodiscard]] Status send_file(int fd, int file, Request *r,
                               const struct stat *st, int64_t lower,
                               int64_t upper);

#endif
