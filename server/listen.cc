// Resolving the listen address and opening the listening sockets.
#include "server/listen.h"

#include <arpa/inet.h>
#include <err.h>
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <netinet/in.h>

#include "compat/compat.h"

int
open_listeners(const char *host, const char *port,
               struct pollfd fds[MAX_LISTENERS],
               struct sockaddr_storage addrs[MAX_LISTENERS])
{
    struct addrinfo hints = {};
    hints.ai_flags = AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;

    struct addrinfo *list;
    int rc = resolve(host, port, &hints, &list);
    // The resolver's own errors carry their reason in its text alone;
    // errno means nothing after them, except after a system error.
    if (rc == EAI_SYSTEM)
        err(1, "getaddrinfo: %s", gai_strerror(rc));
    if (rc != 0)
        errx(1, "getaddrinfo: %s", gai_strerror(rc));

    int count = 0;
    for (struct addrinfo *ai = list; ai != nullptr && count < MAX_LISTENERS;
         ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd == -1)
            err(1, "socket");
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1)
            err(1, "setsockopt");
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == -1)
            err(1, "bind");
        if (listen(fd, LISTEN_BACKLOG) == -1)
            err(1, "listen");
        struct timeval tv = {};
        tv.tv_sec = SOCKET_TIMEOUT_SECONDS;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == -1 ||
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == -1)
            err(1, "setsockopt");
        fds[count].fd = fd;
        fds[count].events = POLLIN;
        fds[count].revents = 0;
        memcpy(&addrs[count], ai->ai_addr, ai->ai_addrlen);
        count++;
    }
    freeaddrinfo(list);
    return count;
}

// Writes an IPv4 address in dotted decimal, as inet_ntop does: same text,
// same refusal (ENOSPC, nothing written) when it does not fit. The C
// library formats it through sprintf, whose large body of code every
// worker would fault in for the one address of its log line.
static const char *
format_ipv4(const struct in_addr *addr, char *text, socklen_t size)
{
    const unsigned char *b = reinterpret_cast<const unsigned char *>(addr);
    char out[sizeof "255.255.255.255"];
    char *p = out;
    for (int i = 0; i < 4; i++) {
        if (i > 0)
            *p++ = '.';
        unsigned v = b[i];
        if (v >= 100)
            *p++ = (char)('0' + v / 100);
        if (v >= 10)
            *p++ = (char)('0' + v / 10 % 10);
        *p++ = (char)('0' + v % 10);
    }
    *p++ = '\0';
    size_t len = (size_t)(p - out);
    if (len > size) {
        errno = ENOSPC;
        return nullptr;
    }
    memcpy(text, out, len);
    return text;
}

int
address_text(const struct sockaddr_storage *addr, char *text, socklen_t size)
{
    const char *done;
    switch (addr->ss_family) {
    case AF_INET:
        done = format_ipv4(
            &reinterpret_cast<const struct sockaddr_in *>(addr)->sin_addr, text,
            size);
        break;
    case AF_INET6:
        done = inet_ntop(
            AF_INET6,
            &reinterpret_cast<const struct sockaddr_in6 *>(addr)->sin6_addr,
            text, size);
        break;
    default:
        return 0;
    }
    if (done == nullptr) {
        warn("inet_ntop");
        return 1;
    }
    return 0;
}
