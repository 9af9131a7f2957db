// The worker's confinement: a seccomp filter on Linux, capability mode on
// FreeBSD.
#include "compat/confine.h"

#include <err.h>
#include <errno.h>

#if defined(__linux__)
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/seccomp.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif
#if defined(CORVANSEL_SANITIZE) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#define HAVE_LEAK_CHECK 1
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
// more, with the few calls of the server process's accept loop. A call
// missing here fails with EPERM (see build_filters): when the worker or
// the loop changes, strace -f of a few requests shows what they now make.
static const Rule worker_calls[] = {
    // The accept loop: waiting for and taking connections, and closing the
    // server process's copy of each. A worker has closed every listening
    // socket before it reads from its client, so that it has nothing to
    // accept from. The fork of each worker is the one call left to the
    // arbiter (see arbitrated_calls).
    {SCMP_SYS(accept), 0, {}},
    {SCMP_SYS(accept4), 0, {}},
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
    // A forked child's C library tells the kernel where its robust locks
    // are, before the worker's own code runs.
    {SCMP_SYS(set_robust_list), 0, {}},
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

// The forks of workers, which only the server process may make: the
// arbiter's filter hands each one to the supervisor (see arbitrate), and
// the main filter allows them only when there is an arbiter.
static const int arbitrated_calls[] = {SCMP_SYS(clone)};

// The two filters, built by the supervisor before it forks the server
// process, which installs them on itself; every worker it forks is born
// under both. Without the arbiter, each worker installs the main one.
// Room for three times what the tables need.
static sock_filter program[256];
static sock_fprog filter = {0, program};
static sock_filter arbiter_program[32];
static sock_fprog arbiter_filter = {0, arbiter_program};
// Whether anything is confined: not under valgrind (see
// prepare_confinement).
static bool filtering = false;
// How: the server process installs the filters and the supervisor
// arbitrates its forks; or, where the kernel cannot report a call to a
// supervisor, each worker installs the main filter, which then refuses a
// fork too.
static bool arbitrated = false;
// The socket pair over which the server process hands the supervisor the
// descriptor that its arbiter's filter reports on: the supervisor's end
// first, then the server process's.
static int channel[2] = {-1, -1};
// The one process whose forks the arbiter lets through.
static pid_t arbitrated_server = -1;
// The arbiter's stack: it calls nothing deeper than a warning.
static constexpr size_t ARBITER_STACK_SIZE = 64 * 1024;

// Writes the program that libseccomp built from ctx into the fixed buffer
// of f, whose room is size instructions, and releases ctx. libseccomp
// writes a program only to a descriptor: a memory file takes it whole,
// where a pipe's room could run out.
static void
export_filter(scmp_filter_ctx ctx, int rc, sock_fprog *f, size_t size)
{
    int fd = -1;
    if (rc == 0) {
        fd = memfd_create("filter", MFD_CLOEXEC);
        if (fd == -1)
            err(1, "memfd_create");
        rc = seccomp_export_bpf(ctx, fd);
    }
    seccomp_release(ctx);
    if (rc != 0) {
        errno = -rc;
        err(1, "seccomp filter");
    }
    size_t room = size * sizeof f->filter[0];
    ssize_t got = pread(fd, f->filter, room, 0);
    if (got <= 0 || got % sizeof f->filter[0] != 0 || (size_t)got == room)
        errx(1, "seccomp filter: unexpected size %zd", got);
    close(fd);
    f->len = (unsigned short)(got / sizeof f->filter[0]);
}

// Builds the filters of the tables above. Every refused call fails with
// EPERM, the same as a call the kernel does not let this user make: the
// worker checks every result, so a call on a path the table missed (a
// warning on an error path, a change in the C library) costs a failed
// call, not a connection dropped without its log line. The architecture
// is checked first: a call through another architecture's entry point
// (the 32-bit or the x32 one) has numbers that mean other calls, and
// kills the process.
//
// The arbiter's filter allows everything but a fork, which it hands to
// the supervisor to answer; the main filter allows that fork, along with
// the rest of its table. The kernel follows the strictest answer of the
// filters a process has, so a fork waits for the supervisor's, and every
// other call gets the main filter's.
static void
build_filters(bool with_arbiter)
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
    for (int call : arbitrated_calls) {
        if (rc == 0 && with_arbiter)
            rc = seccomp_rule_add_exact(ctx, SCMP_ACT_ALLOW, call, 0);
    }
    for (int call : credential_calls) {
        if (rc == 0)
            rc = seccomp_rule_add_exact(ctx, SCMP_ACT_KILL, call, 0);
    }
    export_filter(ctx, rc, &filter, sizeof program / sizeof program[0]);

    if (with_arbiter) {
        ctx = seccomp_init(SCMP_ACT_ALLOW);
        if (ctx == nullptr)
            errx(1, "seccomp_init failed");
        rc = 0;
        for (int call : arbitrated_calls) {
            if (rc == 0)
                rc = seccomp_rule_add_exact(ctx, SCMP_ACT_NOTIFY, call, 0);
        }
        export_filter(ctx, rc, &arbiter_filter,
                      sizeof arbiter_program / sizeof arbiter_program[0]);
    }
#if defined(__GLIBC__)
    // libseccomp's working memory is free again, but its pages would stay
    // in the server process, and every fork would copy their mappings and
    // every worker's exit undo them: they go back to the system.
    malloc_trim(0);
#endif
}

