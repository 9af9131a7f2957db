// Listening sockets and the numeric text of socket addresses.
#ifndef CORVANSEL_SERVER_LISTEN_H
#define CORVANSEL_SERVER_LISTEN_H

#include <limits.h>
#include <poll.h>
#include <sys/socket.h>

#include <netinet/in.h>

constexpr int MAX_LISTENERS = 4;
// Every receive and every send on a connection waits at most this long.
// Set on the listening sockets, whose accepted connections inherit them
// (on Linux and on FreeBSD alike), so that no worker pays for setting them.
constexpr int SOCKET_TIMEOUT_SECONDS = 30;
// The listen backlog asked for: more than any system allows, so that each
// caps it at its own maximum (Linux's net.core.somaxconn, 4096 by default;
// FreeBSD's kern.ipc.soacceptqueue, 128 unless raised). A burst of new
// clients then waits in the queue while the server forks, instead of
// having its handshakes dropped and retried a second or more later.
constexpr int LISTEN_BACKLOG = INT_MAX;

// Numeric text of an IPv4 or IPv6 address, with its terminating zero.
constexpr int ADDRESS_TEXT_SIZE = INET6_ADDRSTRLEN;
using AddressText = char[ADDRESS_TEXT_SIZE];

// Resolves host and the numeric port and opens one listening TCP socket per
// resulting address, at most MAX_LISTENERS, with SOCKET_TIMEOUT_SECONDS for
// the connections it accepts, filling entry i of fds and addrs for the i-th
// socket. Returns the count; every failure ends the process.
int open_listeners(const char *host, const char *port,
                   struct pollfd fds[MAX_LISTENERS],
                   struct sockaddr_storage addrs[MAX_LISTENERS]);

// Writes the numeric text of an IPv4 or IPv6 address into text. Returns 0
// (also for another family, leaving text untouched), or 1 after a warning.
[[nodiscard]] int address_text(const struct sockaddr_storage *addr, char *text,
                               socklen_t size);

#endif
