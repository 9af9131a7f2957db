// The assertion of the fuzz targets: unlike assert it stays in every build
// type, and it aborts, which libFuzzer reports as a crash with its input.
#ifndef CORVANSEL_FUZZ_CHECK_H
#define CORVANSEL_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(cond)                                                       \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,   \
                    #cond);                                                    \
            abort();                                                           \
        }                                                                      \
    } while (0)

#endif