void
prepare_confinement(bool may_arbitrate)
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
    // What the system lets a process install is found out here, before
    // anything is forked. The kernel checks the flags, then reads the
    // program: a null one fails with EFAULT where such a filter can be
    // installed, and with EINVAL or EPERM where it cannot. The arbiter
    // needs a kernel that lets a supervisor wave a call through (5.5);
    // asked along with TSYNC_ESRCH (5.7), the flags are refused by any
    // kernel older than that. A service manager's own filter may refuse
    // seccomp(2) and allow prctl(2): the workers then install theirs.
    if (may_arbitrate &&
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                SECCOMP_FILTER_FLAG_NEW_LISTENER | SECCOMP_FILTER_FLAG_TSYNC |
                    SECCOMP_FILTER_FLAG_TSYNC_ESRCH,
                nullptr) == -1 &&
        errno == EFAULT)
        arbitrated = true;
    else if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, nullptr) != -1 ||
             errno != EFAULT)
        err(1, "seccomp filters cannot be installed");
    build_filters(arbitrated);
    if (arbitrated &&
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) == -1)
        err(1, "socketpair");
    filtering = true;
}

// Sends descriptor fd over socket, alone.
static int
send_descriptor(int socket, int fd)
{
    char byte = 0;
    struct iovec data = {&byte, 1};
    alignas(struct cmsghdr) char space[CMSG_SPACE(sizeof fd)] = {};
    struct msghdr m = {};
    m.msg_iov = &data;
    m.msg_iovlen = 1;
    m.msg_control = space;
    m.msg_controllen = sizeof space;
    struct cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof fd);
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    return sendmsg(socket, &m, MSG_NOSIGNAL) == 1 ? 0 : -1;
}

