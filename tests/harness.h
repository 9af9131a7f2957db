// Starting the real binary and talking to it over loopback TCP.
#ifndef CORVANSEL_TESTS_HARNESS_H
#define CORVANSEL_TESTS_HARNESS_H

#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A run of the binary that ends by itself (command-line cases), after
// prepare, if any, has run in the child.
struct Run {
    int status; // as waitpid reports it
    std::string out, err;
};
Run run_binary(const std::vector<std::string> &args, int timeout_ms = 10000,
               const std::function<void()> &prepare = nullptr);

// A started server: the supervisor's pid (which leads its own process
// group) and pipes from its standard output and standard error.
struct Server {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    int port = 0;
    std::string out; // everything read from standard output so far
    std::string err; // everything read from standard error so far
    int status = -1; // wait status once it has ended

    Server() = default;
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    // Kills whatever is left of the process group.
    ~Server();

    // Reads standard output until it holds n lines or timeout_ms passes;
    // returns true when n lines arrived.
    bool wait_lines(size_t n, int timeout_ms = 10000);
    // The lines of standard output after the banner.
    std::vector<std::string> log_lines() const;
    // Sends sig to the supervisor and waits for it to end; returns the wait
    // status. Every process of the group is killed afterwards.
    int stop(int sig = SIGTERM);
    // Waits for the supervisor to end by itself; returns the wait status,
    // or -1 on time-out.
    int wait_exit(int timeout_ms = 10000);
    void close_pipes();
    // Drains standard error into err, waiting at most timeout_ms for more.
    void read_err(int timeout_ms = 0);
};

// A loopback TCP port that nothing listens on right now.
int free_port(int family = AF_INET);

// Starts the binary with args (the port is not added) and waits for its
// banner line. Returns false if the banner did not come.
bool start_server(Server &s, const std::vector<std::string> &args,
                  int timeout_ms = 10000);
// Starts the binary serving dir on 127.0.0.1 and a free port.
bool start_server_on(Server &s, const std::string &dir,
                     const std::string &host = "127.0.0.1");
// Starts argv (the program first) with its output on the pipes of s, after
// prepare has run in the child, and waits for the banner. argv must end
// with the port, which this fills in: a free one, tried a few times.
bool start_prepared(Server &s, std::vector<std::string> argv,
                    const std::function<void()> &prepare,
                    int timeout_ms = 10000);

// Connects to host:port over loopback; returns the descriptor or -1.
int connect_to(int port, const char *host = "127.0.0.1");
// Connects like connect_to with a small receive buffer, set before connect
// so that the window the server sees is small from the start: a client
// that stops reading holds a large response back after a few kilobytes.
int connect_slow(int port, const char *host = "127.0.0.1");
// Sends all of text, without SIGPIPE on a closed connection; returns false
// when a send failed.
bool send_all(int fd, const std::string &text);
// Sends request and reads the response until the server closes.
std::string exchange(int port, const std::string &request,
                     const char *host = "127.0.0.1");
// Reads from fd until end of stream, error or timeout_ms without data.
std::string read_all(int fd, int timeout_ms = 10000);
// Reads from fd into text until end of stream; returns false when an error
// or timeout_ms without data came first.
bool read_to_end(int fd, std::string &text, int timeout_ms = 10000);

// The monotonic clock in milliseconds, for deadlines.
long long now_ms();

// The children of pid, as the kernel lists them.
std::vector<pid_t> children_of(pid_t pid);
// The server process: the one child of the supervisor s.pid, or -1.
pid_t server_process(const Server &s);
// How many of pid's open descriptors are sockets, or -1.
int count_sockets(pid_t pid);
// Waits up to ten seconds for pid to hold exactly want sockets and returns
// how many it holds then. A client can have its answer before the server
// process, slowed by a busy machine, has closed its copy of the connection
// after the fork.
int settled_socket_count(pid_t pid, int want);

// Makes a fresh directory for a test, removed recursively by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &path);
void write_file(const std::string &path, const std::string &content);

#endif
