// HTTP dates: the fixed form that responses carry, and the seconds of a
// date that a request carries.
#ifndef CORVANSEL_HTTP_DATE_H
#define CORVANSEL_HTTP_DATE_H

#include <time.h>

// A UTC date in the fixed HTTP form, "Thu, 01 Jan 1970 00:00:00 GMT".
constexpr int HTTP_DATE_SIZE = sizeof "Thu, 01 Jan 1970 00:00:00 GMT";
using HttpDate = char[HTTP_DATE_SIZE];

// Writes the date of t into out and returns out. A time whose year does not
// fit in four digits gives the nearer of the earliest and the latest date
// the form can hold, so a response head always stays well-formed.
char *format_http_date(time_t t, HttpDate out);

// The seconds since 1970-01-01 00:00:00 UTC of tm's calendar fields
// (tm_year, tm_mon, tm_mday, tm_hour, tm_min, tm_sec), counted as timegm
// counts them: a field past its range carries over (31 February is
// 3 March, second 60 the next minute) and there are no leap seconds.
// Plain arithmetic, because timegm loads the C library's time zone data on
// first use, and the server reads no configuration but its command line.
// Exact for the years strptime reads, 0 to 9999.
time_t utc_seconds(const struct tm *tm);

#endif
