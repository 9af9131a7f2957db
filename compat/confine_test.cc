// A confined worker can still serve a file and write its log line, and can
// do nothing else: each call is tried in a worker forked by a confined
// server process under its supervisor's arbiter, as the server runs them.
#include "compat/confine.h"

#include <arpa/inet.h>
#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#if defined(__linux__)

// What a child holds before it confines itself, as a worker holds its
// connection: a file, a connection, and the pipe its results go back
// through.
struct Held {
    int file;       // "kept", open for reading
    int connection; // one end of a socket pair
    int peer;       // its other end
    int results;
};

// One call tried by the confined child: it returns the call's result,
// with errno set when that is -1.
struct Attempt {
    const char *name;
    long (*call)(const Held &);
    bool allowed;
};

static long
read_file(const Held &h)
{
    char buf[16];
    return pread(h.file, buf, sizeof buf, 0) == 7 ? 0 : -1;
}

static long
open_for_reading(const Held &)
{
    int fd = open("kept", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    char buf[16];
    long n = fd == -1 ? -1 : read(fd, buf, sizeof buf);
    if (fd != -1)
        close(fd);
    return n == 7 ? 0 : -1;
}

static long
look_at_file(const Held &h)
{
    struct stat st;
    if (stat("kept", &st) == -1 || fstat(h.file, &st) == -1)
        return -1;
    return 0;
}

// The time-outs come with the connection from the listener: a worker has
// no socket option to set.
static long
set_receive_timeout(const Held &h)
{
    struct timeval tv = {1, 0};
    return setsockopt(h.connection, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

static long
talk_over_connection(const Held &h)
{
    if (write(h.peer, "ping", 4) != 4)
        return -1;
    struct pollfd p = {h.connection, POLLIN, 0};
    char buf[8];
    if (poll(&p, 1, 1000) != 1 ||
        recv(h.connection, buf, 1, MSG_PEEK | MSG_DONTWAIT) != 1 ||
        read(h.connection, buf, sizeof buf) != 4 ||
        read(h.peer, buf, sizeof buf) != 7)
        return -1;
    if (write(h.connection, "pong", 4) != 4 || shutdown(h.connection, SHUT_WR))
        return -1;
    return 0;
}

static long
send_file_over_connection(const Held &h)
{
    off_t offset = 0;
    return sendfile(h.connection, h.file, &offset, 7) == 7 ? 0 : -1;
}

static long
wait_for_lock(const Held &)
{
    // A process-shared lock's wait, on a word that never changes: it ends
    // by its time-out, which only an allowed wait reaches.
    static int word = 0;
    struct timespec timeout = {0, 1000000};
    long rc = syscall(SYS_futex, &word, FUTEX_WAIT, 0, &timeout, nullptr, 0);
    if (rc == -1 && errno == ETIMEDOUT)
        return syscall(SYS_futex, &word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
    return rc == -1 ? -1 : 0;
}

// Reads the alarm back, as a wait for the log lock does.
static long
read_timer(const Held &)
{
    struct itimerval t;
    return getitimer(ITIMER_REAL, &t);
}

static long
arm_timer(const Held &)
{
    struct itimerval t = {};
    t.it_value.tv_sec = 30;
    if (setitimer(ITIMER_REAL, &t, nullptr) == -1)
        return -1;
    t.it_value.tv_sec = 0;
    return setitimer(ITIMER_REAL, &t, nullptr);
}

static long
tell_time(const Held &)
{
    struct timespec ts;
    return syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
}

static long
exec_program(const Held &)
{
    char *const argv[] = {(char *)"true", nullptr};
    return execv("/bin/true", argv);
}

static long
open_socket(const Held &)
{
    return socket(AF_INET, SOCK_STREAM, 0);
}

static long
open_socket_pair(const Held &)
{
    int sv[2];
    return socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
}

static long
connect_elsewhere(const Held &h)
{
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(1);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(h.connection, (struct sockaddr *)&to, sizeof to);
}

static long
set_other_socket_option(const Held &h)
{
    int on = 1;
    return setsockopt(h.connection, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

static long
open_for_writing(const Held &)
{
    return open("kept", O_WRONLY);
}

static long
open_for_reading_and_writing(const Held &)
{
    return open("kept", O_RDWR);
}

static long
open_creating(const Held &)
{
    return open("new", O_RDONLY | O_CREAT, 0644);
}

static long
open_truncating(const Held &)
{
    return open("kept", O_RDONLY | O_TRUNC);
}

static long
open_appending(const Held &)
{
    return open("kept", O_RDONLY | O_APPEND);
}

static long
open_temporary(const Held &)
{
    return open(".", O_TMPFILE | O_RDWR, 0600);
}

static long
remove_file(const Held &)
{
    return unlink("kept");
}

static long
make_directory(const Held &)
{
    return mkdir("new", 0755);
}

static long
change_file_flags(const Held &h)
{
    return fcntl(h.file, F_SETFL, O_APPEND);
}

static long
fork_process(const Held &)
{
    // Should it fork, the copy must not go on to run the rest.
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    return pid;
}

static long
clone_process(const Held &)
{
    long rc = syscall(SYS_clone, (unsigned long)SIGCHLD, nullptr, nullptr,
                      nullptr, nullptr);
    if (rc == 0)
        _exit(0);
    return rc;
}

static long
signal_parent(const Held &)
{
    // Signal 0 only asks whether the parent may be signalled.
    return kill(getppid(), 0);
}

static long
signal_group(const Held &)
{
    return kill(0, 0);
}

static long
read_parent_memory(const Held &)
{
    static char here[8], there[8];
    struct iovec local = {here, sizeof here};
    struct iovec remote = {there, sizeof there};
    return process_vm_readv(getppid(), &local, 1, &remote, 1, 0);
}

static long
trace_parent(const Held &)
{
    return syscall(SYS_ptrace, 16 /* PTRACE_ATTACH */, getppid(), nullptr,
                   nullptr);
}

static long
map_executable(const Held &)
{
    void *p = mmap(nullptr, 4096, PROT_READ | PROT_EXEC,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? -1 : 0;
}

static long
make_data_executable(const Held &)
{
    static char page[8192];
    void *start = (void *)(((unsigned long)page + 4095) & ~4095ul);
    return mprotect(start, 4096, PROT_READ | PROT_WRITE | PROT_EXEC);
}

static long
requeue_lock_waiters(const Held &)
{
    static int word = 0, other = 0;
    return syscall(SYS_futex, &word, FUTEX_CMP_REQUEUE, 1, 1, &other, 0);
}

static constexpr Attempt attempts[] = {
    {"pread of a held file", read_file, true},
    {"open for reading", open_for_reading, true},
    {"stat and fstat", look_at_file, true},
    {"sendfile", send_file_over_connection, true},
    {"the connection's calls", talk_over_connection, true},
    {"futex wait and wake", wait_for_lock, true},
    {"setitimer", arm_timer, true},
    {"getitimer", read_timer, true},
    {"clock_gettime", tell_time, true},
    {"execve", exec_program, false},
    {"socket", open_socket, false},
    {"socketpair", open_socket_pair, false},
    {"connect", connect_elsewhere, false},
    {"setsockopt SO_KEEPALIVE", set_other_socket_option, false},
    {"setsockopt SO_RCVTIMEO", set_receive_timeout, false},
    {"open O_WRONLY", open_for_writing, false},
    {"open O_RDWR", open_for_reading_and_writing, false},
    {"open O_CREAT", open_creating, false},
    {"open O_TRUNC", open_truncating, false},
    {"open O_APPEND", open_appending, false},
    {"open O_TMPFILE", open_temporary, false},
    {"unlink", remove_file, false},
    {"mkdir", make_directory, false},
    {"fcntl F_SETFL", change_file_flags, false},
    {"fork", fork_process, false},
    {"clone", clone_process, false},
    {"kill of the parent", signal_parent, false},
    {"kill of the group", signal_group, false},
    {"process_vm_readv", read_parent_memory, false},
    {"ptrace", trace_parent, false},
    {"mmap PROT_EXEC", map_executable, false},
    {"mprotect PROT_EXEC", make_data_executable, false},
    {"futex requeue", requeue_lock_waiters, false},
};
constexpr size_t ATTEMPT_COUNT = sizeof attempts / sizeof attempts[0];

class Confine : public ::testing::Test {
  protected:
    void
    SetUp() override
    {
        char tmpl[] = "/tmp/confine_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(getcwd(old_cwd, sizeof old_cwd), old_cwd);
        ASSERT_EQ(chdir(dir.c_str()), 0);
        FILE *fp = fopen("kept", "w");
        ASSERT_NE(fp, nullptr);
        fputs("content", fp);
        fclose(fp);
    }
    void
    TearDown() override
    {
        unlink("kept");
        unlink("new");
        rmdir("new");
        EXPECT_EQ(chdir(old_cwd), 0);
        rmdir(dir.c_str());
    }

    // Runs body in a worker forked by a confined server process, under a
    // supervisor with its arbiter, as the server runs them (or, with
    // arbiter false, as it runs them on a kernel without one); the
    // worker's standard error is a pipe. Returns the worker's wait status and
    // leaves what body wrote to h.results in results, and to standard
    // error in err_text; -1 when the worker could not be started. A
    // worker killed leaves no core file behind.
    int
    run_confined(void (*body)(const Held &h), std::string *results,
                 std::string *err_text = nullptr, bool arbiter = true)
    {
        int out[2], err_pipe[2], status_pipe[2];
        if (pipe(out) == -1 || pipe(err_pipe) == -1 || pipe(status_pipe) == -1)
            return -1;
        pid_t supervisor = fork();
        if (supervisor == 0) {
            close(out[0]);
            close(err_pipe[0]);
            close(status_pipe[0]);
            supervise(body, arbiter, out[1], err_pipe[1], status_pipe[1]);
        }
        close(out[1]);
        close(err_pipe[1]);
        close(status_pipe[1]);
        std::string got[3];
        int from[3] = {out[0], err_pipe[0], status_pipe[0]};
        for (int i = 0; i < 3; i++) {
            char buf[4096];
            ssize_t n;
            while ((n = read(from[i], buf, sizeof buf)) > 0)
                got[i].append(buf, (size_t)n);
            close(from[i]);
        }
        *results = got[0];
        if (err_text != nullptr)
            *err_text = got[1];
        int ended = -1;
        waitpid(supervisor, &ended, 0);
        int status = -1;
        if (!WIFEXITED(ended) || WEXITSTATUS(ended) != 0 ||
            got[2].size() != sizeof status)
            return -1;
        memcpy(&status, got[2].data(), sizeof status);
        return status;
    }

    // The supervisor: readies the confinement, forks the server process
    // and arbitrates its forks. The server process forks one worker and
    // ends; the worker then comes to the supervisor, which waits for it
    // and writes its wait status to status_fd.
    [[noreturn]] static void
    supervise(void (*body)(const Held &h), bool arbiter, int out, int err_fd,
              int status_fd)
    {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        prepare_confinement(arbiter);
        int worker_pipe[2];
        if (pipe(worker_pipe) == -1)
            _exit(1);
        pid_t server = fork();
        if (server == 0) {
            close(worker_pipe[0]);
            serve(body, out, err_fd, worker_pipe[1]);
        }
        close(worker_pipe[1]);
        close(out);
        close(err_fd);
        arbitrate_confinement(server);
        pid_t worker = -1;
        if (read(worker_pipe[0], &worker, sizeof worker) != sizeof worker)
            worker = -1;
        int status = -1;
        waitpid(server, &status, 0);
        if (worker <= 0 || waitpid(worker, &status, 0) != worker)
            _exit(1);
        if (write(status_fd, &status, sizeof status) != sizeof status)
            _exit(1);
        _exit(0);
    }

    // The server process: holds what a worker holds, confines itself and
    // forks the worker that runs body, whose process number it writes to
    // worker_fd.
    [[noreturn]] static void
    serve(void (*body)(const Held &h), int out, int err_fd, int worker_fd)
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == -1)
            _exit(1);
        dup2(err_fd, STDERR_FILENO);
        close(err_fd);
        // As in the server, a write to a closed connection fails.
        signal(SIGPIPE, SIG_IGN);
        struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        Held h = {open("kept", O_RDONLY), sv[0], sv[1], out};
        if (h.file == -1)
            _exit(1);
        confine_server();
        pid_t worker = fork();
        if (worker == 0) {
            if (confine_worker() != 0)
                _exit(125);
            body(h);
            _exit(0);
        }
        if (write(worker_fd, &worker, sizeof worker) != sizeof worker)
            _exit(1);
        _exit(0);
    }

    std::string dir;
    char old_cwd[4096];
};

// Each attempt reports 0 when its call succeeded, else the call's errno,
// as one int each.
static void
try_every_call(const Held &h)
{
    for (const Attempt &a : attempts) {
        errno = 0;
        int error = a.call(h) == -1 ? errno : 0;
        if (write(h.results, &error, sizeof error) != sizeof error)
            _exit(123);
    }
}

// With the arbiter, the server process may fork and its workers may not;
// without it, each worker refuses its own forks. The rest is the same
// either way.
TEST_F(Confine, AllowsServingAndRefusesEverythingElse)
{
    for (bool arbiter : {true, false}) {
        SCOPED_TRACE(arbiter ? "with the arbiter" : "without the arbiter");
        std::string results;
        int status = run_confined(try_every_call, &results, nullptr, arbiter);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        ASSERT_EQ(results.size(), ATTEMPT_COUNT * sizeof(int));
        for (size_t i = 0; i < ATTEMPT_COUNT; i++) {
            SCOPED_TRACE(attempts[i].name);
            int error;
            memcpy(&error, results.data() + i * sizeof error, sizeof error);
            if (attempts[i].allowed)
                EXPECT_EQ(error, 0) << strerror(error);
            else
                EXPECT_EQ(error, EPERM) << strerror(error);
        }
        // Nothing the refused calls named came to be, or went.
        struct stat st;
        EXPECT_EQ(stat("new", &st), -1);
        ASSERT_EQ(stat("kept", &st), 0);
        EXPECT_EQ(st.st_size, 7);
    }
}

// A worker's error paths end in a warning on standard error, and an
// exchange in the log line on standard output: both still get out.
TEST_F(Confine, WarningsAndWritesStillGetOut)
{
    std::string results, err_text;
    int status = run_confined(
        [](const Held &h) {
            errno = EPIPE;
            warn("worker warning");
            if (write(h.results, "line\n", 5) != 5)
                _exit(1);
        },
        &results, &err_text);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(results, "line\n");
    EXPECT_NE(err_text.find("worker warning: Broken pipe"), std::string::npos)
        << err_text;
}

// A worker that tries to change its credentials, or makes a call through
// another architecture's entry, is killed at once; the call does not
// return to it.
TEST_F(Confine, KillsWorkerThatChangesCredentialsOrArchitecture)
{
    struct Case {
        const char *name;
        void (*body)(const Held &);
    };
    const Case cases[] = {
        {"setuid", [](const Held &) { (void)!setuid(65534); }},
        {"setgroups", [](const Held &) { (void)!setgroups(0, nullptr); }},
        // The x32 numbering, told apart by one bit of the call's number.
        {"x32 getpid", [](const Held &) { syscall(0x40000000 | SYS_getpid); }},
    };
    for (bool arbiter : {true, false}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.name);
            SCOPED_TRACE(arbiter ? "with the arbiter" : "without the arbiter");
            std::string results;
            int status = run_confined(c.body, &results, nullptr, arbiter);
            ASSERT_TRUE(WIFSIGNALED(status)) << status;
            EXPECT_EQ(WTERMSIG(status), SIGSYS);
        }
    }
}

#endif
