// Every read and write on a connection, and the status-only response.
#ifndef CORVANSEL_HTTP_CONNECTION_H
#define CORVANSEL_HTTP_CONNECTION_H

#include <stddef.h>
#include <sys/types.h>

#include "http/request.h"

// Every read and write on a connection goes through these two. A call that
// a signal interrupts is made again: on Linux a socket call with a time-out
// fails with EINTR when the process is stopped and continued (a terminal's
// Ctrl-Z and fg, a debugger, a frozen cgroup), which would otherwise end a
// live exchange as though the client had timed out.
//
// read_some reads at most size bytes into buf and returns as read does.
ssize_t read_some(int fd, char *buf, size_t size);
// write_all writes all len bytes of buf, going on after short writes, and
// stores in *written how many went out. Returns 0, or 1 when a write failed
// or wrote nothing.
[[nodiscard]] int write_all(int fd, const char *buf, size_t len,
                            size_t *written);

// Writes the status line of status and the Date line of the current time,
// which every response begins with, and returns the end.
char *put_response_start(char *out, Status status);

// Writes a whole response of len bytes from buf. Returns status, or
// STATUS_REQUEST_TIMEOUT when writing failed.
Status send_response(int fd, const char *buf, size_t len, Status status);

// Writes the status-only response for status (which must have a reason
// phrase) with one write. Returns status, or STATUS_REQUEST_TIMEOUT when the
// write failed.
Status send_status(int fd, Status status);

#endif
