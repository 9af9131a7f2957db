// The access log line, its one write, and what the workers share for it.
#include "server/log.h"

#include <err.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "compat/compat.h"
#include "http/append.h"
#include "http/connection.h"
#include "http/request.h"

// Lost lines are reported no more often than this, however many there are.
static constexpr int64_t REPORT_INTERVAL_MS = 1000;

// What the workers share, in one page that the server process maps before
// its first fork and every worker inherits. It lives in memory, not in a
// file, so that the server needs no writable directory: a container
// without /tmp, a read-only root and a chroot all run it.
struct LogShared {
    // Taken around each line's write. Robust: a worker that dies holding
    // it (killed in the middle of a long write) passes it to the next.
    pthread_mutex_t lock;
    // Lines that could not be written and are not reported yet, the error
    // of the last of them, and when the last report went out (monotonic
    // milliseconds). Changed under the lock only; lost is also read
    // without it, so it is read and written atomically.
    uint64_t lost;
    int error;
    int64_t reported_ms;
};

static LogShared *shared = nullptr;

// Whether a line's write needs the lock: not when standard output is a
// regular file, where the system makes each write whole by itself, one
// after the other, each at the end of the last.
static bool lock_writes = true;

void
open_log()
{
    void *page = mmap(nullptr, sizeof(LogShared), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANON, -1, 0);
    if (page == MAP_FAILED)
        err(1, "log lock");
    shared = static_cast<LogShared *>(page);
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0)
        rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0)
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0)
        rc = pthread_mutex_init(&shared->lock, &attr);
    if (rc != 0) {
        errno = rc;
        err(1, "log lock");
    }
    pthread_mutexattr_destroy(&attr);
    // The first loss is reported at once.
    shared->reported_ms = monotonic_ms() - REPORT_INTERVAL_MS;

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
    // The zero that ended the target shows where it stood, as any other
    // control byte would.
    if (r->target_cut_at_zero)
        out = put_text(out, "\\x00");
    *out++ = '\n';
    return (size_t)(out - line);
}

// Takes the lock. A holder that died left it to us, and with it whatever
// it was doing half done: at worst its line is cut short or its loss
// uncounted, and the lock is made usable again.
static bool
take_lock()
{
    int rc = pthread_mutex_lock(&shared->lock);
    if (rc == EOWNERDEAD)
        rc = pthread_mutex_consistent(&shared->lock);
    return rc == 0;
}

// Writes the whole line to standard output. Whoever started the server
// may have made its output non-blocking (the flag belongs to the open
// pipe, which the server shares with its parent, so it is not ours to
// clear): a write that would block waits until the reader makes room, so
// that the line is neither lost nor split. Returns 0, or an error number.
static int
write_line(const char *line, size_t len)
{
    for (;;) {
        size_t written;
        // A write of nothing sets no errno: it is taken for EIO.
        errno = 0;
        if (write_all(STDOUT_FILENO, line, len, &written) == 0)
            return 0;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return errno != 0 ? errno : EIO;
        line += written;
        len -= written;
        struct pollfd p = {STDOUT_FILENO, POLLOUT, 0};
        if (poll(&p, 1, -1) == -1 && errno != EINTR)
            return errno;
    }
}

// Reports the lines lost so far, unless a report went out less than the
// interval ago: then the count waits for the next worker that writes
// after it. Called with the lock held, which makes the count the whole
// server's.
static void
report_lost_lines()
{
    uint64_t lost = __atomic_load_n(&shared->lost, __ATOMIC_RELAXED);
    int64_t now = monotonic_ms();
    if (lost == 0 || now - shared->reported_ms < REPORT_INTERVAL_MS)
        return;
    errno = shared->error;
    warn("access log: %ju line%s lost", (uintmax_t)lost, lost == 1 ? "" : "s");
    shared->reported_ms = now;
    __atomic_store_n(&shared->lost, 0, __ATOMIC_RELAXED);
}

void
log_exchange(const Request *r, const char *address, Status status)
{
    // Built in the exchange buffer: the connection is closed by now.
    static_assert(LOG_LINE_SIZE <= EXCHANGE_BUFFER_SIZE);
    char *line = exchange_buffer;
    size_t len = format_log_line(line, r, address, status);

    // A pipe keeps a write whole only up to PIPE_BUF bytes (4096 on Linux,
    // 512 on FreeBSD), and a slow reader takes a longer one in pieces,
    // between which another worker's line would land. So, unless standard
    // output is a regular file, every worker writes under the lock.
    bool locked = lock_writes && take_lock();
    int error = write_line(line, len);
    // A line lost now, or lost by others before and not reported yet,
    // needs the lock for the count; one that went out with none pending
    // needs nothing more. The count is read without the lock only to tell
    // whether to take it.
    if (error != 0 || __atomic_load_n(&shared->lost, __ATOMIC_RELAXED) != 0) {
        if (!locked)
            locked = take_lock();
        if (locked) {
            if (error != 0) {
                __atomic_add_fetch(&shared->lost, 1, __ATOMIC_RELAXED);
                shared->error = error;
            }
            report_lost_lines();
        }
    }
    if (locked)
        pthread_mutex_unlock(&shared->lock);
}
