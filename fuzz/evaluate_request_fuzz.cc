// evaluate_request with any Range, If-Modified-Since and If-Range values
// against a small file and an empty one, checked by what a client reads
// back.
//
// Input: the first byte chooses the method (bit 0: HEAD) and the file
// (bit 1: the empty one); the rest is the Range value, a line feed, the
// If-Modified-Since value, a line feed and the If-Range value. A value
// longer than a field holds is cut, as read_request would have refused it.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "fuzz/check.h"
#include "http/evaluate.h"
#include "http/request.h"

// Sun, 06 Nov 1994 08:49:37 GMT: dates on both sides of it are easy to
// write by hand into the seeds.
static constexpr time_t FILE_MTIME = 784111777;
static constexpr char FILE_MODIFIED[] = "Sun, 06 Nov 1994 08:49:37 GMT";
static constexpr char FILE_CONTENT[] = "0123456789";
static char served_dir[] = "/tmp/corvansel-fuzz-XXXXXX";

static void
remove_served_dir()
{
    unlink("ten");
    unlink("empty");
    rmdir(served_dir);
}

static void
make_file(const char *name, const char *content)
{
    FILE *fp = fopen(name, "w");
    FUZZ_CHECK(fp != nullptr);
    fputs(content, fp);
    FUZZ_CHECK(fclose(fp) == 0);
    struct timeval times[2] = {{FILE_MTIME, 0}, {FILE_MTIME, 0}};
    FUZZ_CHECK(utimes(name, times) == 0);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ_CHECK(mkdtemp(served_dir) != nullptr);
    FUZZ_CHECK(chdir(served_dir) == 0);
    atexit(remove_served_dir);
    make_file("ten", FILE_CONTENT);
    make_file("empty", "");
    return 0;
}

// Copies at most the field's length of text, up to the next line feed or
// end, into field. Returns where the next value starts, or end.
static const uint8_t *
set_field(char (&field)[FIELD_VALUE_MAX], const uint8_t *text,
          const uint8_t *end)
{
    const uint8_t *newline =
        (const uint8_t *)memchr(text, '\n', (size_t)(end - text));
    const uint8_t *next = newline != nullptr ? newline + 1 : end;
    if (newline != nullptr)
        end = newline;
    size_t len = (size_t)(end - text);
    if (len > sizeof field - 1)
        len = sizeof field - 1;
    memcpy(field, text, len);
    field[len] = '\0';
    return next;
}

// The value of the head line that begins with name, or -1 when absent.
static long long
head_number(const std::string &head, const char *name)
{
    size_t at = head.find(std::string("\r\n") + name);
    if (at == std::string::npos)
        return -1;
    return strtoll(head.c_str() + at + 2 + strlen(name), nullptr, 10);
}

static void
check_file_response(const Request &r, Status s, const std::string &head,
                    const std::string &body, const std::string &content)
{
    long long size = (long long)content.size();
    long long length = head_number(head, "Content-Length: ");
    long long lower = 0;
    if (s == STATUS_OK) {
        FUZZ_CHECK(length == size);
    } else {
        size_t at = head.find("\r\nContent-Range: bytes ");
        FUZZ_CHECK(at != std::string::npos);
        long long upper = -1, total = -1;
        FUZZ_CHECK(sscanf(head.c_str() + at,
                          "\r\nContent-Range: bytes %lld-%lld/%lld", &lower,
                          &upper, &total) == 3);
        FUZZ_CHECK(total == size);
        FUZZ_CHECK(0 <= lower && lower <= upper && upper < size);
        FUZZ_CHECK(length == upper - lower + 1);
    }
    if (r.method == METHOD_HEAD) {
        FUZZ_CHECK(body.empty());
        FUZZ_CHECK(r.bytes_sent == 0);
        return;
    }
    FUZZ_CHECK(body == content.substr((size_t)lower, (size_t)length));
    FUZZ_CHECK(r.bytes_sent == (uint64_t)length);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Request r;
    memset(&r, 0, sizeof r);
    r.method = data[0] & 1 ? METHOD_HEAD : METHOD_GET;
    bool empty = data[0] & 2;
    snprintf(r.target, sizeof r.target, "%s", empty ? "/empty" : "/ten");
    const uint8_t *end = data + size;
    const uint8_t *next = set_field(r.field[FIELD_RANGE], data + 1, end);
    next = set_field(r.field[FIELD_IF_MODIFIED_SINCE], next, end);
    set_field(r.field[FIELD_IF_RANGE], next, end);
    bool has_since = r.field[FIELD_IF_MODIFIED_SINCE][0] != '\0';
    // A Range counts only under an If-Range that names the file's date
    // exactly; otherwise the whole file is the answer.
    bool has_range = r.field[FIELD_RANGE][0] != '\0' &&
                     (r.field[FIELD_IF_RANGE][0] == '\0' ||
                      strcmp(r.field[FIELD_IF_RANGE], FILE_MODIFIED) == 0);

    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    Status s = evaluate_request(sv[0], &r);
    shutdown(sv[0], SHUT_WR);
    std::string response = drain(sv[1]);
    close(sv[0]);
    close(sv[1]);

    size_t head_end = response.find("\r\n\r\n");
    FUZZ_CHECK(head_end != std::string::npos);
    std::string head = response.substr(0, head_end + 2);
    std::string body = response.substr(head_end + 4);
    std::string line = "HTTP/1.1 " + std::to_string(s) + " ";
    FUZZ_CHECK(head.compare(0, line.size(), line) == 0);

    switch (s) {
    case STATUS_OK:
        FUZZ_CHECK(!has_range);
        check_file_response(r, s, head, body, empty ? "" : FILE_CONTENT);
        break;
    case STATUS_PARTIAL_CONTENT:
        FUZZ_CHECK(has_range);
        check_file_response(r, s, head, body, empty ? "" : FILE_CONTENT);
        break;
    case STATUS_NOT_MODIFIED:
        FUZZ_CHECK(has_since);
        FUZZ_CHECK(body.empty() && r.bytes_sent == 0);
        break;
    case STATUS_RANGE_NOT_SATISFIABLE:
        FUZZ_CHECK(has_range);
        FUZZ_CHECK(head.find(empty ? "\r\nContent-Range: bytes */0\r\n"
                                   : "\r\nContent-Range: bytes */10\r\n") !=
                   std::string::npos);
        FUZZ_CHECK(body.empty() && r.bytes_sent == 0);
        break;
    case STATUS_BAD_REQUEST:
        FUZZ_CHECK(has_range || has_since);
        FUZZ_CHECK(body == "400 Bad Request\n" && r.bytes_sent == 0);
        break;
    default:
        fprintf(stderr, "unexpected status %d\n", s);
        FUZZ_CHECK(false);
    }
    return 0;
}
