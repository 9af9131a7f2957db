// Appending numbers and texts to a text being built.
#ifndef CORVANSEL_HTTP_APPEND_H
#define CORVANSEL_HTTP_APPEND_H

#include <stdint.h>

// Appending to a text being built: each writes at out, without a
// terminating zero, and returns the end of what it wrote. The caller sizes
// the buffer. The responses and the log line a worker builds for every
// connection use these rather than printf, whose machinery every worker
// would otherwise page in.
char *put_text(char *out, const char *text);
char *put_decimal(char *out, int64_t value);
char *put_unsigned(char *out, uint64_t value);

#endif
