// The black-box test harness: processes, pipes and sockets.
#include "tests/harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

long long
now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// The binary's command line with args.
static std::vector<std::string>
binary_command(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {CORVANSEL_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Starts argv (the program first, looked up in PATH when it has no "/")
// with its standard output and error on pipes, after prepare, if any, has
// run in the child.
static pid_t
spawn(const std::vector<std::string> &argv, int *out_fd, int *err_fd,
      const std::function<void()> &prepare = nullptr)
{
    int out[2], errp[2];
    if (pipe2(out, O_CLOEXEC) == -1 || pipe2(errp, O_CLOEXEC) == -1)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(errp[1], STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        if (prepare)
            prepare();
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(errp[1]);
    *out_fd = out[0];
    *err_fd = errp[0];
    return pid;
}

// Appends what fd has to text, waiting at most timeout_ms for the first
// bytes. Returns false at end of stream.
static bool
drain(int fd, std::string &text, int timeout_ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return true;
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
        return false;
    text.append(buf, (size_t)n);
    return true;
}

Run
run_binary(const std::vector<std::string> &args, int timeout_ms,
           const std::function<void()> &prepare)
{
    Run r{-1, "", ""};
    int out_fd, err_fd;
    pid_t pid = spawn(binary_command(args), &out_fd, &err_fd, prepare);
    long long deadline = now_ms() + timeout_ms;
    bool out_open = true, err_open = true;
    while ((out_open || err_open) && now_ms() < deadline) {
        if (out_open)
            out_open = drain(out_fd, r.out, 10);
        if (err_open)
            err_open = drain(err_fd, r.err, 10);
    }
    close(out_fd);
    close(err_fd);
    if (out_open || err_open)
        kill(-pid, SIGKILL), kill(pid, SIGKILL);
    waitpid(pid, &r.status, 0);
    return r;
}

Server::~Server()
{
    if (pid > 0) {
        kill(-pid, SIGKILL);
        if (status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }
    close_pipes();
}

void
Server::close_pipes()
{
    if (out_fd >= 0)
        close(out_fd);
    if (err_fd >= 0)
        close(err_fd);
    out_fd = err_fd = -1;
}

bool
Server::wait_lines(size_t n, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        size_t lines = 0;
        for (char c : out)
            lines += c == '\n';
        if (lines >= n)
            return true;
        long long left = deadline - now_ms();
        if (left <= 0 || out_fd < 0)
            return false;
        if (!drain(out_fd, out, (int)left)) {
            close(out_fd);
            out_fd = -1;
        }
    }
}

std::vector<std::string>
Server::log_lines() const
{
    std::vector<std::string> lines;
    size_t start = out.find('\n');
    if (start == std::string::npos)
        return lines;
    for (size_t pos = start + 1; pos < out.size();) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos)
            break;
        lines.push_back(out.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

int
Server::wait_exit(int timeout_ms)
{
    if (status != -1)
        return status;
    long long deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid) {
            status = st;
            return status;
        }
        if (out_fd >= 0 && !drain(out_fd, out, 5)) {
            close(out_fd);
            out_fd = -1;
        }
        if (err_fd >= 0 && !drain(err_fd, err, 5)) {
            close(err_fd);
            err_fd = -1;
        }
        if (out_fd < 0 && err_fd < 0)
            usleep(5000);
    }
    return -1;
}

int
Server::stop(int sig)
{
    // Without a started supervisor, kill would take -1 for "every process".
    if (pid <= 0)
        return -1;
    // Once reaped, the pid may belong to another process.
    if (status == -1)
        kill(pid, sig);
    int st = wait_exit();
    kill(-pid, SIGKILL);
    return st;
}

void
Server::read_err(int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    do {
        if (err_fd < 0)
            return;
        size_t before = err.size();
        if (!drain(err_fd, err, (int)std::max(0LL, deadline - now_ms()))) {
            close(err_fd);
            err_fd = -1;
            return;
        }
        if (err.size() == before && now_ms() >= deadline)
            return;
    } while (now_ms() < deadline);
}

int
free_port(int family)
{
    int fd = socket(family, SOCK_STREAM, 0);
    struct sockaddr_storage ss = {};
    socklen_t len;
    if (family == AF_INET6) {
        auto *a = reinterpret_cast<struct sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<struct sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a;
    }
    int port = 0;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&ss), len) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&ss), &len) == 0)
        port =
            family == AF_INET6
                ? ntohs(reinterpret_cast<struct sockaddr_in6 *>(&ss)->sin6_port)
                : ntohs(reinterpret_cast<struct sockaddr_in *>(&ss)->sin_port);
    close(fd);
    return port;
}

// Starts argv with prepare and waits for the banner.
static bool
start_command(Server &s, const std::vector<std::string> &argv,
              const std::function<void()> &prepare, int timeout_ms)
{
    s.pid = spawn(argv, &s.out_fd, &s.err_fd, prepare);
    if (s.pid <= 0)
        return false;
    if (!s.wait_lines(1, timeout_ms))
        return false;
    return s.out.rfind("Listening on", 0) == 0;
}

