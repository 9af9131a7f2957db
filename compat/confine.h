// What a worker may still ask of the system once it serves a client: the
// one place where each platform's confinement lives.
//
// Linux: from right after the fork, a seccomp filter allows the calls of
// the table in confine.cc and nothing else. FreeBSD: the look-up of the
// name follows links wherever they point, which Capsicum cannot allow, so
// the worker enters capability mode once its file is open. Elsewhere
// nothing is confined.
#ifndef CORVANSEL_COMPAT_CONFINE_H
#define CORVANSEL_COMPAT_CONFINE_H

// Readies the confinement, once, in the server process before its first
// fork: on Linux it forbids the process and every child it forks from
// gaining privileges (through a set-user-ID program, say), builds the
// filter and checks that the system lets a process install one. A
// failure ends the process with a message: a server that cannot confine
// its workers does not start. Under valgrind, whose tools write their
// findings as a worker ends, the workers are left unconfined.
void prepare_confinement();

// Confines the calling worker before it reads from its client: on Linux
// it installs the filter that prepare_confinement built, in one system
// call. Returns 0, or 1 after a warning; the worker must then end without
// serving.
[[nodiscard]] int confine_worker();

// Confines the calling worker once the file it sends is open: on FreeBSD
// it enters capability mode, where no name can be looked up any more.
// Returns 0, or 1 when that failed; the worker must then not send the
// file.
[[nodiscard]] int confine_opened();

#endif
