// HTTP dates: the fixed form, against the C library's own conversions.
#include "http/date.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

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
