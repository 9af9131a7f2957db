// The supervisor: the process the user starts, which forks the server
// process and passes the termination signals on to the whole group.
#ifndef CORVANSEL_SERVER_SUPERVISOR_H
#define CORVANSEL_SERVER_SUPERVISOR_H

// Makes the caller a process group leader, forwards SIGTERM, SIGHUP, SIGINT
// and SIGQUIT to the group and forks the server process. Returns only in
// the server process; the supervisor waits for it and exits with its exit
// status, 128 + the signal that ended it, or 1 when the fork failed.
void run_supervisor();

// The supervisor's handler: sends sig to the whole group and ends with 1.
void forward_signal(int sig);

// Puts the four termination signals back to their default action.
void reset_signal_handlers();

#endif
