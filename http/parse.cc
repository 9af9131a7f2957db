// The request reader: a fixed buffer, one forward pass in place, and a
// status response for everything it refuses.
#include "http/parse.h"

#include <stddef.h>
#include <string.h>

#include "http/connection.h"
#include "http/request.h"

static constexpr char HEAD_END[] = "\r\n\r\n";
static constexpr size_t HEAD_END_LENGTH = sizeof HEAD_END - 1;
static constexpr char VERSION_PREFIX[] = "HTTP/";
static constexpr int VERSION_PREFIX_LENGTH = sizeof VERSION_PREFIX - 1;

// Returns the position of the first blank line's CR LF CR LF among the
// len bytes at buf, looking from from on, or -1.
static ptrdiff_t
find_head_end(const char *buf, size_t from, size_t len)
{
    for (size_t i = from; i + HEAD_END_LENGTH <= len; i++)
        if (buf[i] == '\r' && memcmp(buf + i, HEAD_END, HEAD_END_LENGTH) == 0)
            return (ptrdiff_t)i;
    return -1;
}

// Reads until the bytes held contain a blank line, the buffer is full or
// the stream ends. The head ends at its first blank line, wherever a read
// puts it: what follows in the same read (a body, a pipelined request) is
// no part of it and is never parsed, and r->input_after_head tells the
// caller that the client sent it. Returns 0 with the head text cut and
// terminated in buf, or the status that was sent.
static Status
read_head(int fd, char *buf, size_t size, Request *r)
{
    size_t fill = 0;
    for (;;) {
        ssize_t n = read_some(fd, buf + fill, size - fill);
        if (n < 0)
            return send_status(fd, STATUS_REQUEST_TIMEOUT);
        if (n == 0) {
            if (fill < 2)
                return send_status(fd, STATUS_BAD_REQUEST);
            break;
        }
        // A blank line may straddle the last read and this one.
        size_t from =
            fill >= HEAD_END_LENGTH - 1 ? fill - (HEAD_END_LENGTH - 1) : 0;
        fill += (size_t)n;
        ptrdiff_t end = find_head_end(buf, from, fill);
        if (end >= 0) {
            size_t head = (size_t)end + HEAD_END_LENGTH;
            r->input_after_head = fill > head;
            fill = head;
            break;
        }
        if (fill == size)
            return send_status(fd, STATUS_HEADER_FIELDS_TOO_LARGE);
    }
    // The head is parsed as text, which would end at a zero byte: the
    // lines after it would go unread, and a field that a proxy before us
    // saw and acted on would be missing here.
    if (memchr(buf, '\0', fill) != nullptr)
        return send_status(fd, STATUS_BAD_REQUEST);
    // Drop the final CR LF, so the head text ends with the CR LF of its
    // last line, which the line parse looks for. At the end of the stream
    // without a blank line, the last two bytes held go, whatever they are.
    buf[fill - 2] = '\0';
    return STATUS_NONE;
}

static int
fold_ascii(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// strncasecmp as it behaves in the C locale, the only one the server runs
// in: letters A to Z match their lower case, every other byte only itself.
// Done here because the C library's version looks each byte up in the
// locale's tables, pages that every worker would have to fault in.
static int
compare_ignoring_case(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        int d =
            fold_ascii((unsigned char)a[i]) - fold_ascii((unsigned char)b[i]);
        if (d != 0 || a[i] == '\0')
            return d;
    }
    return 0;
}

// Returns the index of the first table entry that begins text, or -1.
template <size_t N>
static int
match_token(const char *text, const std::array<const char *, N> &table,
            int (*compare)(const char *, const char *, size_t))
{
    for (size_t i = 0; i < N; i++)
        if (compare(text, table[i], strlen(table[i])) == 0)
            return (int)i;
    return -1;
}

