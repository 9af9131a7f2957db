// The process family: a supervisor that leads the group, the server process
// and one worker per connection, and how each of them ends.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/exchange_util.h"
#include "tests/fault_util.h"
#include "tests/harness.h"

class Signals : public ::testing::Test {
  protected:
    void
    SetUp() override
    {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(make_large_file(dir + "/large", LARGE_FILE_SIZE));
    }
    void
    TearDown() override
    {
        if (client != -1)
            close(client);
        remove_tree(dir);
    }

    // Starts a GET of the large file by a client that then stops reading,
    // so that its worker stays in the middle of the transfer. Leaves the
    // body bytes received so far in received.
    void
    start_slow_transfer(const Server &s)
    {
        client = connect_slow(s.port);
        ASSERT_NE(client, -1);
        ASSERT_TRUE(
            send_all(client, "GET /large HTTP/1.1\r\nUser-Agent: t/1\r\n\r\n"));
        std::string got = read_at_least(client, 1000);
        ASSERT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got;
        received = body_of(got).size();
    }

    // Checks that the group led by the supervisor holds the supervisor,
    // its one child, the server process, and that one's one child, the
    // worker, and nothing else. Returns the server process and the worker.
    void
    expect_family(const Server &s, pid_t *server, pid_t *worker)
    {
        std::vector<ProcessEntry> group = group_processes(s.pid);
        *server = *worker = -1;
        int supervisors = 0, servers = 0;
        for (const ProcessEntry &e : group)
            if (e.pid == s.pid && e.ppid == getpid())
                supervisors++;
            else if (e.ppid == s.pid)
                servers++, *server = e.pid;
        int workers = 0;
        for (const ProcessEntry &e : group)
            if (e.ppid == *server && *server != -1)
                workers++, *worker = e.pid;
        // The tests send signals only to a supervisor that leads a group
        // of its own: any other would forward them to this test too.
        ASSERT_EQ(supervisors, 1);
        ASSERT_EQ(servers, 1);
        ASSERT_EQ(workers, 1);
        ASSERT_EQ(group.size(), 3u);
        for (const ProcessEntry &e : group)
            EXPECT_NE(e.state, 'Z') << e.pid;
    }

    std::string dir;
    int client = -1;
    size_t received = 0;
};

// So too when whoever started the server left those signals blocked: a
// signal mask survives exec, and every process would inherit it.
TEST_F(Signals, EachTerminationSignalToTheSupervisorEndsTheWholeGroup)
{
    for (bool blocked : {false, true})
        for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
            SCOPED_TRACE(std::string(strsignal(sig)) +
                         (blocked ? ", blocked by the caller" : ""));
            Server s;
            ASSERT_TRUE(start_prepared(s, server_command(dir), [blocked] {
                sigset_t set;
                sigemptyset(&set);
                for (int caught : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCHLD})
                    sigaddset(&set, caught);
                if (blocked)
                    sigprocmask(SIG_BLOCK, &set, nullptr);
            })) << s.err;
            ASSERT_NO_FATAL_FAILURE(start_slow_transfer(s));
            pid_t server, worker;
            ASSERT_NO_FATAL_FAILURE(expect_family(s, &server, &worker));

            ASSERT_EQ(kill(s.pid, sig), 0);
            int status = s.wait_exit();
            ASSERT_NE(status, -1) << "the supervisor did not end";
            EXPECT_TRUE(WIFEXITED(status)) << status;
            EXPECT_EQ(WEXITSTATUS(status), 1);
            EXPECT_EQ(wait_processes_ended({server, worker}),
                      std::vector<pid_t>{});

            // The transfer stopped short, and nothing was logged: standard
            // output ends, every writer gone, with the banner alone.
            EXPECT_LT(received + read_all(client).size(),
                      (size_t)LARGE_FILE_SIZE);
            close(client);
            client = -1;
            EXPECT_FALSE(s.wait_lines(2));
            EXPECT_LT(s.out_fd, 0) << "standard output is still open";
            EXPECT_EQ(s.log_lines(), std::vector<std::string>{}) << s.out;
        }
}

