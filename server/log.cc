// The access log line, its one write, and what the workers share for it.
#include "server/log.h"

#include <err.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "compat/compat.h"
#include "http/append.h"
#include "http/request.h"

// Lost lines are reported no more often than this, however many there are.
static constexpr int64_t REPORT_INTERVAL_MS = 1000;

// Once a wait's time is up, the alarm that cuts a blocked write short goes
// off again this often: a write that began just after one alarm, before
// its writer could see the time was up, waits no longer than this.
static constexpr int CUTOFF_REPEAT_MS = 100;

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
    // milliseconds). The count is also changed and read without the lock,
    // by a writer that could not get it, so it is atomic, and so is the
    // error.
    uint64_t lost;
    int error;
    int64_t reported_ms;
    // Standard output may end in the middle of a line: set before each
    // line's write and cleared once it is whole, so a writer that died or
    // was cut off on the way leaves it set. The next writer ends that line
    // first, so that its own is not glued to the fragment, and counts the
    // fragment's line as lost unless its writer already did.
    bool fragment;
    bool fragment_counted;
};

static LogShared *shared = nullptr;

// Set once the time for the current wait is up. The alarm that sets it
// also interrupts a write that blocks.
static volatile sig_atomic_t time_is_up = 0;

static void
cut_off(int)
{
    time_is_up = 1;
}

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

    // Without SA_RESTART, so that the alarm ends a write that waits; every
    // process forked after this inherits the handler.
    struct sigaction sa = {};
    sa.sa_handler = cut_off;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGALRM, &sa, nullptr) == -1)
        err(1, "log alarm");
}

// Arms the alarm that ends the current wait after seconds, and goes off
// again every CUTOFF_REPEAT_MS after that; 0 disarms it. The alarm is the
// one clock of the wait: nothing is read from a clock unless the lock is
// busy, so a line that goes out at once costs this one system call.
static void
arm_cutoff(int seconds)
{
    // Written only when set: a worker inherits it clear from the banner's
    // wait, and a write would cost it a copy of the page.
    if (time_is_up)
        time_is_up = 0;
    struct itimerval t = {};
    t.it_value.tv_sec = seconds;
    if (seconds > 0)
        t.it_interval.tv_usec = CUTOFF_REPEAT_MS * 1000;
    setitimer(ITIMER_REAL, &t, nullptr);
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

// Takes the lock before the cut-off alarm goes off. A holder that died
// left it to us, and with it whatever it was doing half done: its line is
// ended and counted by the fragment rule, and the lock is made usable
// again. Returns false when the time ran out first.
static bool
take_lock()
{
    int rc = pthread_mutex_trylock(&shared->lock);
    if (rc == EBUSY) {
        // The lock waits until a time on the wall clock: the alarm's.
        struct itimerval left;
        struct timespec until;
        if (getitimer(ITIMER_REAL, &left) == -1 ||
            clock_gettime(CLOCK_REALTIME, &until) == -1)
            return false;
        until.tv_sec += left.it_value.tv_sec;
        until.tv_nsec += (long)left.it_value.tv_usec * 1000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000;
        }
        rc = pthread_mutex_timedlock(&shared->lock, &until);
    }
    if (rc == EOWNERDEAD)
        rc = pthread_mutex_consistent(&shared->lock);
    return rc == 0;
}

// Writes text to standard output until the cut-off alarm goes off.
// Whoever started the server may have made its output non-blocking (the
// flag belongs to the open pipe, which the server shares with its parent,
// so it is not ours to clear): a write that would block waits for room.
// One that blocks is interrupted by the alarm. An interrupted write goes
// on only while time is left, since on a blocking descriptor the next one
// could wait as long again; the alarm's repeats catch one that began just
// as the time ran out. Stores in *written how much went out. Returns 0,
// or an error number: ETIMEDOUT when the time ran out.
static int
write_in_time(const char *text, size_t len, size_t *written)
{
    *written = 0;
    while (*written < len) {
        if (time_is_up)
            return ETIMEDOUT;
        ssize_t n = write(STDOUT_FILENO, text + *written, len - *written);
        if (n > 0) {
            *written += (size_t)n;
            continue;
        }
        // A write of nothing sets no errno: it is taken for EIO.
        if (n == 0)
            return EIO;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        struct pollfd p = {STDOUT_FILENO, POLLOUT, 0};
        if (poll(&p, 1, -1) == -1 && errno != EINTR)
            return errno;
    }
    return 0;
}

