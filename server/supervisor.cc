// The supervisor and the two signal routines.
#include "server/supervisor.h"

#include <err.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "compat/confine.h"

static constexpr int termination_signal[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

static void
set_termination_action(void (*handler)(int))
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    for (int sig : termination_signal)
        sigaction(sig, &sa, nullptr);
}

void
forward_signal(int sig)
{
    kill(0, sig);
    _exit(1);
}

void
reset_signal_handlers()
{
    set_termination_action(SIG_DFL);
}

void
run_supervisor()
{
    setpgid(0, 0);
    set_termination_action(forward_signal);
    pid_t pid = fork();
    if (pid == 0)
        return;
    if (pid == -1) {
        warn("fork");
        exit(1);
    }
    arbitrate_confinement(pid);
    // Report how the server process ended, so that a failed start-up is
    // not taken for success by whoever started us. When the supervisor is
    // the reaper of orphans (PID 1 in a container), the workers that
    // outlive the server process become its children: it waits for them
    // too, so their transfers finish, but their statuses say nothing of
    // the server's. Only its own process group counts, where the server
    // process and every worker are: an orphan of some other program (a
    // command run inside the container) is reaped when it ends, but never
    // waited for, or the container would outlive its server for as long
    // as that stray lives.
    int status = 0;
    for (;;) {
        siginfo_t info;
        if (waitid(P_PGID, (id_t)getpgrp(), &info,
                   WEXITED | WNOHANG | WNOWAIT) == -1 &&
            errno == ECHILD)
            break;
        int child_status;
        pid_t done = waitpid(-1, &child_status, 0);
        if (done == pid)
            status = child_status;
        if (done == -1 && errno != EINTR)
            break;
    }
    if (WIFSIGNALED(status))
        exit(128 + WTERMSIG(status));
    exit(WEXITSTATUS(status));
}
