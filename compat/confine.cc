// The worker's confinement: a seccomp filter on Linux, capability mode on
// FreeBSD.
#include "compat/confine.h"

#include <err.h>
#include <errno.h>

#if defined(__linux__)
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <malloc.h>
#include <seccomp.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif
#elif defined(__FreeBSD__)
#include <sys/capsicum.h>
#endif

#if defined(__linux__)

// One call the worker may make: when count is 0 with any arguments, else
// only when every comparison in arg holds.
struct Rule {
    int call;
    unsigned count;
    scmp_arg_cmp arg[2];
};

// Argument n equals value. The compared arguments are all ints, so only
// their low 32 bits count, as they do for the kernel.
static constexpr scmp_arg_cmp
arg_is(unsigned n, uint32_t value)
{
    return {n, SCMP_CMP_MASKED_EQ, UINT32_MAX, value};
}

// The bits of argument n outside allowed are all clear.
static constexpr scmp_arg_cmp
arg_within(unsigned n, uint32_t allowed)
{
    return {n, SCMP_CMP_MASKED_EQ, (uint32_t)~allowed, 0};
}

// The futex command of argument 1, whatever its private and clock flags.
static constexpr scmp_arg_cmp
futex_command_is(uint32_t command)
{
    return {1, SCMP_CMP_MASKED_EQ, (uint32_t)FUTEX_CMD_MASK, command};
}

// The flags an open may carry: reading, without waiting, and closing on
// exec. Any other bit (writing, creating, truncating, appending, a
// temporary file, a path-only descriptor) refuses the open.
static constexpr uint32_t OPEN_FLAGS_ALLOWED =
    O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_LARGEFILE;

// Everything a worker does between the fork and its exit, and nothing
// more. A call missing here fails with EPERM (see build_filter): when the
// worker changes, strace -f of a few requests shows what it now makes.
static const Rule worker_calls[] = {
    // The connection, the file and the access log: descriptors the worker
    // already has. recvfrom is recv; sendfile moves the file's bytes from
    // one held descriptor to another.
    {SCMP_SYS(read), 0, {}},
    {SCMP_SYS(pread64), 0, {}},
    {SCMP_SYS(recvfrom), 0, {}},
    {SCMP_SYS(write), 0, {}},
    {SCMP_SYS(writev), 0, {}},
    {SCMP_SYS(sendfile), 0, {}},
    {SCMP_SYS(lseek), 0, {}},
    {SCMP_SYS(poll), 0, {}},
    {SCMP_SYS(ppoll), 0, {}},
    {SCMP_SYS(shutdown), 0, {}},
    {SCMP_SYS(close), 0, {}},
    // The file: looked at, and opened for reading only.
    {SCMP_SYS(openat), 1, {arg_within(2, OPEN_FLAGS_ALLOWED)}},
    {SCMP_SYS(newfstatat), 0, {}},
    {SCMP_SYS(fstat), 0, {}},
    {SCMP_SYS(statx), 0, {}},
    // The time: the date in the response head, deadlines.
    {SCMP_SYS(clock_gettime), 0, {}},
    // The access log's lock, a robust process-shared mutex: waiting and
    // waking, plain or priority-inheriting, with or without a time-out.
    // Requeueing, the other commands, is not needed.
    {SCMP_SYS(futex), 1, {futex_command_is(FUTEX_WAIT)}},
    {SCMP_SYS(futex), 1, {futex_command_is(FUTEX_WAIT_BITSET)}},
    {SCMP_SYS(futex), 1, {futex_command_is(FUTEX_WAKE)}},
    {SCMP_SYS(futex), 1, {futex_command_is(FUTEX_LOCK_PI)}},
    {SCMP_SYS(futex), 1, {futex_command_is(FUTEX_LOCK_PI2)}},
    {SCMP_SYS(futex), 1, {futex_command_is(FUTEX_TRYLOCK_PI)}},
    {SCMP_SYS(futex), 1, {futex_command_is(FUTEX_UNLOCK_PI)}},
    // A timer that bounds the log line's write (read back to bound a wait
    // for the lock), its signal's return, the restart of a call it
    // interrupted, and the C library's own signal masking (abort blocks
    // signals before it raises).
    {SCMP_SYS(setitimer), 1, {arg_is(0, ITIMER_REAL)}},
    {SCMP_SYS(getitimer), 1, {arg_is(0, ITIMER_REAL)}},
    {SCMP_SYS(rt_sigreturn), 0, {}},
    {SCMP_SYS(restart_syscall), 0, {}},
    {SCMP_SYS(rt_sigprocmask), 0, {}},
    // The C library's own: its process and thread numbers, and the heap,
    // should a path of the C library ask for memory (the break only moves
    // the data segment, which is never executable).
    {SCMP_SYS(getpid), 0, {}},
    {SCMP_SYS(gettid), 0, {}},
    {SCMP_SYS(brk), 0, {}},
    {SCMP_SYS(exit_group), 0, {}},
    {SCMP_SYS(exit), 0, {}},
#if defined(CORVANSEL_SANITIZE)
    // The sanitizers' run time, which checks and maps memory of its own as
    // the worker ends. Memory is still never made executable. An error
    // report cannot start the symbolizer, a program of its own: it goes
    // out with addresses instead of names.
    {SCMP_SYS(sigaltstack), 0, {}},
    {SCMP_SYS(mmap), 1, {arg_within(2, PROT_READ | PROT_WRITE)}},
    {SCMP_SYS(mprotect), 1, {arg_within(2, PROT_READ | PROT_WRITE)}},
    {SCMP_SYS(munmap), 0, {}},
    {SCMP_SYS(madvise), 0, {}},
    {SCMP_SYS(readlink), 0, {}},
    {SCMP_SYS(sched_yield), 0, {}},
#endif
};