// Counts one more lost line, with the error that lost it. Needs no lock.
static void
count_lost(int error)
{
    __atomic_add_fetch(&shared->lost, 1, __ATOMIC_RELAXED);
    __atomic_store_n(&shared->error, error, __ATOMIC_RELAXED);
}

// Reports the lines lost so far, unless a report went out less than the
// interval ago: then the count waits for the next worker that writes
// after it. Called with the lock held, which makes the count the whole
// server's.
static void
report_lost_lines()
{
    // The clock only when there is something to report: a new process
    // that reads it maps the clock's pages for that alone.
    uint64_t lost = __atomic_load_n(&shared->lost, __ATOMIC_RELAXED);
    if (lost == 0)
        return;
    int64_t now = monotonic_ms();
    if (now - shared->reported_ms < REPORT_INTERVAL_MS)
        return;
    errno = __atomic_load_n(&shared->error, __ATOMIC_RELAXED);
    warn("access log: %ju line%s lost", (uintmax_t)lost, lost == 1 ? "" : "s");
    shared->reported_ms = now;
    __atomic_sub_fetch(&shared->lost, lost, __ATOMIC_RELAXED);
}

// Writes one whole line, with the lock held: first the end of a line that
// an earlier writer left unfinished, then this one. Returns 0, or the
// error that lost the line.
static int
write_line(const char *line, size_t len)
{
    size_t written;
    if (shared->fragment) {
        int error = write_in_time("\n", 1, &written);
        if (error != 0)
            return error;
        // Its writer was killed on the way, and could not count it.
        if (!shared->fragment_counted)
            count_lost(EINTR);
        shared->fragment = false;
    }
    shared->fragment = true;
    shared->fragment_counted = false;
    int error = write_in_time(line, len, &written);
    // Nothing of a line that failed at once went out: the output still
    // ends at a line end. A line cut short is counted by the caller.
    if (error == 0 || written == 0)
        shared->fragment = false;
    else
        shared->fragment_counted = true;
    return error;
}

void
log_exchange(const Request *r, const char *address, Status status)
{
    // Built in the exchange buffer: the connection is closed by now.
    static_assert(LOG_LINE_SIZE <= EXCHANGE_BUFFER_SIZE);
    char *line = exchange_buffer;
    size_t len = format_log_line(line, r, address, status);

    // A worker that waited for ever on a log nobody reads would hold its
    // process until the service ran out of them: the lock and the write
    // together get LOG_WAIT_SECONDS. The alarm stays armed to the end,
    // since the report below writes to standard error, which may be the
    // same stalled stream. The worker exits right after, alarm and all.
    arm_cutoff(LOG_WAIT_SECONDS);
    // A pipe keeps a write whole only up to PIPE_BUF bytes (4096 on Linux,
    // 512 on FreeBSD), and a slow reader takes a longer one in pieces,
    // between which another worker's line would land; a line cut short
    // anywhere must be ended before the next. So every line is written
    // under the lock.
    if (!take_lock()) {
        count_lost(ETIMEDOUT);
        return;
    }
    int error = write_line(line, len);
    if (error != 0)
        count_lost(error);
    report_lost_lines();
    pthread_mutex_unlock(&shared->lock);
}

int
write_banner(const char *text, size_t len)
{
    arm_cutoff(LOG_WAIT_SECONDS);
    size_t written;
    int error = write_in_time(text, len, &written);
    arm_cutoff(0);
    return error;
}
