// Reading one request head from a connection and parsing it into a Request.
#ifndef CORVANSEL_HTTP_PARSE_H
#define CORVANSEL_HTTP_PARSE_H

#include "http/request.h"

// The most bytes of a request head that are read; no byte is kept free for
// a terminating zero, the parse makes its own end inside what was read.
constexpr int REQUEST_BUFFER_SIZE = 4096;

// Clears r, reads one request head from fd and parses it into r. Returns 0
// when a request was accepted and nothing was sent; otherwise answers the
// client with a status response and returns its status (or 408 when that
// write failed).
[[nodiscard]] Status read_request(int fd, Request *r);

// Decodes percent escapes of src into dst, which may be src itself: the
// write position never passes the read position. An escape is read the way
// sscanf reads "%2hhx" and always consumes the two bytes after the "%".
void decode_percent(const char *src, char *dst);

#endif
