// Replacements for BSD library calls that glibc does not have.
#include "compat/compat.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <netdb.h>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

#if defined(__GLIBC__)
long long
strtonum(const char *numstr, long long minval, long long maxval,
         const char **errstrp)
{
    const char *errstr = nullptr;
    long long value = 0;
    int saved_errno = errno;

    errno = 0;
    if (minval > maxval) {
        errstr = "invalid";
        errno = EINVAL;
    } else {
        char *end;
        value = strtoll(numstr, &end, 10);
        if (end == numstr || *end != '\0') {
            errstr = "invalid";
            errno = EINVAL;
        } else if ((value == LLONG_MIN && errno == ERANGE) || value < minval) {
            errstr = "too small";
            errno = ERANGE;
        } else if ((value == LLONG_MAX && errno == ERANGE) || value > maxval) {
            errstr = "too large";
            errno = ERANGE;
        }
    }
    if (errstrp != nullptr)
        *errstrp = errstr;
    if (errstr != nullptr)
        return 0;
    errno = saved_errno;
    return value;
}
#endif

#if defined(__GLIBC__)
// Whether glibc would read service as a number above 65535: what strtoul
// takes whole (leading white space, an optional "+", decimal digits) with
// a value that does not fit in a port.
static bool
is_port_beyond_range(const char *service)
{
    const char *p = service;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p == '+')
        p++;
    if (*p == '\0')
        return false;
    unsigned long value = 0;
    for (; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return false;
        // Stop adding once it is too large, so that it cannot wrap round.
        if (value <= 65535)
            value = value * 10 + (unsigned long)(*p - '0');
    }
    return value > 65535;
}
#endif

int
resolve(const char *host, const char *service, const struct addrinfo *hints,
        struct addrinfo **res)
{
#if defined(__GLIBC__)
    if (service != nullptr && is_port_beyond_range(service))
        return EAI_SERVICE;
#endif
    return getaddrinfo(host, service, hints, res);
}

int64_t
monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

time_t
current_time()
{
#if defined(__linux__) && defined(SYS_clock_gettime) &&                        \
    defined(CLOCK_REALTIME_COARSE)
    // The coarse clock is the one time() reads, so the two never disagree
    // near the turn of a second.
    struct timespec ts;
    if (syscall(SYS_clock_gettime, CLOCK_REALTIME_COARSE, &ts) == 0)
        return ts.tv_sec;
#endif
    return time(nullptr);
}