// Parses the header lines that start at line, storing the recognised ones.
static Status
parse_fields(int fd, Request *r, char *line)
{
    while (*line != '\0') {
        int f = match_token(line, field_name, compare_ignoring_case);
        if (f < 0) {
            char *end = strstr(line, "\r\n");
            if (end == nullptr)
                return send_status(fd, STATUS_BAD_REQUEST);
            line = end + 2;
            continue;
        }
        char *value = line + strlen(field_name[f]);
        if (*value != ':')
            return send_status(fd, STATUS_BAD_REQUEST);
        value++;
        while (*value == ' ' || *value == '\t')
            value++;
        char *end = strstr(value, "\r\n");
        if (end == nullptr)
            return send_status(fd, STATUS_BAD_REQUEST);
        *end = '\0';
        size_t len = (size_t)(end - value);
        if (len >= sizeof r->field[f])
            return send_status(fd, STATUS_HEADER_FIELDS_TOO_LARGE);
        memcpy(r->field[f], value, len + 1);
        line = end + 2;
    }
    return STATUS_NONE;
}

static Status
parse_head(int fd, Request *r, char *head)
{
    int m = match_token(head, method_name, strncmp);
    if (m < 0)
        return send_status(fd, STATUS_METHOD_NOT_ALLOWED);
    r->method = (Method)m;

    char *target = head + strlen(method_name[m]);
    if (*target != ' ')
        return send_status(fd, STATUS_BAD_REQUEST);
    target++;
    // The target ends at the next space wherever it is: line ends are
    // ordinary target bytes here.
    char *end = strchr(target, ' ');
    if (end == nullptr)
        return send_status(fd, STATUS_BAD_REQUEST);
    *end = '\0';
    size_t len = (size_t)(end - target);
    if (len >= sizeof r->target)
        return send_status(fd, STATUS_HEADER_FIELDS_TOO_LARGE);
    memcpy(r->target, target, len + 1);
    // "/notes.txt%00.html" must not become "/notes.txt": a proxy before us
    // judged, and typed, the name it saw. What precedes the zero stays in
    // the target, for the log line, which marks where the zero stood.
    r->target_cut_at_zero = decode_percent(r->target, r->target);
    if (r->target_cut_at_zero)
        return send_status(fd, STATUS_BAD_REQUEST);

    char *version = end + 1;
    if (strncmp(version, VERSION_PREFIX, VERSION_PREFIX_LENGTH) != 0)
        return send_status(fd, STATUS_BAD_REQUEST);
    version += VERSION_PREFIX_LENGTH;
    if (version[0] != '1' || version[1] != '.' ||
        (version[2] != '0' && version[2] != '1'))
        return send_status(fd, STATUS_VERSION_NOT_SUPPORTED);
    if (version[3] != '\r' || version[4] != '\n')
        return send_status(fd, STATUS_BAD_REQUEST);
    return parse_fields(fd, r, version + 5);
}

Status
read_request(int fd, Request *r)
{
    static_assert(REQUEST_BUFFER_SIZE <= EXCHANGE_BUFFER_SIZE);
    memset(r, 0, sizeof *r);
    // The head is parsed into r, which keeps copies of what it needs, so
    // the buffer is free again once this returns.
    char *buf = exchange_buffer;
    Status s = read_head(fd, buf, REQUEST_BUFFER_SIZE, r);
    if (s != STATUS_NONE)
        return s;
    return parse_head(fd, r, buf);
}

static int
hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Converts the text after a "%" as sscanf's "%2hhx" would: white space is
// skipped without counting, then at most two characters, an optional sign
// and hex digits. Returns 0 and the value modulo 256 in *byte, or 1 when no
// digit was read.
static int
convert_escape(const char *s, unsigned char *byte)
{
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    int width = 2;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        s++;
        width--;
    }
    unsigned value = 0;
    int digits = 0;
    for (; width > 0 && hex_value(*s) >= 0; s++, width--, digits++)
        value = value * 16 + (unsigned)hex_value(*s);
    if (digits == 0)
        return 1;
    *byte = (unsigned char)(negative ? 0u - value : value);
    return 0;
}

bool
decode_percent(const char *src, char *dst)
{
    while (*src != '\0') {
        unsigned char byte;
        if (*src != '%' || convert_escape(src + 1, &byte) != 0) {
            *dst++ = *src++;
            continue;
        }
        *dst++ = (char)byte;
        if (byte == '\0')
            return true;
        // A successful conversion read at least one digit, so the byte
        // after the "%" is never the end; the one after that may be.
        if (src[2] == '\0')
            break;
        src += 3;
    }
    *dst = '\0';
    return false;
}
