// The request reader, driven through a real socketpair: the result, what
// the record holds on each path and the bytes the client gets back.
#include "http/parse.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "http/date.h"
#include "http/exchange_test_util.h"
#include "http/request.h"

using namespace std::string_literals;

namespace {

// One exchange: what the client writes, and whether it then ends its
// side of the stream. The reads are the writes: each part arrives by itself.
struct Case {
    const char *name;
    std::vector<std::string> parts;
    bool end = false;
    Status status = STATUS_NONE;
    Method method = METHOD_GET;
    std::string target = "";
    std::string range = "";
    std::string since = "";
    std::string agent = "";
    std::string if_range = "";
    // Whether the client sent bytes after the head in the reads taken.
    bool after = false;
};

struct Outcome {
    Status status;
    Request r;
    std::string response;
};

// The text of a record field up to its terminating zero; a field without
// one shows up as such instead of being read past its end.
template <size_t N>
std::string
text(const char (&field)[N])
{
    size_t len = strnlen(field, N);
    return len == N ? "<unterminated>" : std::string(field, len);
}

// Bytes queued on fd and not yet read.
int
queued(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == -1 ? -1 : n;
}

// Runs read_request on one end of a socketpair while the parts are written
// into the other end, each only once the one before has been read, so that
// every part is one read of its own. Returns the result, the record and
// everything the reader sent back.
Outcome
run(const std::vector<std::string> &parts, bool end)
{
    Outcome o;
    o.status = -1;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == -1) {
        o.response = "socketpair: "s + strerror(errno);
        return o;
    }
    int client = sv[0], server = sv[1];
    // A reader that waits for more than the client sends ends with 408
    // instead of hanging the test.
    struct timeval limit = {10, 0};
    setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    // The record must be cleared whatever it held before.
    memset(&o.r, 'x', sizeof o.r);

    std::atomic<bool> done{false};
    std::thread reader([&] {
        o.status = read_request(server, &o.r);
        done = true;
    });
    for (size_t i = 0; i < parts.size(); i++) {
        const std::string &p = parts[i];
        for (size_t off = 0; off < p.size();) {
            ssize_t n = write(client, p.data() + off, p.size() - off);
            if (n <= 0)
                break;
            off += (size_t)n;
        }
        if (i + 1 < parts.size() && queued(server) < 0)
            ADD_FAILURE() << "FIONREAD: " << strerror(errno);
        while (i + 1 < parts.size() && !done && queued(server) > 0) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, nullptr);
        }
    }
    if (end)
        shutdown(client, SHUT_WR);
    reader.join();
    close(server);

    // Closing with bytes left unread may report a reset after the data.
    o.response = read_all(client);
    close(client);
    return o;
}

// The exact response for a refusal, with "<date>" for the Date value.
std::string
refusal(Status status)
{
    const char *phrase = "";
    switch (status) {
    case STATUS_BAD_REQUEST:
        phrase = "Bad Request";
        break;
    case STATUS_METHOD_NOT_ALLOWED:
        phrase = "Method Not Allowed";
        break;
    case STATUS_REQUEST_TIMEOUT:
        phrase = "Request Time-out";
        break;
    case STATUS_HEADER_FIELDS_TOO_LARGE:
        phrase = "Request Header Fields Too Large";
        break;
    case STATUS_VERSION_NOT_SUPPORTED:
        phrase = "HTTP Version not supported";
        break;
    }
    std::string code = std::to_string(status);
    return "HTTP/1.1 " + code + " " + phrase +
           "\r\nDate: <date>\r\nConnection: close\r\n" +
           (status == STATUS_METHOD_NOT_ALLOWED ? "Allow: HEAD, GET\r\n" : "") +
           "Content-Type: text/plain\r\n\r\n" + code + " " + phrase + "\n";
}