// Calls that a program may take for done when they fail: one that gives
// up privileges and goes on when that fails runs with what it meant to
// give up. A worker never changes its credentials, so one that tries to
// is not ours any more: it is killed rather than answered.
static const int credential_calls[] = {
    SCMP_SYS(setuid),   SCMP_SYS(setgid),    SCMP_SYS(setreuid),
    SCMP_SYS(setregid), SCMP_SYS(setresuid), SCMP_SYS(setresgid),
    SCMP_SYS(setfsuid), SCMP_SYS(setfsgid),  SCMP_SYS(setgroups),
    SCMP_SYS(capset),
};

// The filter, built once by the server process; every worker inherits it
// and loads it as it is. Room for three times what the table needs.
static sock_filter program[256];
static sock_fprog filter = {0, program};
// Whether workers install the filter: not under valgrind (see
// prepare_confinement).
static bool filtering = false;

// Builds the filter of the tables above into program. Every refused call
// fails with EPERM, the same as a call the kernel does not let this user
// make: the worker checks every result, so a call on a path the table
// missed (a warning on an error path, a change in the C library) costs a
// failed call, not a connection dropped without its log line. The
// worker's architecture is checked first: a call through another
// architecture's entry point (the 32-bit or the x32 one) has numbers that
// mean other calls, and kills the worker.
static void
build_filter()
{
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (ctx == nullptr)
        errx(1, "seccomp_init failed");
    int rc = seccomp_attr_set(ctx, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL);
    for (const Rule &r : worker_calls) {
        if (rc == 0)
            rc = seccomp_rule_add_exact_array(ctx, SCMP_ACT_ALLOW, r.call,
                                              r.count, r.arg);
    }
    for (int call : credential_calls) {
        if (rc == 0)
            rc = seccomp_rule_add_exact(ctx, SCMP_ACT_KILL, call, 0);
    }
    // libseccomp writes the program only to a descriptor: a memory file
    // takes it whole, where a pipe's room could run out.
    int fd = -1;
    if (rc == 0) {
        fd = memfd_create("worker filter", MFD_CLOEXEC);
        if (fd == -1)
            err(1, "memfd_create");
        rc = seccomp_export_bpf(ctx, fd);
    }
    seccomp_release(ctx);
#if defined(__GLIBC__)
    // libseccomp's working memory is free again, but its pages would stay
    // in the server process, and every fork would copy their mappings and
    // every worker's exit undo them: they go back to the system.
    malloc_trim(0);
#endif
    if (rc != 0) {
        errno = -rc;
        err(1, "seccomp filter");
    }
    ssize_t size = pread(fd, program, sizeof program, 0);
    if (size <= 0 || size % sizeof program[0] != 0 ||
        (size_t)size == sizeof program)
        errx(1, "seccomp filter: unexpected size %zd", size);
    close(fd);
    filter.len = (unsigned short)(size / sizeof program[0]);
}

// Installs the filter through prctl rather than seccomp(2): a service
// manager's own filter may allow the one and not the other. Made as a raw
// system call, through the routine whose code the worker runs anyway for
// the clock: the release link places that beside the worker's other code,
// where prctl's own wrapper would cost every worker a page fault.
static int
install_filter()
{
    return (int)syscall(SYS_prctl, PR_SET_SECCOMP, SECCOMP_MODE_FILTER,
                        &filter);
}

void
prepare_confinement()
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1)
        err(1, "no-new-privileges");
#if defined(RUNNING_ON_VALGRIND)
    // valgrind's tools write what they found as each process ends, and a
    // worker under callgrind then creates its profile, which the filter
    // refuses. Only valgrind's own virtual processor answers this request:
    // no client or caller can turn the filter off with it.
    if (RUNNING_ON_VALGRIND)
        return;
#endif
    build_filter();
    // A kernel without filters, or a process that is not let install one,
    // would have every worker fail: found out here. The kernel reads the
    // program before anything else, so a null one fails with EFAULT where
    // filters can be installed, and with EINVAL or EPERM where they
    // cannot.
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, nullptr) != -1 ||
        errno != EFAULT)
        err(1, "seccomp filters cannot be installed");
    filtering = true;
}

int
confine_worker()
{
    if (filtering && install_filter() == -1) {
        warn("seccomp");
        return 1;
    }
    return 0;
}

int
confine_opened()
{
    return 0;
}

#elif defined(__FreeBSD__)

void
prepare_confinement()
{
    // A kernel without Capsicum would have every worker fail to enter
    // capability mode: found out here instead.
    unsigned mode;
    if (cap_getmode(&mode) == -1)
        err(1, "Capsicum");
}

// Set in a worker: only a worker enters capability mode, never a process
// that calls the HTTP code for its own ends (a test, a fuzzer).
static bool is_worker = false;

int
confine_worker()
{
    is_worker = true;
    return 0;
}

int
confine_opened()
{
    if (!is_worker)
        return 0;
    return cap_enter() == -1 ? 1 : 0;
}

#else

void
prepare_confinement()
{
}

int
confine_worker()
{
    return 0;
}

int
confine_opened()
{
    return 0;
}

#endif
