// HTTP dates and the status-only response as a client receives it.
#include "http/request.h"

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "http/exchange_test_util.h"

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

TEST(FormatHttpDate, WritesTheFixedFormInUtc)
{
    struct Case {
        int64_t time;
        const char *text;
    };
    constexpr Case cases[] = {
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},
        {951782400 + 3723, "Tue, 29 Feb 2000 01:02:03 GMT"},
        {1709164800, "Thu, 29 Feb 2024 00:00:00 GMT"},
        {1709251199, "Thu, 29 Feb 2024 23:59:59 GMT"},
        {1709251200, "Fri, 01 Mar 2024 00:00:00 GMT"},
        {4107542399, "Sun, 28 Feb 2100 23:59:59 GMT"}, // 2100 has no 29 Feb
        {4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},
        {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
    };
    static_assert(sizeof(time_t) == sizeof(int64_t));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.time);
        HttpDate out;
        memset(out, 'x', sizeof out);
        EXPECT_EQ(format_http_date((time_t)c.time, out), out);
        EXPECT_STREQ(out, c.text);
    }
}

// The date is computed without gmtime; it must agree with it on every
// time the fixed form can show.
TEST(FormatHttpDate, AgreesWithGmtimeFromYearZeroToYear9999)
{
    constexpr int64_t first = -62167219200; // 0000-01-01 00:00:00
    constexpr int64_t last = 253402300799;  // 9999-12-31 23:59:59
    auto expected = [](int64_t t) {
        time_t tt = (time_t)t;
        struct tm tm;
        EXPECT_NE(gmtime_r(&tt, &tm), nullptr) << t;
        static const char *const days[] = {"Sun", "Mon", "Tue", "Wed",
                                           "Thu", "Fri", "Sat"};
        static const char *const months[] = {"Jan", "Feb", "Mar", "Apr",
                                             "May", "Jun", "Jul", "Aug",
                                             "Sep", "Oct", "Nov", "Dec"};
        char text[64];
        snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                 days[tm.tm_wday], tm.tm_mday, months[tm.tm_mon],
                 tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
        return std::string(text);
    };
    int failures = 0;
    auto check = [&](int64_t t) {
        HttpDate out;
        std::string want = expected(t);
        if (want != format_http_date((time_t)t, out) && ++failures <= 10)
            ADD_FAILURE() << t << ": " << out << " != " << want;
    };
    // A stride that is not a whole number of days or hours walks every
    // time of day, weekday and day of the month across the ten millennia.
    for (int64_t t = first; t <= last; t += 3 * 86400 + 3607)
        check(t);
    // Each year's first and last second, around every leap day.
    for (int year = 0; year <= 9999; year++) {
        struct tm tm = {};
        tm.tm_year = year - 1900;
        tm.tm_mday = 1;
        int64_t start = (int64_t)timegm(&tm);
        check(start);
        check(start - 1 >= first ? start - 1 : first);
    }
    check(last);
    EXPECT_EQ(failures, 0);
}

// The fields strptime can leave for If-Modified-Since, checked against
// timegm: every year it reads, any day 1 to 31 of any month (so 30 and 31
// February carry into March), and seconds 60 and 61.
TEST(UtcSeconds, AgreesWithTimegmOverTheFieldsStrptimeReads)
{
    int failures = 0;
    auto check = [&](int year, int month, int day, int hour, int minute,
                     int second) {
        struct tm tm = {};
        tm.tm_year = year - 1900;
        tm.tm_mon = month;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        struct tm copy = tm;
        time_t want = timegm(&copy);
        time_t got = utc_seconds(&tm);
        if (got != want && ++failures <= 10)
            ADD_FAILURE() << year << "-" << month + 1 << "-" << day << " "
                          << hour << ":" << minute << ":" << second << ": "
                          << got << " != " << want;
    };
    // Month ends and starts of every year, leap or not, around the eras.
    for (int year = 0; year <= 9999; year++)
        for (int month : {0, 1, 2, 11})
            for (int day : {1, 28, 29, 30, 31})
                check(year, month, day, 23, 59, 59);
    // A fixed walk through all the fields, the same in every run.
    uint64_t state = 0x2545f4914f6cdd1d;
    auto next = [&](int bound) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return (int)(state % (uint64_t)bound);
    };
    for (int i = 0; i < 300000; i++)
        check(next(10000), next(12), 1 + next(31), next(24), next(60),
              next(62));
    check(1970, 0, 1, 0, 0, 0);
    check(1969, 11, 31, 23, 59, 59);
    EXPECT_EQ(failures, 0);
}

TEST(FormatHttpDate, GivesTheNearerEndWhenTheYearDoesNotFit)
{
    // A file's modification time can be set to any of these; the Last-
    // Modified line must still be a terminated date of the fixed form, and
    // a time before year 0 must not look later than every other.
    static constexpr char EARLIEST[] = "Sat, 01 Jan 0000 00:00:00 GMT";
    static constexpr char LATEST[] = "Fri, 31 Dec 9999 23:59:59 GMT";
    struct Case {
        int64_t t;
        const char *date;
    };
    constexpr Case cases[] = {
        {253402300800, LATEST},          // 01 Jan 10000
        {253402300800 + 86400, LATEST},  // 02 Jan 10000
        {31556952000000000, LATEST},     // a year of ten digits
        {INT64_MAX, LATEST},             // gmtime cannot convert it
        {-62167219200, EARLIEST},        // 01 Jan 0000 itself
        {-62167219201, EARLIEST},        // 31 Dec -1 23:59:59
        {-62167219200 - 86400, EARLIEST}, // 31 Dec -1
        {-31556952000000000, EARLIEST},  // a year of ten digits
        {INT64_MIN, EARLIEST},           // gmtime cannot convert it
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.t);
        HttpDate out;
        memset(out, 'x', sizeof out);
        EXPECT_EQ(format_http_date((time_t)c.t, out), out);
        EXPECT_STREQ(out, c.date);
    }
}

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
