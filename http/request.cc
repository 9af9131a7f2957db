// HTTP dates and the status-only response.
#include "http/request.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

static constexpr const char *day_name[] = {"Sun", "Mon", "Tue", "Wed",
                                           "Thu", "Fri", "Sat"};
static constexpr const char *month_name[] = {"Jan", "Feb", "Mar", "Apr",
                                             "May", "Jun", "Jul", "Aug",
                                             "Sep", "Oct", "Nov", "Dec"};
static constexpr char LATEST_HTTP_DATE[] = "Fri, 31 Dec 9999 23:59:59 GMT";
static_assert(sizeof LATEST_HTTP_DATE == HTTP_DATE_SIZE);

// Writes value as exactly width decimal digits and returns the end.
static char *
put_digits(char *out, int value, int width)
{
    for (int i = width - 1; i >= 0; i--, value /= 10)
        out[i] = (char)('0' + value % 10);
    return out + width;
}

char *
put_text(char *out, const char *text)
{
    size_t len = strlen(text);
    memcpy(out, text, len);
    return out + len;
}

char *
put_decimal(char *out, int64_t value)
{
    // Work in the unsigned magnitude, so the most negative value has one.
    uint64_t magnitude = (uint64_t)value;
    if (value < 0) {
        *out++ = '-';
        magnitude = 0 - magnitude;
    }
    return put_unsigned(out, magnitude);
}

char *
put_unsigned(char *out, uint64_t value)
{
    char digits[20];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *out++ = digits[--n];
    return out;
}

char *
format_http_date(time_t t, HttpDate out)
{
    // The names are spelled out here rather than left to strftime so that
    // the text never depends on a locale, and the year is always four
    // digits wide, as the fixed form requires.
    struct tm tm;
    if (gmtime_r(&t, &tm) == nullptr || tm.tm_year < -1900 ||
        tm.tm_year > 9999 - 1900) {
        memcpy(out, LATEST_HTTP_DATE, sizeof LATEST_HTTP_DATE);
        return out;
    }
    char *p = put_text(out, day_name[tm.tm_wday]);
    p = put_text(p, ", ");
    p = put_digits(p, tm.tm_mday, 2);
    *p++ = ' ';
    p = put_text(p, month_name[tm.tm_mon]);
    *p++ = ' ';
    p = put_digits(p, tm.tm_year + 1900, 4);
    *p++ = ' ';
    p = put_digits(p, tm.tm_hour, 2);
    *p++ = ':';
    p = put_digits(p, tm.tm_min, 2);
    *p++ = ':';
    p = put_digits(p, tm.tm_sec, 2);
    memcpy(p, " GMT", sizeof " GMT");
    return out;
}

Status
send_status(int fd, Status status)
{
    const char *text = status_text[status];
    HttpDate date;
    format_http_date(time(nullptr), date);
    const char *allow =
        status == STATUS_METHOD_NOT_ALLOWED ? "Allow: HEAD, GET\r\n" : "";
    int n = dprintf(fd,
                    "HTTP/1.1 %d %s\r\nDate: %s\r\nConnection: close\r\n"
                    "%sContent-Type: text/plain\r\n\r\n%d %s\n",
                    status, text, date, allow, status, text);
    return n < 0 ? STATUS_REQUEST_TIMEOUT : status;
}
