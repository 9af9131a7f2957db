// What the C library of this platform lacks or does differently: the one
// place where the server bends to glibc while staying FreeBSD code.
#ifndef CORVANSEL_COMPAT_COMPAT_H
#define CORVANSEL_COMPAT_COMPAT_H

#include <netdb.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>

// glibc's getopt moves operands behind the options unless the option
// string begins with "+"; the server wants scanning to stop at the first
// operand, which is what a BSD getopt does with the plain string.
#if defined(__GLIBC__)
#define GETOPT_PREFIX "+"
#else
#define GETOPT_PREFIX ""
#endif

#if defined(__GLIBC__)
// The BSD contract: a base-10 number, optional leading white space and
// sign, nothing after the digits, between minval and maxval. On failure it
// returns 0, sets errno and points *errstrp at "invalid", "too small" or
// "too large"; on success *errstrp is null.
long long strtonum(const char *numstr, long long minval, long long maxval,
                   const char **errstrp);
#endif

// getaddrinfo, with a numeric service above 65535 refused (EAI_SERVICE)
// the same way on every platform. BSD resolvers refuse such a port; glibc's
// takes it and keeps its low 16 bits, so that the server would listen on
// another port than the one it names in its banner.
int resolve(const char *host, const char *service,
            const struct addrinfo *hints, struct addrinfo **res);

// The current time, as time(NULL). On Linux the C library reads it through
// the vDSO, whose code and data pages every new process faults in; a
// worker asks once, so there a system call is the cheaper way. Elsewhere
// it is time() itself.
time_t current_time();

// Milliseconds on the monotonic clock, for intervals and deadlines that a
// change of the wall clock must neither stretch nor cut short.
int64_t monotonic_ms();

#endif