// Replaces a Date value of the fixed form by "<date>"; anything else is
// left as it is, so the comparison shows it.
std::string
mask_valid_date(std::string response)
{
    const std::string key = "\r\nDate: ";
    size_t at = response.find(key);
    if (at == std::string::npos)
        return response;
    at += key.size();
    std::string date = response.substr(at, HTTP_DATE_SIZE - 1);
    struct tm tm = {};
    const char *rest = strptime(date.c_str(), "%a, %d %b %Y %T GMT", &tm);
    if (date.size() != HTTP_DATE_SIZE - 1 || rest == nullptr || *rest != '\0')
        return response;
    HttpDate again;
    if (strcmp(format_http_date(timegm(&tm), again), date.c_str()) != 0)
        return response;
    return response.replace(at, date.size(), "<date>");
}

void
check(const Case &c)
{
    SCOPED_TRACE(c.name);
    Outcome o = run(c.parts, c.end);
    EXPECT_EQ(o.status, c.status);
    if (c.status == STATUS_NONE)
        EXPECT_EQ(o.response, "");
    else
        EXPECT_EQ(mask_valid_date(o.response), refusal(c.status));
    EXPECT_EQ(o.r.method, c.method);
    EXPECT_EQ(text(o.r.target), c.target);
    EXPECT_EQ(text(o.r.field[FIELD_RANGE]), c.range);
    EXPECT_EQ(text(o.r.field[FIELD_IF_MODIFIED_SINCE]), c.since);
    EXPECT_EQ(text(o.r.field[FIELD_USER_AGENT]), c.agent);
    EXPECT_EQ(text(o.r.field[FIELD_IF_RANGE]), c.if_range);
    EXPECT_EQ(o.r.bytes_sent, 0u);
    EXPECT_EQ(o.r.input_after_head, c.after);
}

// A request of exactly size bytes: a request line for /full, then one
// unrecognised line padded to make up the size, then the blank line
// unless open is set.
std::string
head_of_size(size_t size, bool open = false)
{
    std::string head = "GET /full HTTP/1.1\r\nX-Pad: ";
    std::string tail = open ? "" : "\r\n\r\n";
    return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

} // namespace

TEST(ReadRequest, AcceptsARequestLine)
{
    const Case cases[] = {
        {.name = "GET", .parts = {"GET / HTTP/1.1\r\n\r\n"}, .target = "/"},
        {.name = "HEAD and version 1.0",
         .parts = {"HEAD / HTTP/1.0\r\n\r\n"},
         .method = METHOD_HEAD,
         .target = "/"},
        {.name = "target decoded",
         .parts = {"GET /a%20b%2Fc%7e HTTP/1.1\r\n\r\n"},
         .target = "/a b/c~"},
        {.name = "empty target, left to the evaluation",
         .parts = {"GET  HTTP/1.1\r\n\r\n"}},
        {.name = "line ends are target bytes",
         .parts = {"GET /x\r\nfoo HTTP/1.1\r\n\r\n"},
         .target = "/x\r\nfoo"},
    };
    for (const Case &c : cases)
        check(c);
}

TEST(ReadRequest, AcceptsAHeadSplitAcrossReads)
{
    const Case cases[] = {
        {.name = "between the two CR LF of the blank line",
         .parts = {"GET / HTTP/1.1\r\n", "\r\n"},
         .target = "/"},
        {.name = "inside the blank line",
         .parts = {"GET / HTTP/1.1\r\n\r", "\n"},
         .target = "/"},
        {.name = "byte by byte through the request line",
         .parts = {"G", "E", "T", " ", "/", "a", " HTTP/1", ".", "1\r",
                   "\n\r\n"},
         .target = "/a"},
        {.name = "inside a header name and its value",
         .parts = {"HEAD /b HTTP/1.0\r\nUser-Ag", "ent: c",
                   "url\r\nRange: ", "bytes=1-\r\n\r\n"},
         .method = METHOD_HEAD,
         .target = "/b",
         .range = "bytes=1-",
         .agent = "curl"},
        {.name = "reading stops at the first read that ends the head",
         .parts = {"GET / HTTP/1.1\r\n\r\n", "User-Agent: late\r\n\r\n"},
         .target = "/"},
        {.name = "the blank line ends it with more bytes in the same read",
         .parts = {"GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n",
                   "User-Agent: second\r\n\r\n"},
         .target = "/a",
         .after = true},
        {.name = "the blank line split across reads, more bytes behind it",
         .parts = {"GET /a HTTP/1.1\r\nUser-Agent: u\r\n\r", "\nbody"},
         .target = "/a",
         .agent = "u",
         .after = true},
    };
    for (const Case &c : cases)
        check(c);
}

