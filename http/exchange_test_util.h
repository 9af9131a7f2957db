// Helpers of the http unit tests that drive a responding call through a
// socketpair: reading the client's end, running the call with the clock
// read around it, and checking the Date line of what came back.
#ifndef CORVANSEL_HTTP_EXCHANGE_TEST_UTIL_H
#define CORVANSEL_HTTP_EXCHANGE_TEST_UTIL_H

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "http/date.h"
#include "http/request.h"

// The modification time test files get unless a test asks for another:
// Sun, 06 Nov 1994 08:49:37 GMT.
constexpr time_t FILE_MTIME = 784111777;

// Writes content to path and sets its access and modification times.
inline void
write_file(const char *path, const std::string &content,
           time_t mtime = FILE_MTIME)
{
    FILE *fp = fopen(path, "w");
    ASSERT_NE(fp, nullptr) << path;
    ASSERT_EQ(fwrite(content.data(), 1, content.size(), fp), content.size());
    ASSERT_EQ(fclose(fp), 0);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path, times, 0), 0) << path;
}

// Everything read from fd until end of stream or an error (a reset too).
inline std::string
read_all(int fd)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, (size_t)n);
    return out;
}

// What a client saw: the result of the call, the bytes it read, and the
// clock around the call so that the Date line can be checked.
struct Answer {
    Status status;
    std::string response;
    time_t before, after;
};

// Runs call, which writes its response to the descriptor it is given and
// returns the Status it sent, on one end of a socketpair while a thread
// reads the other end, so that no body is too large for the socket buffer.
template <typename Call>
Answer
answer_of(Call call)
{
    Answer a{};
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == -1) {
        ADD_FAILURE() << "socketpair: " << strerror(errno);
        return a;
    }
    std::string response;
    std::thread reader([&] { response = read_all(sv[1]); });
    a.before = time(nullptr);
    a.status = call(sv[0]);
    a.after = time(nullptr);
    close(sv[0]);
    reader.join();
    close(sv[1]);
    a.response = response;
    return a;
}

// The response with the value of its Date line replaced by "<date>", after
// checking that the value is an HTTP date taken during the call.
inline std::string
mask_date(const Answer &a)
{
    constexpr char key[] = "\r\nDate: ";
    std::string s = a.response;
    size_t at = s.find(key);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no Date line in: " << s;
        return s;
    }
    at += sizeof key - 1;
    std::string date = s.substr(at, HTTP_DATE_SIZE - 1);
    struct tm tm = {};
    const char *end = strptime(date.c_str(), "%a, %d %b %Y %T GMT", &tm);
    EXPECT_TRUE(end != nullptr && *end == '\0') << date;
    time_t t = timegm(&tm);
    HttpDate again;
    EXPECT_EQ(date, format_http_date(t, again));
    EXPECT_GE(t, a.before);
    EXPECT_LE(t, a.after);
    return s.replace(at, date.size(), "<date>");
}

// The status-only response for status, as mask_date leaves it.
inline std::string
status_response(Status status)
{
    std::string text = status_text[status];
    std::string code = std::to_string(status);
    return "HTTP/1.1 " + code + " " + text +
           "\r\nDate: <date>\r\nConnection: close\r\n"
           "Content-Type: text/plain\r\n\r\n" +
           code + " " + text + "\n";
}

// A fresh temporary directory, entered for the test and removed with
// everything in it after the test. It is searchable by everyone, so that a
// test may drop to an unprivileged user inside it.
class TempDirTest : public ::testing::Test {
  protected:
    void
    SetUp() override
    {
        ASSERT_NE(getcwd(saved_cwd, sizeof saved_cwd), nullptr);
        snprintf(root, sizeof root, "/tmp/corvansel-test-XXXXXX");
        ASSERT_NE(mkdtemp(root), nullptr);
        ASSERT_EQ(chmod(root, 0755), 0);
        ASSERT_EQ(chdir(root), 0);
    }

    void
    TearDown() override
    {
        EXPECT_EQ(chdir(saved_cwd), 0);
        EXPECT_EQ(nftw(
                      root,
                      [](const char *path, const struct stat *, int,
                         struct FTW *) { return remove(path); },
                      16, FTW_DEPTH | FTW_PHYS),
                  0);
    }

    char saved_cwd[PATH_MAX];
    char root[64];
};

#endif
