// The file response: head and body bytes as a client reads them, the byte
// count, and each way the transfer can fail.
#include "http/file.h"

#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "http/exchange_test_util.h"
#include "http/request.h"


static Request
make_request(Method method, const char *range = "")
{
    Request r;
    memset(&r, 0, sizeof r);
    r.method = method;
    snprintf(r.target, sizeof r.target, "/file");
    snprintf(r.field[FIELD_RANGE], sizeof r.field[FIELD_RANGE], "%s", range);
    // A stale count must not survive into the new response.
    r.bytes_sent = 12345;
    return r;
}

static std::string
random_bytes(size_t size)
{
    std::mt19937 gen(size);
    std::string s(size, '\0');
    for (char &c : s)
        c = (char)(gen() & 0xff);
    return s;
}

// Runs send_file on the file at path, opened for the call, against a
// client that reads all it sends.
static Answer
transfer(const char *path, Request *r, const struct stat *st, int64_t lower,
         int64_t upper)
{
    int file = open(path, O_RDONLY);
    EXPECT_NE(file, -1) << path;
    Answer a = answer_of(
        [&](int fd) { return send_file(fd, file, r, st, lower, upper); });
    close(file);
    return a;
}

static std::string
head(Status status, long long length, const std::string &content_range,
     const char *modified = "Sun, 06 Nov 1994 08:49:37 GMT")
{
    std::string s =
        "HTTP/1.1 " + std::to_string(status) + " " + status_text[status] +
        "\r\nDate: <date>\r\nConnection: close\r\nLast-Modified: " + modified +
        "\r\nContent-Type: application/octet-stream\r\n"
        "Content-Length: " +
        std::to_string(length) + "\r\n";
    if (!content_range.empty())
        s += "Content-Range: bytes " + content_range + "\r\n";
    return s + "\r\n";
}

// Ignores SIGPIPE while it lives, so that writing to a closed peer fails
// with EPIPE instead of ending the test.
struct IgnoreSigpipe {
    struct sigaction saved;
    IgnoreSigpipe()
    {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        EXPECT_EQ(sigaction(SIGPIPE, &ignore, &saved), 0);
    }
    ~IgnoreSigpipe() { sigaction(SIGPIPE, &saved, nullptr); }
};

// A fresh served directory, entered for the test and removed after it.
class SendFile : public TempDirTest {};

// Every case is sent twice: GET gets the head and the bytes of the range,
// HEAD the identical head and nothing else.
TEST_F(SendFile, SendsTheRangeAfterItsHead)
{
    constexpr int64_t BIG = 2 * TRANSFER_CHUNK_SIZE + 100;
    const std::string big = random_bytes(BIG);
    write_file("big", big);
    write_file("ten", "0123456789");
    write_file("empty", "");

    struct Case {
        const char *path, *range;
        int64_t lower, upper;
        const char *content_range; // for 206
    };
    constexpr Case cases[] = {
        {"big", "", 0, BIG - 1, ""},
        {"big", "bytes=0-", 0, BIG - 1, "0-32867/32868"},
        {"big", "bytes=0-16383", 0, TRANSFER_CHUNK_SIZE - 1, "0-16383/32868"},
        {"big", "bytes=16000-32800", 16000, 32800, "16000-32800/32868"},
        {"big", "bytes=-1", BIG - 1, BIG - 1, "32867-32867/32868"},
        {"ten", "bytes=2-4", 2, 4, "2-4/10"},
        {"ten", "", 0, 9, ""},
        {"empty", "", 0, -1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.range);
        struct stat st;
        ASSERT_EQ(stat(c.path, &st), 0);
        std::string content = c.path == std::string("big")   ? big
                              : c.path == std::string("ten") ? "0123456789"
                                                             : "";
        Status status = c.range[0] != '\0' ? STATUS_PARTIAL_CONTENT : STATUS_OK;
        std::string expected_head =
            head(status, c.upper - c.lower + 1, c.content_range);
        std::string body =
            content.substr((size_t)c.lower, (size_t)(c.upper - c.lower + 1));

        Request get = make_request(METHOD_GET, c.range);
        Answer a = transfer(c.path, &get, &st, c.lower, c.upper);
        EXPECT_EQ(a.status, status);
        // The sizes first: a whole body would drown the report.
        std::string got = mask_date(a);
        EXPECT_EQ(got.size(), expected_head.size() + body.size());
        EXPECT_EQ(got.substr(0, expected_head.size()), expected_head);
        EXPECT_TRUE(got.substr(expected_head.size()) == body);
        EXPECT_EQ(get.bytes_sent, body.size());

        Request head_request = make_request(METHOD_HEAD, c.range);
        Answer h = transfer(c.path, &head_request, &st, c.lower, c.upper);
        EXPECT_EQ(h.status, status);
        EXPECT_EQ(mask_date(h), expected_head);
        EXPECT_EQ(head_request.bytes_sent, 0u);
    }
}

