// Target resolution, conditional and range requests.
#include "http/evaluate.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "compat/compat.h"
#include "compat/confine.h"
#include "http/append.h"
#include "http/connection.h"
#include "http/date.h"
#include "http/file.h"
#include "http/request.h"

static constexpr char RANGE_UNIT[] = "bytes=";
static constexpr int RANGE_UNIT_LENGTH = sizeof RANGE_UNIT - 1;

void
normalize_path(char *path)
{
    char *cursor = path + 1;
    for (;;) {
        char *end = strchr(cursor, '/');
        size_t len = end != nullptr ? (size_t)(end - cursor) : strlen(cursor);
        bool dot = len == 1 && cursor[0] == '.';
        bool dot_dot = len == 2 && cursor[0] == '.' && cursor[1] == '.';
        if (len != 0 && !dot && !dot_dot) {
            if (end == nullptr)
                return;
            cursor = end + 1;
            continue;
        }
        if (dot_dot && cursor != path + 1) {
            // Back to the start of the previous segment, which is already
            // normalised and so an ordinary name.
            cursor--;
            while (cursor[-1] != '/')
                cursor--;
        }
        if (end == nullptr) {
            *cursor = '\0';
            return;
        }
        memmove(cursor, end + 1, strlen(end + 1) + 1);
    }
}

// The not-modified and range-not-satisfiable answers have no body and so
// are written here rather than by send_status. Both are well under this
// size: the status line, the date and one 64-bit number.
static constexpr int ANSWER_SIZE = 256;

static Status
send_not_modified(int fd)
{
    char answer[ANSWER_SIZE];
    char *p = put_response_start(answer, STATUS_NOT_MODIFIED);
    p = put_text(p, "Connection: close\r\n\r\n");
    return send_response(fd, answer, (size_t)(p - answer),
                         STATUS_NOT_MODIFIED);
}

static Status
send_range_not_satisfiable(int fd, off_t size)
{
    char answer[ANSWER_SIZE];
    char *p = put_response_start(answer, STATUS_RANGE_NOT_SATISFIABLE);
    p = put_text(p, "Content-Range: bytes */");
    p = put_decimal(p, size);
    p = put_text(p, "\r\nConnection: close\r\n\r\n");
    return send_response(fd, answer, (size_t)(p - answer),
                         STATUS_RANGE_NOT_SATISFIABLE);
}

// Returns 0 and sets *not_modified when the If-Modified-Since value parses,
// 1 when it does not. Text after the date is not looked at.
static int
check_modified_since(const char *value, time_t mtime, bool *not_modified)
{
    // strptime fills only what the format names; the rest start zeroed.
    struct tm tm = {};
    if (strptime(value, "%a, %d %b %Y %T GMT", &tm) == nullptr)
        return 1;
    *not_modified = difftime(mtime, utc_seconds(&tm)) <= 0;
    return 0;
}

// Reads the Range value into [*lower, *upper] against size. Cuts the value
// in place at its first "-". Returns 0, or the status to answer with:
// STATUS_BAD_REQUEST for a malformed value, STATUS_RANGE_NOT_SATISFIABLE for
// a range outside the file.
static Status
parse_range(char *value, off_t size, int64_t *lower, int64_t *upper)
{
    if (strncmp(value, RANGE_UNIT, RANGE_UNIT_LENGTH) != 0)
        return STATUS_BAD_REQUEST;
    char *first = value + RANGE_UNIT_LENGTH;
    char *dash = strchr(first, '-');
    if (dash == nullptr)
        return STATUS_BAD_REQUEST;
    *dash = '\0';
    const char *second = dash + 1;
    const char *errstr;

    if (*first == '\0') {
        long long n = strtonum(second, 0, LLONG_MAX, &errstr);
        if (errstr != nullptr)
            return STATUS_BAD_REQUEST;
        // An empty file has no last byte to count back from.
        if (n == 0 || size == 0)
            return STATUS_RANGE_NOT_SATISFIABLE;
        *lower = n <= size ? size - n : 0;
        *upper = size - 1;
        return STATUS_NONE;
    }

    long long a = strtonum(first, 0, LLONG_MAX, &errstr);
    if (errstr != nullptr)
        return STATUS_BAD_REQUEST;
    long long b = size - 1;
    if (*second != '\0') {
        b = strtonum(second, 0, LLONG_MAX, &errstr);
        if (errstr != nullptr)
            return STATUS_BAD_REQUEST;
    }
    if (a > b || a >= size)
        return STATUS_RANGE_NOT_SATISFIABLE;
    *lower = a;
    *upper = b < size - 1 ? b : size - 1;
    return STATUS_NONE;
}