TEST_F(Signals, TermToTheServerProcessAloneLetsTheRunningWorkerFinish)
{
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    ASSERT_NO_FATAL_FAILURE(start_slow_transfer(s));
    pid_t server, worker;
    ASSERT_NO_FATAL_FAILURE(expect_family(s, &server, &worker));

    ASSERT_EQ(kill(server, SIGTERM), 0);
    // The supervisor ends by itself, with the signal that ended its child,
    // while the transfer is still held back by this client.
    int status = s.wait_exit();
    ASSERT_NE(status, -1) << "the supervisor did not end";
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    EXPECT_FALSE(process_ended(worker));
    int fd = connect_to(s.port);
    int error = errno;
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(error, ECONNREFUSED) << strerror(error);

    EXPECT_EQ(received + read_all(client).size(), (size_t)LARGE_FILE_SIZE);
    ASSERT_TRUE(s.wait_lines(2)) << s.out;
    EXPECT_EQ(s.log_lines(), std::vector<std::string>{log_line(
                                 std::to_string(LARGE_FILE_SIZE), "127.0.0.1",
                                 "200", "t/1", "/large")});
    EXPECT_EQ(wait_processes_ended({worker}), std::vector<pid_t>{});
}

// Where the supervisor is the reaper of orphans, as PID 1 of a container
// is, the worker that outlives the server process becomes its child. The
// supervisor waits for it, so that the container lives until the
// transfer is done, and then still ends with the server process's status,
// not the worker's.
TEST_F(Signals, AReapingSupervisorWaitsForOrphanedWorkersAndKeepsTheStatus)
{
    Server s;
    ASSERT_TRUE(start_prepared(s, server_command(dir), [] {
        if (prctl(PR_SET_CHILD_SUBREAPER, 1) == -1)
            _exit(126);
    })) << s.err;
    ASSERT_NO_FATAL_FAILURE(start_slow_transfer(s));
    pid_t server, worker;
    ASSERT_NO_FATAL_FAILURE(expect_family(s, &server, &worker));

    ASSERT_EQ(kill(server, SIGTERM), 0);
    ProcessEntry e;
    for (int i = 0; i < 1000 && !(read_process(worker, &e) && e.ppid == s.pid);
         i++)
        usleep(10000);
    ASSERT_EQ(e.ppid, s.pid) << "the worker was not handed to the supervisor";
    EXPECT_FALSE(process_ended(s.pid));

    EXPECT_EQ(received + read_all(client).size(), (size_t)LARGE_FILE_SIZE);
    int status = s.wait_exit();
    ASSERT_NE(status, -1) << "the supervisor did not end";
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    ASSERT_TRUE(s.wait_lines(2)) << s.out;
    EXPECT_EQ(s.log_lines(), std::vector<std::string>{log_line(
                                 std::to_string(LARGE_FILE_SIZE), "127.0.0.1",
                                 "200", "t/1", "/large")});
}

// Waits until pid is in state, as /proc shows it; false after ten seconds.
static bool
wait_state(pid_t pid, char state)
{
    for (int i = 0; i < 1000; i++) {
        ProcessEntry e;
        if (read_process(pid, &e) && e.state == state)
            return true;
        usleep(10000);
    }
    return false;
}

// Stops pid while it waits in a system call, then lets it go on, as a
// terminal's Ctrl-Z and fg do.
static void
stop_and_continue(pid_t pid)
{
    ASSERT_TRUE(wait_state(pid, 'S'));
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    ASSERT_TRUE(wait_state(pid, 'T'));
    ASSERT_EQ(kill(pid, SIGCONT), 0);
}

