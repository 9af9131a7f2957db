// HTTP dates, as plain calendar arithmetic.
#include "http/date.h"

#include <stdint.h>
#include <string.h>
#include <time.h>

#include "http/append.h"

static constexpr const char *day_name[] = {"Sun", "Mon", "Tue", "Wed",
                                           "Thu", "Fri", "Sat"};
static constexpr const char *month_name[] = {"Jan", "Feb", "Mar", "Apr",
                                             "May", "Jun", "Jul", "Aug",
                                             "Sep", "Oct", "Nov", "Dec"};
static constexpr char EARLIEST_HTTP_DATE[] = "Sat, 01 Jan 0000 00:00:00 GMT";
static constexpr char LATEST_HTTP_DATE[] = "Fri, 31 Dec 9999 23:59:59 GMT";
static_assert(sizeof EARLIEST_HTTP_DATE == HTTP_DATE_SIZE);
static_assert(sizeof LATEST_HTTP_DATE == HTTP_DATE_SIZE);

// Writes value as exactly width decimal digits and returns the end.
static char *
put_digits(char *out, int value, int width)
{
    for (int i = width - 1; i >= 0; i--, value /= 10)
        out[i] = (char)('0' + value % 10);
    return out + width;
}

// The calendar fields of a time in UTC, for years 0 to 9999 only.
struct UtcTime {
    int year, month, day, hour, minute, second, weekday;
};

// Splits t into its UTC calendar fields in the proleptic Gregorian
// calendar, as gmtime does with no leap seconds. This is plain arithmetic
// on purpose: gmtime takes the C library's time zone lock and consults its
// zone data, which every worker would pay for on each response. Returns
// false when the year falls outside 0 to 9999.
static bool
split_utc(time_t t, UtcTime *u)
{
    constexpr int64_t SECONDS_PER_DAY = 86400;
    // Days and seconds counted from 1970-01-01, rounded towards minus
    // infinity so that times before 1970 fall on the right day.
    int64_t days = (int64_t)t / SECONDS_PER_DAY;
    int64_t seconds = (int64_t)t % SECONDS_PER_DAY;
    if (seconds < 0) {
        seconds += SECONDS_PER_DAY;
        days--;
    }
    // Reject far times first so the arithmetic below cannot overflow: more
    // than four million days either way is far outside years 0 to 9999.
    constexpr int64_t DAY_LIMIT = 4000000;
    if (days < -DAY_LIMIT || days > DAY_LIMIT)
        return false;
    // 1970-01-01 was a Thursday.
    u->weekday = (int)(((days + 4) % 7 + 7) % 7);

    // Count from 0000-03-01, so that the leap day ends each year and every
    // 400-year era has the same 146097 days.
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t day_of_era = z - era * 146097;
    int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 -
                           day_of_era / 146096) /
                          365;
    int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t month_from_march = (5 * day_of_year + 2) / 153;
    int64_t month =
        month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 0 || year > 9999)
        return false;

    u->year = (int)year;
    u->month = (int)month;
    u->day = (int)(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    u->hour = (int)(seconds / 3600);
    u->minute = (int)(seconds / 60 % 60);
    u->second = (int)(seconds % 60);
    return true;
}

char *
format_http_date(time_t t, HttpDate out)
{
    // The names are spelled out here rather than left to strftime so that
    // the text never depends on a locale, and the year is always four
    // digits wide, as the fixed form requires.
    UtcTime u;
    if (!split_utc(t, &u)) {
        // Clamped to the nearer end: a time before year 0 shown as the
        // latest date would make every later copy of the file look older
        // than the one a client holds, and its revalidation get 304 for
        // ever.
        memcpy(out, t < 0 ? EARLIEST_HTTP_DATE : LATEST_HTTP_DATE,
               HTTP_DATE_SIZE);
        return out;
    }
    char *p = put_text(out, day_name[u.weekday]);
    p = put_text(p, ", ");
    p = put_digits(p, u.day, 2);
    *p++ = ' ';
    p = put_text(p, month_name[u.month - 1]);
    *p++ = ' ';
    p = put_digits(p, u.year, 4);
    *p++ = ' ';
    p = put_digits(p, u.hour, 2);
    *p++ = ':';
    p = put_digits(p, u.minute, 2);
    *p++ = ':';
    p = put_digits(p, u.second, 2);
    memcpy(p, " GMT", sizeof " GMT");
    return out;
}

time_t
utc_seconds(const struct tm *tm)
{
    // Whole years in tm_mon carry into the year first.
    int64_t year = (int64_t)tm->tm_year + 1900 + tm->tm_mon / 12;
    int64_t month = tm->tm_mon % 12;
    if (month < 0) {
        month += 12;
        year--;
    }
    // The count of split_utc run backwards: years start on 1 March, so
    // January and February belong to the year before, and every 400-year
    // era has the same 146097 days.
    int64_t y = month < 2 ? year - 1 : year;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t year_of_era = y - era * 400;
    int64_t month_from_march = month < 2 ? month + 10 : month - 2;
    int64_t day_of_year = (153 * month_from_march + 2) / 5 + tm->tm_mday - 1;
    int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    int64_t days = era * 146097 + day_of_era - 719468;
    return (time_t)(days * 86400 + (int64_t)tm->tm_hour * 3600 +
                    (int64_t)tm->tm_min * 60 + tm->tm_sec);
}