// The head ends at its first blank line, wherever a read puts it: what
// follows is a body or the next request, never more header lines. A proxy
// in front sees the same request the server answers.
TEST(ReadRequest, EndsTheHeadAtItsFirstBlankLine)
{
    const Case cases[] = {
        {.name = "a body in the same read",
         .parts = {"GET /f HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"},
         .target = "/f",
         .after = true},
        {.name = "a body that reads like header lines",
         .parts = {"GET /f HTTP/1.1\r\nUser-Agent: u\r\n\r\n"
                   "\r\nRange: bytes=0-0\r\nUser-Agent: x\r\n\r\n"},
         .target = "/f",
         .agent = "u",
         .after = true},
        {.name = "a refused method with its body",
         .parts = {"POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"},
         .status = 405,
         .after = true},
        {.name = "a blank line within the buffer, the read bringing more",
         .parts = {head_of_size(4000) + std::string(200, 'b')},
         .target = "/full",
         .after = true},
        // The buffer is full before anything after the head is read.
        {.name = "a full head, more bytes behind it",
         .parts = {head_of_size(4096) + "more"},
         .target = "/full"},
    };
    for (const Case &c : cases)
        check(c);
}

TEST(ReadRequest, HandlesEndOfStream)
{
    const Case cases[] = {
        {.name = "nothing sent", .parts = {}, .end = true, .status = 400},
        {.name = "one byte", .parts = {"G"}, .end = true, .status = 400},
        // After the cut the text is too short for either method token.
        {.name = "two bytes", .parts = {"GE"}, .end = true, .status = 405},
        {.name = "two bytes in two reads",
         .parts = {"G", "E"},
         .end = true,
         .status = 405},
        {.name = "three bytes", .parts = {"GET"}, .end = true, .status = 405},
        {.name = "four bytes", .parts = {"GET "}, .end = true, .status = 405},
        {.name = "the cut removes the CR LF of the request line",
         .parts = {"GET / HTTP/1.0\r\n"},
         .end = true,
         .status = 400,
         .target = "/"},
        {.name = "the cut removes any two final bytes",
         .parts = {"GET / HTTP/1.0\r\nzz"},
         .end = true,
         .target = "/"},
        {.name = "the cut removes them across reads",
         .parts = {"GET / HTTP/1.0\r\n", "z", "z"},
         .end = true,
         .target = "/"},
        {.name = "a byte behind the blank line is no part of the head",
         .parts = {"GET / HTTP/1.1\r\n\r\nX"},
         .end = true,
         .target = "/",
         .after = true},
        {.name = "a field line without its CR LF",
         .parts = {"GET / HTTP/1.1\r\nRange: bytes=0-1\r\n"},
         .end = true,
         .status = 400,
         .target = "/"},
        {.name = "an unrecognised line without its CR LF",
         .parts = {"GET / HTTP/1.1\r\nUser-Agent: u\r\nX-Foo: bar\r\n"},
         .end = true,
         .status = 400,
         .target = "/",
         .agent = "u"},
    };
    for (const Case &c : cases)
        check(c);
}

