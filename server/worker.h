// The connection worker: one exchange per connection and its log line.
#ifndef CORVANSEL_SERVER_WORKER_H
#define CORVANSEL_SERVER_WORKER_H

#include <sys/socket.h>

// A worker whose client has sent more than its head (with the head, or by
// the time the response is written) reads and discards what the client
// sends until the client closes, a wait of LINGER_WAIT_SECONDS passes
// without a byte, or LINGER_LIMIT_SECONDS have passed in all.
constexpr int LINGER_WAIT_SECONDS = 2;
constexpr int LINGER_LIMIT_SECONDS = 10;

// Serves the one request of the connection fd from client, ends the
// connection (sends its end, lingers as above if need be, and closes it),
// and only then writes its access log line to standard output.
void serve_connection(int fd, const struct sockaddr_storage *client);

#endif
