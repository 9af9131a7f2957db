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

// Makes what the workers share to keep their lines whole: a lock that each
// takes around its write. Called once by the server process, before its
// first fork; a failure ends the process. Without it, lines are written
// unlocked.
void open_log();

// Formats the access log line of an exchange into line, which holds
// LOG_LINE_SIZE bytes: bytes sent, client address, status, User-Agent
// value and target, tab-separated. Control bytes, DEL and the backslash in
// the last two columns are written as "\xNN", so a client can neither add
// a column nor a line. Returns the length, without a terminating zero.
size_t format_log_line(char *line, const Request *r, const char *address,
                       Status status);

// Writes the access log line of an exchange to standard output, in one
// write while holding the lock. A line that cannot be written is reported
// on standard error, with the reason, at most about once a second for the
// whole server, saying how many lines were lost since the last report.
void log_exchange(const Request *r, const char *address, Status status);

#endif
