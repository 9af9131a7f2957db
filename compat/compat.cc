// Replacements for BSD library calls that glibc does not have.
#include "compat/compat.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

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