TEST(ReadRequest, HoldsAtMostTheBufferSize)
{
    static_assert(REQUEST_BUFFER_SIZE == 4096);
    const Case cases[] = {
        {.name = "exactly 4096 bytes with the blank line at the end",
         .parts = {head_of_size(4096)},
         .target = "/full"},
        {.name = "exactly 4096 bytes, the blank line in a read of its own",
         .parts = {head_of_size(4092, true), "\r\n\r\n"},
         .target = "/full"},
        {.name = "4095 bytes, then the last LF of the blank line",
         .parts = {head_of_size(4096).substr(0, 4095), "\n"},
         .target = "/full"},
        {.name = "4096 bytes without the blank line",
         .parts = {head_of_size(4096, true)},
         .status = 431},
        {.name = "more than 4096 bytes before the blank line",
         .parts = {head_of_size(5000)},
         .status = 431},
        // Each read may only ask for the space left, so the second part
        // must not be read past the end of the buffer.
        {.name = "a read that would cross the end of the buffer",
         .parts = {head_of_size(4000, true),
                   std::string(200, 'p') + "\r\n\r\n"},
         .status = 431},
        {.name = "a full buffer that ends the stream",
         .parts = {head_of_size(4096, true)},
         .end = true,
         .status = 431},
    };
    for (const Case &c : cases)
        check(c);
}

TEST(ReadRequest, RefusesMethodsAndVersions)
{
    const Case cases[] = {
        {.name = "lower case get",
         .parts = {"get / HTTP/1.1\r\n\r\n"},
         .status = 405},
        {.name = "POST", .parts = {"POST / HTTP/1.1\r\n\r\n"}, .status = 405},
        {.name = "OPTIONS",
         .parts = {"OPTIONS * HTTP/1.1\r\n\r\n"},
         .status = 405},
        {.name = "a leading blank",
         .parts = {" GET / HTTP/1.1\r\n\r\n"},
         .status = 405},
        {.name = "GETX", .parts = {"GETX / HTTP/1.1\r\n\r\n"}, .status = 400},
        {.name = "HEADER",
         .parts = {"HEADER / HTTP/1.1\r\n\r\n"},
         .status = 400,
         .method = METHOD_HEAD},
        {.name = "a tab after the method",
         .parts = {"GET\t/ HTTP/1.1\r\n\r\n"},
         .status = 400},
        {.name = "no version", .parts = {"GET /a\r\n\r\n"}, .status = 400},
        {.name = "a zero byte inside the target",
         .parts = {"GET /a\0b HTTP/1.1\r\n\r\n"s},
         .status = 400},
        // An escape that decodes to zero would cut the name short: the
        // request is refused, and the target keeps what came before.
        {.name = "an escape of a zero byte inside the target",
         .parts = {"GET /notes.txt%00.html HTTP/1.1\r\n\r\n"},
         .status = 400,
         .target = "/notes.txt"},
        {.name = "an escape of a zero byte inside a directory name",
         .parts = {"GET /img%00/logo.png HTTP/1.1\r\n\r\n"},
         .status = 400,
         .target = "/img"},
        {.name = "an escape of a zero byte at the end",
         .parts = {"GET /a%00 HTTP/1.1\r\n\r\n"},
         .status = 400,
         .target = "/a"},
        {.name = "an escape of a zero byte read as sscanf reads it",
         .parts = {"GET /a%+0 HTTP/1.1\r\n\r\n"},
         .status = 400,
         .target = "/a"},
        {.name = "two blanks make an empty target and no version",
         .parts = {"GET  /a HTTP/1.1\r\n\r\n"},
         .status = 400},
        {.name = "HTTP/2.0",
         .parts = {"GET /v%41 HTTP/2.0\r\n\r\n"},
         .status = 505,
         .target = "/vA"},
        {.name = "HTTP/1.2",
         .parts = {"HEAD /v HTTP/1.2\r\n\r\n"},
         .status = 505,
         .method = METHOD_HEAD,
         .target = "/v"},
        {.name = "HTTP/1",
         .parts = {"GET /v HTTP/1\r\n\r\n"},
         .status = 505,
         .target = "/v"},
        {.name = "HTTP/ alone",
         .parts = {"GET /v HTTP/\r\n\r\n"},
         .status = 505,
         .target = "/v"},
        {.name = "lower case http",
         .parts = {"GET /v http/1.1\r\n\r\n"},
         .status = 400,
         .target = "/v"},
        {.name = "HTTP/1.10",
         .parts = {"GET /v HTTP/1.10\r\n\r\n"},
         .status = 400,
         .target = "/v"},
        {.name = "a blank before the CR LF",
         .parts = {"GET /v HTTP/1.1 \r\n\r\n"},
         .status = 400,
         .target = "/v"},
        {.name = "a request line ending with a bare LF",
         .parts = {"GET /v HTTP/1.1\nUser-Agent: u\r\n\r\n"},
         .status = 400,
         .target = "/v"},
    };
    for (const Case &c : cases)
        check(c);
}

