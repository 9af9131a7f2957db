// read_request over a socket with any bytes, cut into any reads.
//
// Input: the first byte, modulo 16, is a count n of chunk lengths; the next
// n bytes are those lengths (each byte plus one); the rest is what the
// client sends, in chunks of those lengths and then one chunk of whatever
// is left. The pair is SOCK_SEQPACKET so that every chunk reaches exactly
// one read, as the slowest client would deliver it: on a stream pair the
// kernel would merge chunks written ahead. A chunk longer than the room
// left in the request buffer loses its tail, which a stream would keep;
// read_request never reads again once its buffer is full, so it cannot
// tell the difference.
//
// The head ends at its first blank line: when the bytes sent have one
// within the buffer, the same head sent alone, with nothing behind it,
// must get the same result and the same record. Nothing after the blank
// line may change what the server makes of the request.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fuzz/check.h"
#include "http/parse.h"
#include "http/request.h"

static constexpr size_t MAX_CHUNK_LENGTHS = 15;

static bool
terminated(const char *text, size_t size)
{
    return memchr(text, '\0', size) != nullptr;
}

static void
send_chunks(int fd, const uint8_t *lengths, size_t count, const uint8_t *data,
            size_t size)
{
    size_t off = 0;
    for (size_t i = 0; i < count && off < size; i++) {
        size_t n = (size_t)lengths[i] + 1;
        if (n > size - off)
            n = size - off;
        FUZZ_CHECK(send(fd, data + off, n, 0) == (ssize_t)n);
        off += n;
    }
    // An empty message would read as the end of the stream, which only
    // shutdown may bring.
    if (off < size)
        FUZZ_CHECK(send(fd, data + off, size - off, 0) ==
                   (ssize_t)(size - off));
    shutdown(fd, SHUT_WR);
}

// Sends the client's bytes in chunks as the input describes, runs
// read_request on the other end and returns its result, with what it sent
// back in *sent.
static Status
run(const uint8_t *lengths, size_t count, const uint8_t *bytes, size_t size,
    Request *r, std::string *sent)
{
    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) == 0);
    // The whole input fits in the socket buffer, so it is all written
    // before the reader starts.
    int buffer = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    send_chunks(sv[1], lengths, count, bytes, size);

    Status s = read_request(sv[0], r);
    shutdown(sv[0], SHUT_WR);
    *sent = drain(sv[1]);
    close(sv[0]);
    close(sv[1]);
    return s;
}

// The length of the head up to and including its first blank line, when
// that ends within the request buffer; 0 when there is none.
static size_t
head_length(const uint8_t *bytes, size_t size)
{
    size_t limit = size < REQUEST_BUFFER_SIZE ? size : REQUEST_BUFFER_SIZE;
    for (size_t i = 0; i + 4 <= limit; i++)
        if (memcmp(bytes + i, "\r\n\r\n", 4) == 0)
            return i + 4;
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t count = data[0] % (MAX_CHUNK_LENGTHS + 1);
    if (size < 1 + count)
        return 0;
    const uint8_t *bytes = data + 1 + count;
    size_t length = size - 1 - count;

    Request r;
    std::string sent;
    Status s = run(data + 1, count, bytes, length, &r, &sent);

    // Whatever it refused, every text of the record is terminated inside
    // its field and nothing was counted, so the log line can print it.
    FUZZ_CHECK(terminated(r.target, sizeof r.target));
    for (const char *value : r.field)
        FUZZ_CHECK(terminated(value, FIELD_VALUE_MAX));
    FUZZ_CHECK(r.bytes_sent == 0);
    FUZZ_CHECK(r.method == METHOD_GET || r.method == METHOD_HEAD);

    size_t head = head_length(bytes, length);
    if (head > 0) {
        Request alone;
        std::string alone_sent;
        Status t = run(nullptr, 0, bytes, head, &alone, &alone_sent);
        FUZZ_CHECK(t == s);
        FUZZ_CHECK(alone.method == r.method);
        FUZZ_CHECK(strcmp(alone.target, r.target) == 0);
        for (int f = 0; f < FIELD_COUNT; f++)
            FUZZ_CHECK(strcmp(alone.field[f], r.field[f]) == 0);
        FUZZ_CHECK(!alone.input_after_head);
        // Only bytes sent after the head can have been read after it.
        FUZZ_CHECK(!r.input_after_head || length > head);
    } else {
        FUZZ_CHECK(!r.input_after_head);
    }

    if (s == STATUS_NONE) {
        // Accepted: nothing may have gone to the client, and the server
        // acts on the whole head and the whole target: neither held a
        // zero byte that would have cut it short.
        FUZZ_CHECK(sent.empty());
        FUZZ_CHECK(!r.target_cut_at_zero);
        size_t used = head > 0 ? head : length;
        FUZZ_CHECK(memchr(bytes, '\0', used) == nullptr);
        return 0;
    }
    FUZZ_CHECK(s == STATUS_BAD_REQUEST || s == STATUS_METHOD_NOT_ALLOWED ||
               s == STATUS_REQUEST_TIMEOUT ||
               s == STATUS_HEADER_FIELDS_TOO_LARGE ||
               s == STATUS_VERSION_NOT_SUPPORTED);
    // Refused: exactly one status response, for the status returned.
    std::string line = "HTTP/1.1 " + std::to_string(s) + " ";
    FUZZ_CHECK(sent.compare(0, line.size(), line) == 0);
    FUZZ_CHECK(sent.find("HTTP/1.1 ", 1) == std::string::npos);
    return 0;
}