// The descriptor that arrives over socket, or -1 when none does (the
// other end closed without sending one).
static int
receive_descriptor(int socket)
{
    char byte;
    struct iovec data = {&byte, 1};
    alignas(struct cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr m = {};
    m.msg_iov = &data;
    m.msg_iovlen = 1;
    m.msg_control = space;
    m.msg_controllen = sizeof space;
    ssize_t n;
    do
        n = recvmsg(socket, &m, MSG_CMSG_CLOEXEC);
    while (n == -1 && errno == EINTR);
    struct cmsghdr *c = n == 1 ? CMSG_FIRSTHDR(&m) : nullptr;
    if (c == nullptr || c->cmsg_level != SOL_SOCKET ||
        c->cmsg_type != SCM_RIGHTS || c->cmsg_len != CMSG_LEN(sizeof(int)))
        return -1;
    int fd;
    memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
}

// Newer kernels can switch straight to the process a reply wakes, on the
// same processor, as a synchronous call does; older headers lack the names.
#if !defined(SECCOMP_IOCTL_NOTIF_SET_FLAGS)
#define SECCOMP_IOCTL_NOTIF_SET_FLAGS SECCOMP_IOW(4, __u64)
#endif
#if !defined(SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP)
#define SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP (1UL << 0)
#endif

// The layout of sched_setattr(2)'s argument, which the C library does not
// declare.
struct SchedulingAttributes {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;
    uint64_t deadline;
    uint64_t period;
};

// The time slice the arbiter asks for, the shortest the kernel grants.
static constexpr uint64_t ARBITER_SLICE_NS = 100 * 1000;

// Asks the kernel to run the calling thread, an ordinary one, soon after
// it wakes, in short slices. The server process waits for the arbiter's
// answer at every fork, and under load a woken arbiter would otherwise
// wait behind the busy workers for its turn, up to a whole default slice
// each, while the server process accepts nothing. Kernels before 6.12
// ignore the request or refuse it, and so may a service manager's filter;
// the arbiter then runs as any thread does.
static void
ask_for_short_slices()
{
    SchedulingAttributes a = {};
    a.size = sizeof a;
    a.policy = SCHED_OTHER;
    a.runtime = ARBITER_SLICE_NS;
    (void)syscall(SYS_sched_setattr, 0, &a, 0);
}

// The arbiter, a thread of the supervisor: answers each fork that the
// arbiter's filter hands it. The server process's go ahead; a worker's
// fails with EPERM, as a refused call does. The answer depends only on
// which process asks, which the kernel tells and the asker cannot change,
// never on what the call would do: what a process's memory says can be
// rewritten while it waits, who it is cannot.
static void *
arbitrate(void *)
{
    int fd = receive_descriptor(channel[0]);
    close(channel[0]);
    // No descriptor: the server process ended before it confined itself,
    // and said why.
    if (fd == -1)
        return nullptr;
    ask_for_short_slices();
    // Only a speed-up: a kernel without it wakes the asker as usual.
    (void)ioctl(fd, SECCOMP_IOCTL_NOTIF_SET_FLAGS,
                SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP);
    for (;;) {
        struct seccomp_notif call;
        // The kernel refuses a request that is not zeroed.
        memset(&call, 0, sizeof call);
        if (ioctl(fd, SECCOMP_IOCTL_NOTIF_RECV, &call) == -1) {
            if (errno == EINTR)
                continue;
            // The asker went (killed, or interrupted by a signal) before
            // its call was read; or nobody is left under the filter,
            // which then answers every read at once, and nobody ever will
            // be: only a process under it can fork one that is.
            if (errno == ENOENT) {
                struct pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP)) {
                    close(fd);
                    return nullptr;
                }
                continue;
            }
            break;
        }
        struct seccomp_notif_resp answer;
        memset(&answer, 0, sizeof answer);
        answer.id = call.id;
        if ((pid_t)call.pid == arbitrated_server)
            answer.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        else
            answer.error = -EPERM;
        // Fails only when the asker went meanwhile.
        (void)ioctl(fd, SECCOMP_IOCTL_NOTIF_SEND, &answer);
    }
    // Closing the descriptor makes every fork fail at once (ENOSYS), where
    // it would otherwise wait for an answer that never comes: the server
    // process ends on that.
    warn("seccomp arbiter");
    close(fd);
    return nullptr;
}

void
arbitrate_confinement(pid_t server)
{
    if (!arbitrated)
        return;
    close(channel[1]);
    arbitrated_server = server;
    pthread_attr_t attr;
    pthread_t thread;
    int rc = pthread_attr_init(&attr);
    // The arbiter needs little stack, and the supervisor's copy of the
    // default would only take address space.
    if (rc == 0)
        rc = pthread_attr_setstacksize(&attr, ARBITER_STACK_SIZE);
    if (rc == 0)
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0)
        rc = pthread_create(&thread, &attr, arbitrate, nullptr);
    if (rc != 0) {
        // Without an arbiter, the server process's first fork would wait
        // for ever: it is stopped at once instead.
        errno = rc;
        warn("seccomp arbiter");
        kill(server, SIGKILL);
    }
}

void
confine_server()
{
    if (!arbitrated)
        return;
#if defined(HAVE_LEAK_CHECK)
    // The leak checker stops the process with threads and ptrace, which
    // the filter refuses: it looks now, once the start-up is done, and
    // not again at an exit.
    __lsan_do_leak_check();
#endif
    close(channel[0]);
    int fd = (int)syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                          SECCOMP_FILTER_FLAG_NEW_LISTENER, &arbiter_filter);
    if (fd == -1)
        err(1, "seccomp");
    if (send_descriptor(channel[1], fd) == -1)
        err(1, "seccomp arbiter");
    close(fd);
    close(channel[1]);
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == -1)
        err(1, "seccomp");
}

// Installs the main filter through prctl rather than seccomp(2): a
// service manager's own filter may allow the one and not the other. Made
// as a raw system call, through the routine whose code the worker runs
// anyway for the clock: the release link places that beside the worker's
// other code, where prctl's own wrapper would cost every worker a page
// fault.
int
confine_worker()
{
    if (!filtering || arbitrated)
        return 0;
    if (syscall(SYS_prctl, PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) ==
        -1) {
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
prepare_confinement(bool)
{
    // A kernel without Capsicum would have every worker fail to enter
    // capability mode: found out here instead.
    unsigned mode;
    if (cap_getmode(&mode) == -1)
        err(1, "Capsicum");
}

void
arbitrate_confinement(pid_t)
{
}

void
confine_server()
{
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
prepare_confinement(bool)
{
}

void
arbitrate_confinement(pid_t)
{
}

void
confine_server()
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