TEST(ReadRequest, LimitsTheTarget)
{
    std::string longest = "/" + std::string(1022, 't');
    std::string escaped = "/";
    while (escaped.size() < 1024)
        escaped += "%41";
    ASSERT_EQ(escaped.size(), 1024u);
    const Case cases[] = {
        {.name = "1023 bytes",
         .parts = {"GET " + longest + " HTTP/1.1\r\n\r\n"},
         .target = longest},
        {.name = "1024 bytes",
         .parts = {"GET " + longest + "t HTTP/1.1\r\n\r\n"},
         .status = 431},
        {.name = "1024 bytes that would decode to fewer",
         .parts = {"GET " + escaped + " HTTP/1.1\r\n\r\n"},
         .status = 431},
    };
    for (const Case &c : cases)
        check(c);
}

TEST(ReadRequest, StoresTheRecognisedFields)
{
    std::string v199(199, 'v');
    const Case cases[] = {
        {.name = "all four",
         .parts = {"GET / HTTP/1.1\r\nRange: bytes=0-1\r\n"
                   "If-Modified-Since: Thu, 01 Jan 1970 00:00:00 GMT\r\n"
                   "User-Agent: t/1.0\r\n"
                   "If-Range: Fri, 02 Jan 1970 00:00:00 GMT\r\n\r\n"},
         .target = "/",
         .range = "bytes=0-1",
         .since = "Thu, 01 Jan 1970 00:00:00 GMT",
         .agent = "t/1.0",
         .if_range = "Fri, 02 Jan 1970 00:00:00 GMT"},
        {.name = "names in any case, no blank after the colon",
         .parts = {"GET / HTTP/1.1\r\nrange:bytes=0-1\r\n"
                   "IF-MODIFIED-SINCE:x\r\nuser-AGENT:y\r\nif-RANGE:z\r\n"
                   "\r\n"},
         .target = "/",
         .range = "bytes=0-1",
         .since = "x",
         .agent = "y",
         .if_range = "z"},
        {.name = "only letters fold: CR is no dash, nor 0xC1 an A",
         .parts = {"GET / HTTP/1.1\r\nUser\rAgent: x\r\nR\xc1nge: y\r\n"
                   "If\rModified-Since: z\r\n\r\n"},
         .target = "/"},
        {.name = "blanks and tabs before the value are skipped",
         .parts = {"GET / HTTP/1.1\r\nRANGE: \t bytes=0-1\r\n\r\n"},
         .target = "/",
         .range = "bytes=0-1"},
        {.name = "trailing blanks and tabs are kept",
         .parts = {"GET / HTTP/1.1\r\nRange: bytes=0-1 \r\n"
                   "User-Agent: u\t\r\n\r\n"},
         .target = "/",
         .range = "bytes=0-1 ",
         .agent = "u\t"},
        {.name = "a bare CR or LF belongs to the value",
         .parts = {"GET / HTTP/1.1\r\nUser-Agent: a\rb\nc\r\n\r\n"},
         .target = "/",
         .agent = "a\rb\nc"},
        {.name = "other lines are skipped",
         .parts = {"GET / HTTP/1.1\r\nX-Range: bytes=0-1\r\nHost: h\r\n"
                   " continued\r\nUser-Agent: u\r\n\r\n"},
         .target = "/",
         .agent = "u"},
        {.name = "the last occurrence wins",
         .parts = {"GET / HTTP/1.1\r\nUser-Agent: one\r\nUser-Agent: two\r\n"
                   "\r\n"},
         .target = "/",
         .agent = "two"},
        {.name = "a later empty value empties the field",
         .parts = {"GET / HTTP/1.1\r\nRange: bytes=0-1\r\nX: y\r\nRange: "
                   "\r\n\r\n"},
         .target = "/"},
        {.name = "a value of 199 bytes",
         .parts = {"GET / HTTP/1.1\r\nUser-Agent: " + v199 + "\r\n\r\n"},
         .target = "/",
         .agent = v199},
        {.name = "an unrecognised line of any length",
         .parts = {"GET / HTTP/1.1\r\nX-Long: " + std::string(3000, 'l') +
                   "\r\nRange: bytes=5-\r\n\r\n"},
         .target = "/",
         .range = "bytes=5-"},
        {.name = "a second request in the same read",
         .parts = {"GET /a HTTP/1.1\r\nUser-Agent: first\r\n\r\n"
                   "HEAD /b HTTP/1.0\r\nUser-Agent: second\r\n\r\n"},
         .target = "/a",
         .agent = "first",
         .after = true},
    };
    for (const Case &c : cases)
        check(c);
}

