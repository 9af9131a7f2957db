// What the fuzz targets share: their assertion, which unlike assert stays
// in every build type and aborts, so libFuzzer reports a crash with its
// input; and reading what a call sent to the other end of a socket.
#ifndef CORVANSEL_FUZZ_CHECK_H
#define CORVANSEL_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#define FUZZ_CHECK(cond)                                                       \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,   \
                    #cond);                                                    \
            abort();                                                           \
        }                                                                      \
    } while (0)

// Everything the other end of a socket received, until end of stream.
inline std::string
drain(int fd)
{
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    return text;
}

#endif
