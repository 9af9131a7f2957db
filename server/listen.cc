// Resolving the listen address and opening the listening sockets.
#include "server/listen.h"

#include <arpa/inet.h>
#include <err.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>

#include <netinet/in.h>

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
    int rc = getaddrinfo(host, port, &hints, &list);
    if (rc != 0)
        err(1, "getaddrinfo: %s", gai_strerror(rc));

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
        fds[count].fd = fd;
        fds[count].events = POLLIN;
        fds[count].revents = 0;
        memcpy(&addrs[count], ai->ai_addr, ai->ai_addrlen);
        count++;
    }
    freeaddrinfo(list);
    return count;
}

int
address_text(const struct sockaddr_storage *addr, char *text, socklen_t size)
{
    const void *bytes;
    switch (addr->ss_family) {
    case AF_INET:
        bytes = &reinterpret_cast<const struct sockaddr_in *>(addr)->sin_addr;
        break;
    case AF_INET6:
        bytes = &reinterpret_cast<const struct sockaddr_in6 *>(addr)->sin6_addr;
        break;
    default:
        return 0;
    }
    if (inet_ntop(addr->ss_family, bytes, text, size) == nullptr) {
        warn("inet_ntop");
        return 1;
    }
    return 0;
}
