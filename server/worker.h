// The connection worker: one exchange per connection and its log line.
#ifndef CORVANSEL_SERVER_WORKER_H
#define CORVANSEL_SERVER_WORKER_H

#include <stddef.h>
#include <sys/socket.h>

#include "http/request.h"
#include "server/listen.h"

constexpr int SOCKET_TIMEOUT_SECONDS = 30;

// Bounds every receive and then every send on fd by seconds. Returns 0, or
// 1 after a warning; the send time-out is not tried when the receive one
// failed.
[[nodiscard]] int set_socket_timeouts(int fd, int seconds);

// Serves the one request of the connection fd from client, writes its
// access log line to standard output, then shuts the connection down and
// closes it.
void serve_connection(int fd, const struct sockaddr_storage *client);

// The longest log line: every byte of the agent and the target escaped to
// four, plus the numbers, the address, four tabs and the line end.
constexpr int LOG_LINE_SIZE = 20 + 1 + ADDRESS_TEXT_SIZE - 1 + 1 + 11 + 1 +
                              (FIELD_VALUE_MAX - 1) * 4 + 1 +
                              (TARGET_MAX - 1) * 4 + 1 + 1;

// Formats the access log line of an exchange into line, which holds
// LOG_LINE_SIZE bytes: bytes sent, client address, status, User-Agent
// value and target, tab-separated. Control bytes, DEL and the backslash in
// the last two columns are written as "\xNN", so a client can neither add
// a column nor a line. Returns the length, without a terminating zero.
size_t format_log_line(char *line, const Request *r, const char *address,
                       Status status);

#endif