TEST(ReadRequest, RefusesBadFieldLines)
{
    // Values stored from the lines before a refusal stay in the record.
    std::string v200(200, 'v');
    const Case cases[] = {
        {.name = "Ranges",
         .parts = {"GET /t HTTP/1.1\r\nUser-Agent: u\r\nRanges: bytes=0-1\r\n"
                   "\r\n"},
         .status = 400,
         .target = "/t",
         .agent = "u"},
        {.name = "a blank before the colon",
         .parts = {"GET /t HTTP/1.1\r\nRange : bytes=0-1\r\n\r\n"},
         .status = 400,
         .target = "/t"},
        {.name = "User-Agent-X",
         .parts = {"GET /t HTTP/1.1\r\nRange: r\r\nUser-Agent-X: y\r\n\r\n"},
         .status = 400,
         .target = "/t",
         .range = "r"},
        {.name = "If-Modified-Since2",
         .parts = {"GET /t HTTP/1.1\r\nIf-Modified-Since2: z\r\n\r\n"},
         .status = 400,
         .target = "/t"},
        {.name = "If-Range of 200 bytes",
         .parts = {"GET /t HTTP/1.1\r\nIf-Range: " + v200 + "\r\n\r\n"},
         .status = 431,
         .target = "/t"},
        // A zero byte anywhere in the head would end its text there, and
        // the lines after it would go unread: refused before any parse.
        {.name = "a zero byte inside a value",
         .parts = {"GET /t HTTP/1.1\r\nUser-Agent: a\0b\r\n\r\n"s},
         .status = 400},
        {.name = "a zero byte inside an unrecognised line",
         .parts = {"GET /t HTTP/1.1\r\nX-Foo: a\0b\r\nRange: bytes=1-2\r\n\r\n"s},
         .status = 400},
        {.name = "a zero byte starting a header line",
         .parts = {"GET /t HTTP/1.1\r\n\0Range: bytes=1-2\r\n\r\n"s},
         .status = 400},
        {.name = "a value of 200 bytes",
         .parts = {"GET /t HTTP/1.1\r\nUser-Agent: " + v200 + "\r\n\r\n"},
         .status = 431,
         .target = "/t"},
        {.name = "a value of 200 bytes keeps the earlier one",
         .parts = {"GET /t HTTP/1.1\r\nUser-Agent: early\r\nRange: r\r\n"
                   "User-Agent: " +
                   v200 + "\r\n\r\n"},
         .status = 431,
         .target = "/t",
         .range = "r",
         .agent = "early"},
    };
    for (const Case &c : cases)
        check(c);
}