bool
start_server(Server &s, const std::vector<std::string> &args, int timeout_ms)
{
    return start_command(s, binary_command(args), nullptr, timeout_ms);
}

// Starts argv, whose last element is the port, on a free port of family.
static bool
start_on_free_port(Server &s, std::vector<std::string> argv, int family,
                   const std::function<void()> &prepare, int timeout_ms)
{
    // A port found free can be taken by another test before the server
    // binds it; try a few.
    for (int attempt = 0; attempt < 5; attempt++) {
        int port = free_port(family);
        argv.back() = std::to_string(port);
        if (start_command(s, argv, prepare, timeout_ms)) {
            s.port = port;
            return true;
        }
        s.stop(SIGKILL);
        s.close_pipes();
        // That supervisor is reaped: its pid may be reused by now.
        s.pid = -1;
        s.status = -1;
        s.out.clear();
        s.err.clear();
    }
    return false;
}

bool
start_server_on(Server &s, const std::string &dir, const std::string &host)
{
    int family = host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    return start_on_free_port(s, binary_command({"-d", dir, "-l", host, "0"}),
                              family, nullptr, 10000);
}

bool
start_prepared(Server &s, std::vector<std::string> argv,
               const std::function<void()> &prepare, int timeout_ms)
{
    return start_on_free_port(s, std::move(argv), AF_INET, prepare, timeout_ms);
}

// Connects to host:port, with a receive buffer of rcvbuf bytes set before
// connect unless rcvbuf is 0.
static int
connect_with(int port, const char *host, int rcvbuf)
{
    struct sockaddr_storage ss = {};
    socklen_t len;
    int family = strchr(host, ':') != nullptr ? AF_INET6 : AF_INET;
    if (family == AF_INET6) {
        auto *a = reinterpret_cast<struct sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons((uint16_t)port);
        inet_pton(AF_INET6, host, &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<struct sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons((uint16_t)port);
        inet_pton(AF_INET, host, &a->sin_addr);
        len = sizeof *a;
    }
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    if (rcvbuf != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&ss), len) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

int
connect_to(int port, const char *host)
{
    return connect_with(port, host, 0);
}

int
connect_slow(int port, const char *host)
{
    constexpr int SLOW_CLIENT_RCVBUF = 4096;
    return connect_with(port, host, SLOW_CLIENT_RCVBUF);
}

bool
send_all(int fd, const std::string &text)
{
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n =
            send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += (size_t)n;
    }
    return true;
}

std::string
read_all(int fd, int timeout_ms)
{
    std::string text;
    size_t before;
    do {
        before = text.size();
    } while (drain(fd, text, timeout_ms) && text.size() > before);
    return text;
}

bool
read_to_end(int fd, std::string &text, int timeout_ms)
{
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0)
            return false;
        text.append(buf, (size_t)n);
    }
}

std::vector<pid_t>
children_of(pid_t pid)
{
    std::vector<pid_t> children;
    std::string path = "/proc/" + std::to_string(pid) + "/task/" +
                       std::to_string(pid) + "/children";
    FILE *fp = fopen(path.c_str(), "r");
    if (fp == nullptr)
        return children;
    int child;
    while (fscanf(fp, "%d", &child) == 1)
        children.push_back(child);
    fclose(fp);
    return children;
}

pid_t
server_process(const Server &s)
{
    // The supervisor forks the server process before it prints anything,
    // so once the banner came the child is listed.
    std::vector<pid_t> children = children_of(s.pid);
    return children.size() == 1 ? children[0] : -1;
}

int
count_sockets(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d)) {
        char target[256];
        std::string link = dir + "/" + e->d_name;
        ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
        if (len <= 0)
            continue;
        target[len] = '\0';
        n += strncmp(target, "socket:", 7) == 0;
    }
    closedir(d);
    return n;
}

int
settled_socket_count(pid_t pid, int want)
{
    long long settled = now_ms() + 10000;
    int n = count_sockets(pid);
    while (n != want && now_ms() < settled) {
        usleep(1000);
        n = count_sockets(pid);
    }
    return n;
}

std::string
exchange(int port, const std::string &request, const char *host)
{
    int fd = connect_to(port, host);
    if (fd == -1)
        return "";
    // A server that closes before the whole request is sent may still
    // have answered: read it all the same.
    send_all(fd, request);
    std::string response = read_all(fd);
    close(fd);
    return response;
}

std::string
make_temp_dir()
{
    char tmpl[] = "/tmp/corvansel-test-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    return dir != nullptr ? dir : "";
}

void
remove_tree(const std::string &path)
{
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
            return remove(p);
        },
        16, FTW_DEPTH | FTW_PHYS);
}

void
write_file(const std::string &path, const std::string &content)
{
    FILE *fp = fopen(path.c_str(), "w");
    if (fp == nullptr)
        return;
    fwrite(content.data(), 1, content.size(), fp);
    fclose(fp);
}
