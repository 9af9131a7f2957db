// What the server process and its workers may still ask of the system: the
// one place where each platform's confinement lives.
//
// Linux: the server process, once its sockets are open, installs a
// seccomp filter that allows the calls of the table in confine.cc and
// nothing else, so that every worker it forks is born under it. The one
// call that tells the server process from a worker, a fork, is answered by
// an arbiter in the supervisor, which lets only the server process's
// through. Where the kernel cannot hand a call to a supervisor (before
// 5.7 here), each worker installs the filter itself, with forks refused.
// FreeBSD: the look-up of the name follows links wherever they point,
// which Capsicum cannot allow, so the worker enters capability mode once
// its file is open. Elsewhere nothing is confined.
#ifndef CORVANSEL_COMPAT_CONFINE_H
#define CORVANSEL_COMPAT_CONFINE_H

#include <sys/types.h>

// Readies the confinement, once, in the supervisor before it forks the
// server process: on Linux it forbids the process and everything it forks
// from gaining privileges (through a set-user-ID program, say), finds out
// which filters the system lets a process install, and builds them; with
// may_arbitrate false it leaves the installing to each worker, as on a
// kernel without the arbiter's call. A failure ends the process with a
// message: a server that cannot confine its workers does not start.
// Under valgrind, whose tools write their findings as a worker ends,
// nothing is confined.
void prepare_confinement(bool may_arbitrate = true);

// Starts the arbiter, in the supervisor once it has forked the server
// process: from then on the server process may fork, and nothing it forks
// may. A server process whose arbiter cannot start is killed, with a
// warning.
void arbitrate_confinement(pid_t server);

// Confines the server process, once its listening sockets are open and
// before it forks its first worker: on Linux it installs the filters and
// hands the arbiter what it needs. A failure ends the process with a
// message.
void confine_server();

// Confines the calling worker before it reads from its client, where that
// is still to be done: on Linux without the arbiter it installs the
// filter that prepare_confinement built, in one system call. Returns 0,
// or 1 after a warning; the worker must then end without serving.
[[nodiscard]] int confine_worker();

// Confines the calling worker once the file it sends is open: on FreeBSD
// it enters capability mode, where no name can be looked up any more.
// Returns 0, or 1 when that failed; the worker must then not send the
// file.
[[nodiscard]] int confine_opened();

#endif