TEST(ReadRequest, AnswersAFailedReadWith408)
{
    struct Part {
        const char *name;
        const char *sent;
    };
    constexpr Part cases[] = {
        {"nothing sent", ""},
        {"a request line without the blank line", "GET /a HTTP/1.1\r\n"},
    };
    for (const Part &c : cases) {
        SCOPED_TRACE(c.name);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        // The worker's receive time-out is the usual cause of a failed
        // read; a short one makes it happen here.
        struct timeval limit = {0, 50000};
        ASSERT_EQ(
            setsockopt(sv[1], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit),
            0);
        ASSERT_EQ(write(sv[0], c.sent, strlen(c.sent)),
                  (ssize_t)strlen(c.sent));
        Request r;
        memset(&r, 'x', sizeof r);
        EXPECT_EQ(read_request(sv[1], &r), STATUS_REQUEST_TIMEOUT);
        close(sv[1]);
        std::string response = read_all(sv[0]);
        close(sv[0]);
        EXPECT_EQ(mask_valid_date(response), refusal(STATUS_REQUEST_TIMEOUT));
        EXPECT_EQ(r.method, METHOD_GET);
        EXPECT_EQ(text(r.target), "");
        for (int f = 0; f < FIELD_COUNT; f++)
            EXPECT_EQ(text(r.field[f]), "") << f;
        EXPECT_EQ(r.bytes_sent, 0u);
    }
}

TEST(DecodePercent, DecodesEscapes)
{
    struct Case {
        std::string in, out;
        // An escape decoded to zero and ended the text.
        bool zero = false;
    };
    const Case cases[] = {
        {"%41", "A"},
        {"%4a", "J"},
        {"%4A", "J"},
        {"%7e%7E", "~~"},
        {"/a%2Fb", "/a/b"},
        {"%zz", "%zz"},
        {"a%", "a%"},
        {"a%4", "a\x04"},
        {"%4g", "\x04"},
        {"%4gh", "\x04h"},
        {"%00", "", true},
        {"a%00b", "a", true},
        {"a%+0b", "a", true},
        {"a%0", "a\x00", true},
        {"%2541", "%41"},
        {"%%41", "%A"},
        {"%+4", "\x04"},
        {"%-1", "\xff"},
        {"%-ff", "\xf1"
                 "f"},
        {"%\t41", "A1"},
        {"%  4x", "\x04"
                  "4x"},
        {"% ", "% "},
        {"%+", "%+"},
        {"%+g", "%+g"},
        {"%fff", "\xff"
                 "f"},
        {"plain/text", "plain/text"},
        {"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        std::vector<char> dst(c.in.size() + 1, 'x');
        EXPECT_EQ(decode_percent(c.in.c_str(), dst.data()), c.zero);
        EXPECT_EQ(std::string(dst.data()), c.out.c_str());
        // The one use decodes the target in place.
        std::vector<char> same(c.in.begin(), c.in.end());
        same.push_back('\0');
        EXPECT_EQ(decode_percent(same.data(), same.data()), c.zero);
        EXPECT_EQ(std::string(same.data()), c.out.c_str());
    }
}

TEST(DecodePercent, ReadsAnEscapeAsScanfDoes)
{
    // Every escape of up to three bytes over the bytes that matter to the
    // conversion: the library's own "%2hhx" tells what must come out. A
    // zero followed by x is left out, as libraries differ on it.
    const std::string alphabet = "019afAFgG+- \t\n\v\f\rz";
    std::vector<std::string> escapes;
    for (char a : alphabet) {
        escapes.push_back({a});
        for (char b : alphabet) {
            escapes.push_back({a, b});
            for (char c : alphabet)
                escapes.push_back({a, b, c});
        }
    }
    for (const std::string &e : escapes) {
        unsigned char byte = 0;
        std::string want;
        bool converted = sscanf(e.c_str(), "%2hhx", &byte) == 1;
        if (!converted)
            want = "%" + e;
        else if (byte != 0) {
            want.assign(1, (char)byte);
            if (e.size() > 2)
                want += e.substr(2);
        }
        std::string in = "%" + e;
        std::vector<char> dst(in.size() + 1, 'x');
        EXPECT_EQ(decode_percent(in.c_str(), dst.data()),
                  converted && byte == 0)
            << "escape %" << e;
        EXPECT_EQ(std::string(dst.data()), want) << "escape %" << e;
    }
}
