// Resolving a parsed request against the served directory and answering it.
#ifndef CORVANSEL_HTTP_EVALUATE_H
#define CORVANSEL_HTTP_EVALUATE_H

#include "http/request.h"

// Answers the request that read_request accepted: resolves the target
// below the working directory, applies If-Modified-Since, Range and
// If-Range, and
// sends a status response, a 304 or 416 answer, or the file. Returns the
// status sent, or 408 when writing it failed.
[[nodiscard]] Status evaluate_request(int fd, Request *r);

// Normalises a path that begins with "/" in place: empty, "." and ".."
// segments are removed and ".." never climbs above the leading "/". The
// text only gets shorter; it ends in "/" when its last segment was removed.
void normalize_path(char *path);

#endif
