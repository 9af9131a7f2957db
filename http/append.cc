// Appending numbers and texts to a text being built.
#include "http/append.h"

#include <stdint.h>
#include <string.h>

char *
put_text(char *out, const char *text)
{
    size_t len = strlen(text);
    memcpy(out, text, len);
    return out + len;
}

char *
put_decimal(char *out, int64_t value)
{
    // Work in the unsigned magnitude, so the most negative value has one.
    uint64_t magnitude = (uint64_t)value;
    if (value < 0) {
        *out++ = '-';
        magnitude = 0 - magnitude;
    }
    return put_unsigned(out, magnitude);
}

char *
put_unsigned(char *out, uint64_t value)
{
    char digits[20];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *out++ = digits[--n];
    return out;
}