TEST_F(SendFile, ShowsTheModificationTime)
{
    struct Case {
        time_t mtime;
        const char *text;
    };
    constexpr Case cases[] = {
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {FILE_MTIME, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
        // Past 2038: the time must not pass through 32 bits.
        {4102444799, "Thu, 31 Dec 2099 23:59:59 GMT"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        write_file("file", "x", c.mtime);
        struct stat st;
        ASSERT_EQ(stat("file", &st), 0);
        Request r = make_request(METHOD_HEAD);
        Answer a = transfer("file", &r, &st, 0, 0);
        EXPECT_EQ(a.status, STATUS_OK);
        EXPECT_EQ(mask_date(a), head(STATUS_OK, 1, "", c.text));
    }
}

// The file shrank after the caller took its status: the body ends where
// the file does and the status stays.
TEST_F(SendFile, EndsShortWhenTheFileShrank)
{
    write_file("file", std::string(100, 'a'));
    struct stat st;
    ASSERT_EQ(stat("file", &st), 0);
    write_file("file", "0123456789");
    Request r = make_request(METHOD_GET);
    Answer a = transfer("file", &r, &st, 0, 99);
    EXPECT_EQ(a.status, STATUS_OK);
    EXPECT_EQ(mask_date(a), head(STATUS_OK, 100, "") + "0123456789");
    EXPECT_EQ(r.bytes_sent, 10u);
}

// A pipe reads like a file but cannot be positioned: nothing has gone out
// when that shows, so the client gets a status response.
TEST_F(SendFile, AnswersAFailedSeekWithInternalError)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    struct stat st;
    ASSERT_EQ(fstat(p[0], &st), 0);
    Request r = make_request(METHOD_GET);
    Answer a = answer_of(
        [&](int fd) { return send_file(fd, p[0], &r, &st, 0, 0); });
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(a.status, STATUS_INTERNAL_SERVER_ERROR);
    EXPECT_EQ(mask_date(a), status_response(STATUS_INTERNAL_SERVER_ERROR));
    EXPECT_EQ(r.bytes_sent, 0u);
}

// A directory opens like a file, but reading it fails: the head has gone
// out, nothing follows it, and the result says 500.
TEST_F(SendFile, AnswersAFailedReadWithInternalErrorAfterTheHead)
{
    ASSERT_EQ(mkdir("dir", 0755), 0);
    write_file("file", "0123456789");
    struct stat st;
    ASSERT_EQ(stat("file", &st), 0);
    Request r = make_request(METHOD_GET);
    Answer a = transfer("dir", &r, &st, 0, 9);
    EXPECT_EQ(a.status, STATUS_INTERNAL_SERVER_ERROR);
    EXPECT_EQ(mask_date(a), head(STATUS_OK, 10, ""));
    EXPECT_EQ(r.bytes_sent, 0u);
}

// The client stops reading: once the socket buffer is full a body write
// waits out the send time-out and fails. What the client can still read is
// the head and exactly the bytes counted.
TEST_F(SendFile, TimesOutWhenTheClientStopsReading)
{
    constexpr size_t SIZE = 4 << 20;
    const std::string content = random_bytes(SIZE);
    write_file("file", content);
    struct stat st;
    ASSERT_EQ(stat("file", &st), 0);

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int size = 4096;
    ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    struct timeval timeout = {0, 100000};
    ASSERT_EQ(
        setsockopt(sv[0], SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout),
        0);
    Request r = make_request(METHOD_GET);
    Answer a{};
    a.before = time(nullptr);
    int file = open("file", O_RDONLY);
    ASSERT_NE(file, -1);
    a.status = send_file(sv[0], file, &r, &st, 0, SIZE - 1);
    close(file);
    a.after = time(nullptr);
    close(sv[0]);
    a.response = read_all(sv[1]);
    close(sv[1]);

    EXPECT_EQ(a.status, STATUS_REQUEST_TIMEOUT);
    EXPECT_LT(r.bytes_sent, SIZE);
    std::string expected_head = head(STATUS_OK, SIZE, "");
    std::string got = mask_date(a);
    ASSERT_EQ(got.compare(0, expected_head.size(), expected_head), 0) << got;
    std::string body = got.substr(expected_head.size());
    EXPECT_EQ(body.size(), r.bytes_sent);
    EXPECT_TRUE(body == content.substr(0, body.size()));
}

TEST_F(SendFile, TimesOutWhenTheClientHasClosed)
{
    IgnoreSigpipe ignore;
    constexpr size_t SIZE = 4 << 20;
    write_file("file", random_bytes(SIZE));
    struct stat st;
    ASSERT_EQ(stat("file", &st), 0);
    int file = open("file", O_RDONLY);
    ASSERT_NE(file, -1);

    // Gone before the head: nothing is counted.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    Request r = make_request(METHOD_GET);
    EXPECT_EQ(send_file(sv[0], file, &r, &st, 0, SIZE - 1),
              STATUS_REQUEST_TIMEOUT);
    EXPECT_EQ(r.bytes_sent, 0u);
    close(sv[0]);

    // Gone in the middle of the body: what was written before counts. A
    // small buffer keeps most of the file from ever leaving.
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int size = 4096;
    ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    std::thread reader([&] {
        char buf[1000];
        size_t got = 0;
        ssize_t n;
        while (got < sizeof buf && (n = read(sv[1], buf, sizeof buf - got)) > 0)
            got += (size_t)n;
        close(sv[1]);
    });
    EXPECT_EQ(send_file(sv[0], file, &r, &st, 0, SIZE - 1),
              STATUS_REQUEST_TIMEOUT);
    reader.join();
    close(sv[0]);
    EXPECT_GT(r.bytes_sent, 0u);
    EXPECT_LT(r.bytes_sent, SIZE);
    close(file);
}
