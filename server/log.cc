// The access log line, its one write, and what the workers share for it.
#include "server/log.h"

#include <err.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "compat/compat.h"
#include "http/request.h"

// Where the lock file is made; it is removed from the directory at once,
// and lives only as long as a process holds it open.
static constexpr char LOCK_TEMPLATE[] = "/tmp/corvansel.XXXXXX";

// Lost lines are reported no more often than this, however many there are.
static constexpr time_t REPORT_INTERVAL_SECONDS = 1;

// The lock file's descriptor, inherited by every worker; -1 without one.
static int lock_fd = -1;

// Whether a line's write needs the lock: not when standard output is a
// regular file, where the system makes each write whole by itself, one
// after the other, each at the end of the last.
static bool lock_writes = true;

// What the workers keep in the lock file: when lost lines were last
// reported, and how many have been lost since.
struct LostLines {
    int64_t reported;
    uint64_t lost;
};

void
open_log()
{
    char path[sizeof LOCK_TEMPLATE];
    memcpy(path, LOCK_TEMPLATE, sizeof path);
    lock_fd = mkstemp(path);
    if (lock_fd == -1)
        err(1, "log lock '%s'", path);
    unlink(path);
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode))
        lock_writes = false;
}

static char *
append_escaped(char *out, const char *text)
{
    static constexpr char hex[] = "0123456789abcdef";
    for (; *text != '\0'; text++) {
        unsigned char c = (unsigned char)*text;
        if (c < 0x20 || c == 0x7f || c == '\\') {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = hex[c >> 4];
            *out++ = hex[c & 0xf];
        } else {
            *out++ = (char)c;
        }
    }
    return out;
}

size_t
format_log_line(char *line, const Request *r, const char *address,
                Status status)
{
    // Each part is bounded by its own field, so the whole line always fits.
    char *out = put_unsigned(line, r->bytes_sent);
    *out++ = '\t';
    out = put_text(out, address);
    *out++ = '\t';
    out = put_decimal(out, status);
    *out++ = '\t';
    out = append_escaped(out, r->field[FIELD_USER_AGENT]);
    *out++ = '\t';
    out = append_escaped(out, r->target);
    *out++ = '\n';
    return (size_t)(out - line);
}

// Counts a line that could not be written, and reports it unless a report
// went out less than a second ago. Called with the lock held, which makes
// the count in the lock file the whole server's.
static void
report_lost_line(int error)
{
    LostLines lines = {};
    if (pread(lock_fd, &lines, sizeof lines, 0) != sizeof lines)
        lines = {};
    lines.lost++;
    time_t now = current_time();
    if (now - lines.reported >= REPORT_INTERVAL_SECONDS) {
        errno = error;
        warn("access log: %ju line%s lost", (uintmax_t)lines.lost,
             lines.lost == 1 ? "" : "s");
        lines.reported = now;
        lines.lost = 0;
    }
    if (pwrite(lock_fd, &lines, sizeof lines, 0) != sizeof lines) {
        // Only the count is lost; the next failure reports again.
    }
}

// Takes (F_LOCK) or releases (F_ULOCK) the lock, waiting on through a
// signal. Returns true when it did.
static bool
set_lock(int how)
{
    int rc;
    do
        rc = lockf(lock_fd, how, 0);
    while (rc == -1 && errno == EINTR);
    return rc == 0;
}

void
log_exchange(const Request *r, const char *address, Status status)
{
    // Built in the exchange buffer, whose response is sent by now.
    static_assert(LOG_LINE_SIZE <= EXCHANGE_BUFFER_SIZE);
    char *line = exchange_buffer;
    size_t len = format_log_line(line, r, address, status);

    // A pipe keeps a write whole only up to PIPE_BUF bytes (4096 on Linux,
    // 512 on FreeBSD), and a slow reader takes a longer one in pieces,
    // between which another worker's line would land. So, unless standard
    // output is a regular file, every worker writes under one lock. A
    // record lock belongs to the process that holds it: the workers exclude
    // one another although they share the descriptor, and the system lets
    // it go when a worker dies holding it.
    bool locked = lock_writes && set_lock(F_LOCK);
    size_t written;
    if (write_all(STDOUT_FILENO, line, len, &written) != 0) {
        int error = errno;
        if (!locked)
            locked = set_lock(F_LOCK);
        report_lost_line(error);
    }
    // The next worker in, before this one lingers on its connection.
    if (locked)
        set_lock(F_ULOCK);
}