// Whether a Range still applies under the request's If-Range value: only
// when that is exactly the Last-Modified text this response carries, so
// the client holds the bytes of this very version. Any other value (an
// older date, a date in another form, an entity tag, which the server
// never sends) means the client's copy may be of an earlier version, and
// joining parts of two versions would corrupt it: the whole file is sent.
static bool
range_still_applies(const char *if_range, time_t mtime)
{
    if (if_range[0] == '\0')
        return true;
    HttpDate modified;
    return strcmp(if_range, format_http_date(mtime, modified)) == 0;
}

// What a file's type alone decides: a directory is never served (431 when
// its path is as long as a target can be, where a slash added to it could
// not be asked for), and a FIFO cannot be positioned or read as a file.
// Returns the status sent, or STATUS_NONE for anything that may be sent.
static Status
refuse_by_type(int fd, const struct stat *st, const char *path)
{
    if (S_ISDIR(st->st_mode))
        return send_status(fd, strlen(path) >= TARGET_MAX - 2
                                   ? STATUS_HEADER_FIELDS_TOO_LARGE
                                   : STATUS_FORBIDDEN);
    if (S_ISFIFO(st->st_mode))
        return send_status(fd, STATUS_INTERNAL_SERVER_ERROR);
    return STATUS_NONE;
}

// Answers the request from the open file. Everything is decided on what
// was opened, never on what the name showed before: a file renamed over
// the name in between (a deploy) is judged and sent as the one version
// whose bytes go out, and a directory or FIFO put in its place is refused.
static Status
answer_from_file(int fd, Request *r, const char *path, int file)
{
    struct stat st;
    if (fstat(file, &st) == -1)
        return send_status(fd, STATUS_INTERNAL_SERVER_ERROR);
    Status refused = refuse_by_type(fd, &st, path);
    if (refused != STATUS_NONE)
        return refused;

    const char *since = r->field[FIELD_IF_MODIFIED_SINCE];
    if (since[0] != '\0') {
        bool not_modified;
        if (check_modified_since(since, st.st_mtime, &not_modified) != 0)
            return send_status(fd, STATUS_BAD_REQUEST);
        if (not_modified)
            return send_not_modified(fd);
    }

    // Dropping the Range value makes the answer the whole file, as if the
    // client had asked for no range; without one, If-Range means nothing.
    if (r->field[FIELD_RANGE][0] != '\0' &&
        !range_still_applies(r->field[FIELD_IF_RANGE], st.st_mtime))
        r->field[FIELD_RANGE][0] = '\0';

    int64_t lower = 0;
    int64_t upper = st.st_size - 1;
    if (r->field[FIELD_RANGE][0] != '\0') {
        Status s =
            parse_range(r->field[FIELD_RANGE], st.st_size, &lower, &upper);
        if (s == STATUS_RANGE_NOT_SATISFIABLE)
            return send_range_not_satisfiable(fd, st.st_size);
        if (s != STATUS_NONE)
            return send_status(fd, s);
    }
    return send_file(fd, file, r, &st, lower, upper);
}

Status
evaluate_request(int fd, Request *r)
{
    char path[TARGET_MAX];
    memcpy(path, r->target, sizeof path);
    if (path[0] != '/')
        return send_status(fd, STATUS_BAD_REQUEST);
    normalize_path(path);
    // After normalisation "/." can only start a segment that begins with a
    // dot; such names are refused whether they exist or not.
    if (strstr(path, "/.") != nullptr)
        return send_status(fd, STATUS_FORBIDDEN);

    // The name is looked at before it is opened, for what must not even be
    // opened: opening a FIFO would wait for a writer, or release one that
    // waits in its own open, only for it to die of a broken pipe once we
    // close. A directory is refused here as well, saving the open.
    const char *fs_path = path[1] == '\0' ? "." : path + 1;
    struct stat st;
    if (stat(fs_path, &st) == -1)
        return send_status(fd, errno == EACCES ? STATUS_FORBIDDEN
                                               : STATUS_NOT_FOUND);
    Status refused = refuse_by_type(fd, &st, path);
    if (refused != STATUS_NONE)
        return refused;

    // Should a FIFO take the file's place after all, the open does not
    // wait for it; on a file it changes nothing.
    int file = open(fs_path, O_RDONLY | O_NONBLOCK);
    if (file == -1)
        return send_status(fd, STATUS_FORBIDDEN);
    // No name is looked up after this one, where that can be confined.
    Status s = confine_opened() == 0
                   ? answer_from_file(fd, r, path, file)
                   : send_status(fd, STATUS_INTERNAL_SERVER_ERROR);
    close(file);
    return s;
}
