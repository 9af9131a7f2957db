// decode_percent on any text, in place and into a second buffer, against
// the C library's own reading of "%2hhx".
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz/check.h"
#include "http/parse.h"

// The decoding as the server's contract states it, with sscanf reading
// each escape. Always consumes the "%" and the two bytes after it, and
// stops at a decoded zero, which sets *zero, or where those bytes reach
// the end.
static std::string
reference_decode(const char *src, bool *zero)
{
    std::string out;
    *zero = false;
    while (*src != '\0') {
        unsigned char byte;
        if (*src != '%' || sscanf(src + 1, "%2hhx", &byte) != 1) {
            out += *src++;
            continue;
        }
        if (byte == '\0') {
            *zero = true;
            break;
        }
        out += (char)byte;
        if (src[2] == '\0')
            break;
        src += 3;
    }
    return out;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Buffers of the exact size, so that the address sanitizer sees any
    // read or write past the terminating zero.
    char *src = (char *)malloc(size + 1);
    memcpy(src, data, size);
    src[size] = '\0';
    size_t len = strlen(src);
    char *dst = (char *)malloc(len + 1);
    bool zero = decode_percent(src, dst);
    size_t decoded = strlen(dst);
    FUZZ_CHECK(decoded <= len);

    // In place gives the same text as into another buffer.
    FUZZ_CHECK(decode_percent(src, src) == zero);
    FUZZ_CHECK(strcmp(src, dst) == 0);

    memcpy(src, data, size);
    src[size] = '\0';
    bool expected_zero;
    std::string expected = reference_decode(src, &expected_zero);
    FUZZ_CHECK(zero == expected_zero);
    if (expected != dst) {
        fprintf(stderr, "decoded %zu bytes, sscanf reads %zu\n", decoded,
                expected.size());
        FUZZ_CHECK(expected == dst);
    }
    free(dst);
    free(src);
    return 0;
}