// On Linux a socket call with a time-out that is stopped and continued
// fails with EINTR. The worker makes the call again, so that neither a
// head half received nor a body half sent is lost to it.
TEST_F(Signals, StoppingAndContinuingAWorkerLosesNothing)
{
    Server s;
    ASSERT_TRUE(start_server_on(s, dir)) << s.err;
    pid_t server, worker;

    client = connect_to(s.port);
    ASSERT_NE(client, -1);
    ASSERT_TRUE(send_all(client, "HEAD /large HTTP/1.1\r\n"));
    // The worker is forked once the connection is accepted.
    for (int i = 0; i < 1000 && group_processes(s.pid).size() < 3; i++)
        usleep(10000);
    ASSERT_NO_FATAL_FAILURE(expect_family(s, &server, &worker));
    for (int i = 0; i < 2; i++)
        ASSERT_NO_FATAL_FAILURE(stop_and_continue(worker));
    ASSERT_TRUE(send_all(client, "User-Agent: t/1\r\n\r\n"));
    std::string response = read_all(client);
    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
    close(client);
    client = -1;
    ASSERT_TRUE(s.wait_lines(2)) << s.out;
    EXPECT_EQ(wait_processes_ended({worker}), std::vector<pid_t>{});

    // Each stop lands in a write that waits for room: the first may have
    // sent part of its bytes already, the next has sent none.
    ASSERT_NO_FATAL_FAILURE(start_slow_transfer(s));
    ASSERT_NO_FATAL_FAILURE(expect_family(s, &server, &worker));
    for (int i = 0; i < 3; i++)
        ASSERT_NO_FATAL_FAILURE(stop_and_continue(worker));
    EXPECT_EQ(received + read_all(client).size(), (size_t)LARGE_FILE_SIZE);

    ASSERT_TRUE(s.wait_lines(3)) << s.out;
    EXPECT_EQ(s.log_lines(),
              (std::vector<std::string>{
                  log_line("0", "127.0.0.1", "200", "t/1", "/large"),
                  log_line(std::to_string(LARGE_FILE_SIZE), "127.0.0.1", "200",
                           "t/1", "/large")}));
}

TEST_F(Signals, UnusableDirectoryEndsTheCommandWithStatusOne)
{
    std::string missing = dir + "/missing";
    ::Run r = run_binary(
        {"-d", missing, "-l", "127.0.0.1", std::to_string(free_port())});
    EXPECT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("chdir '" + missing + "': No such file or directory"),
              std::string::npos)
        << r.err;
}

// As PID 1 of a namespace of its own, the supervisor adopts every orphan
// there, such as a command an operator ran in the container that left a
// process behind. It waits only for its own group, the server process
// and the workers: when the server process ends, so does the supervisor,
// and the container with it, however long the stray would live.
TEST_F(Signals, AsPidOneTheSupervisorDoesNotWaitForStrays)
{
    Server s;
    std::vector<std::string> argv = {"unshare", "-fp", "--mount-proc",
                                     "--kill-child"};
    for (const std::string &a : server_command(dir))
        argv.push_back(a);
    ASSERT_TRUE(start_prepared(s, argv, nullptr)) << s.err;
    std::vector<pid_t> below = children_of(s.pid);
    ASSERT_EQ(below.size(), 1u);
    pid_t supervisor = below[0];
    std::vector<pid_t> servers = children_of(supervisor);
    ASSERT_EQ(servers.size(), 1u);

    // A shell entered into the namespace leaves a sleep behind, which
    // PID 1 adopts.
    std::string enter = "nsenter -t " + std::to_string(supervisor) +
                        " -p -m sh -c 'sleep 120 & exit 0' </dev/null "
                        ">/dev/null 2>&1";
    ASSERT_EQ(system(enter.c_str()), 0);
    pid_t stray = -1;
    long long deadline = now_ms() + 10000;
    while (stray == -1 && now_ms() < deadline) {
        for (pid_t child : children_of(supervisor))
            if (child != servers[0])
                stray = child;
        if (stray == -1)
            usleep(10000);
    }
    ASSERT_NE(stray, -1) << "no stray was handed to the supervisor";

    ASSERT_EQ(kill(servers[0], SIGTERM), 0);
    // The stray lives two minutes; the supervisor must not wait for it.
    int status = s.wait_exit(60000);
    ASSERT_NE(status, -1) << "the supervisor waited for the stray";
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
}
