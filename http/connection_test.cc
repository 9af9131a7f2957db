// The status-only response as a client receives it.
#include "http/connection.h"

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "http/date.h"
#include "http/exchange_test_util.h"
#include "http/request.h"

namespace {

// Checks that the Date line holds a well-formed date of about now, and
// replaces its value by "<date>" so the rest compares byte for byte.
void
expect_date_and_mask(std::string &response, time_t before, time_t after)
{
    const std::string key = "\r\nDate: ";
    size_t at = response.find(key);
    ASSERT_NE(at, std::string::npos) << response;
    at += key.size();
    std::string date = response.substr(at, HTTP_DATE_SIZE - 1);
    // The form is fixed: two-digit fields, four-digit year, single blanks.
    const char *mask = "Aaa, 00 Aaa 0000 00:00:00 GMT";
    ASSERT_EQ(date.size(), strlen(mask)) << date;
    for (size_t i = 0; i < date.size(); i++) {
        char m = mask[i], c = date[i];
        bool ok = m == '0'   ? c >= '0' && c <= '9'
                  : m == 'A' ? c >= 'A' && c <= 'Z'
                  : m == 'a' ? c >= 'a' && c <= 'z'
                             : c == m;
        ASSERT_TRUE(ok) << "byte " << i << " of '" << date << "'";
    }
    // It names the moment of sending, with the right day name.
    struct tm tm = {};
    ASSERT_NE(strptime(date.c_str(), "%a, %d %b %Y %T GMT", &tm), nullptr)
        << date;
    time_t t = timegm(&tm);
    EXPECT_GE(t, before) << date;
    EXPECT_LE(t, after) << date;
    HttpDate again;
    EXPECT_STREQ(format_http_date(t, again), date.c_str());
    response.replace(at, date.size(), "<date>");
}

} // namespace

TEST(SendStatus, WritesTheExactResponse)
{
    struct Case {
        Status status;
        const char *response;
    };
    constexpr Case cases[] = {
        {STATUS_NOT_FOUND, "HTTP/1.1 404 Not Found\r\n"
                           "Date: <date>\r\n"
                           "Connection: close\r\n"
                           "Content-Type: text/plain\r\n"
                           "\r\n"
                           "404 Not Found\n"},
        {STATUS_METHOD_NOT_ALLOWED, "HTTP/1.1 405 Method Not Allowed\r\n"
                                    "Date: <date>\r\n"
                                    "Connection: close\r\n"
                                    "Allow: HEAD, GET\r\n"
                                    "Content-Type: text/plain\r\n"
                                    "\r\n"
                                    "405 Method Not Allowed\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        Answer a = answer_of([&](int fd) { return send_status(fd, c.status); });
        EXPECT_EQ(a.status, c.status);
        expect_date_and_mask(a.response, a.before, a.after);
        EXPECT_EQ(a.response, c.response);
    }
}

TEST(SendStatus, NamesEachCodeWithItsPhrase)
{
    // Every code the server answers with, in a status-only response or in
    // a head of its own that takes the phrase from the same table.
    struct Case {
        Status status;
        const char *phrase;
    };
    constexpr Case cases[] = {
        {STATUS_OK, "OK"},
        {STATUS_PARTIAL_CONTENT, "Partial Content"},
        {STATUS_MOVED_PERMANENTLY, "Moved Permanently"},
        {STATUS_NOT_MODIFIED, "Not Modified"},
        {STATUS_BAD_REQUEST, "Bad Request"},
        {STATUS_FORBIDDEN, "Forbidden"},
        {STATUS_NOT_FOUND, "Not Found"},
        {STATUS_METHOD_NOT_ALLOWED, "Method Not Allowed"},
        {STATUS_REQUEST_TIMEOUT, "Request Time-out"},
        {STATUS_RANGE_NOT_SATISFIABLE, "Range Not Satisfiable"},
        {STATUS_HEADER_FIELDS_TOO_LARGE, "Request Header Fields Too Large"},
        {STATUS_INTERNAL_SERVER_ERROR, "Internal Server Error"},
        {STATUS_VERSION_NOT_SUPPORTED, "HTTP Version not supported"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        Answer a = answer_of([&](int fd) { return send_status(fd, c.status); });
        EXPECT_EQ(a.status, c.status);
        const std::string &response = a.response;
        std::string code = std::to_string(c.status);
        EXPECT_EQ(
            response.rfind("HTTP/1.1 " + code + " " + c.phrase + "\r\n", 0), 0u)
            << response;
        std::string body = "\r\n\r\n" + code + " " + c.phrase + "\n";
        ASSERT_GE(response.size(), body.size()) << response;
        EXPECT_EQ(response.substr(response.size() - body.size()), body);
        EXPECT_EQ(response.find("Allow:") != std::string::npos,
                  c.status == STATUS_METHOD_NOT_ALLOWED)
            << response;
    }
}

TEST(SendStatus, Returns408WhenTheWriteFails)
{
    // A peer that has gone would raise SIGPIPE; the worker's own handling
    // of it is not under test here, only the result.
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &old), 0);

    constexpr Status statuses[] = {
        STATUS_BAD_REQUEST, STATUS_NOT_FOUND, STATUS_METHOD_NOT_ALLOWED,
        STATUS_REQUEST_TIMEOUT, STATUS_INTERNAL_SERVER_ERROR};
    for (Status status : statuses) {
        SCOPED_TRACE(status);

        int p[2];
        ASSERT_EQ(pipe(p), 0);
        EXPECT_EQ(send_status(p[0], status), STATUS_REQUEST_TIMEOUT)
            << "read end of a pipe";
        close(p[0]);
        close(p[1]);

        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        ASSERT_EQ(shutdown(sv[1], SHUT_WR), 0);
        EXPECT_EQ(send_status(sv[1], status), STATUS_REQUEST_TIMEOUT)
            << "socket shut down for writing";
        close(sv[0]);
        close(sv[1]);
    }
    ASSERT_EQ(sigaction(SIGPIPE, &old, nullptr), 0);
}
