// The access log: one line per connection on standard output, each written
// whole however many workers write at once and whatever standard output is.
#ifndef CORVANSEL_SERVER_LOG_H
#define CORVANSEL_SERVER_LOG_H

#include <stddef.h>

#include "http/request.h"
#include "server/listen.h"

// The longest log line: every byte of the agent and the target escaped to
// four, plus the numbers, the address, four tabs and the line end.
constexpr int LOG_LINE_SIZE = 20 + 1 + ADDRESS_TEXT_SIZE - 1 + 1 + 11 + 1 +
                              (FIELD_VALUE_MAX - 1) * 4 + 1 +
                              (TARGET_MAX - 1) * 4 + 1 + 1;

// The longest that writing one line may wait, for the lock and for room
// on standard output together: the time the server also gives a client
// that stalls. A line not written by then is lost and counted.
constexpr int LOG_WAIT_SECONDS = 30;

// Makes what the workers share to keep their lines whole and to count the
// lines lost: a lock that each takes around its write, in memory that
// needs no file system, and the alarm that cuts off a write that waits
// too long. Called once by the server process, before its first fork; a
// failure ends the process.
void open_log();

// Formats the access log line of an exchange into line, which holds
// LOG_LINE_SIZE bytes: bytes sent, client address, status, User-Agent
// value and target, tab-separated. Control bytes, DEL and the backslash in
// the last two columns are written as "\xNN", so a client can neither add
// a column nor a line. Returns the length, without a terminating zero.
size_t format_log_line(char *line, const Request *r, const char *address,
                       Status status);

// Writes the access log line of an exchange to standard output, whole,
// while holding the lock, waiting at most LOG_WAIT_SECONDS in all for the
// lock and for room on the output (blocking or not). A line that an
// earlier writer left unfinished (it was killed, or cut off) is ended
// first. Lines that cannot be written are counted for the whole server
// and reported on standard error with the reason of the last one, at most
// once a second: a worker that writes after the second is over reports
// the lines lost since the last report, whether its own line went out or
// not. Leaves an alarm armed: the caller exits right after.
void log_exchange(const Request *r, const char *address, Status status);

// Writes the listening banner, len bytes of text, to standard output,
// waiting at most LOG_WAIT_SECONDS for room as a log line does. Returns 0,
// or an error number (ETIMEDOUT when the time ran out).
[[nodiscard]] int write_banner(const char *text, size_t len);

#endif
