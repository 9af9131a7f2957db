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
// write failed). A head that holds a zero byte, or whose target decodes to
// one, is refused with 400: the text would end there, and the server would
// act on less than the client and any proxy before it saw.
[[nodiscard]] Status read_request(int fd, Request *r);

// Decodes percent escapes of src into dst, which may be src itself: the
// write position never passes the read position. An escape is read the way
// sscanf reads "%2hhx" and always consumes the two bytes after the "%". An
// escape that decodes to a zero byte ends the text there; the result is
// then true, so that the caller can tell a shortened text from a whole one.
bool decode_percent(const char *src, char *dst);

#endif
