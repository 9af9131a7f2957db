// Target normalisation and the evaluation of a request against a small
// served directory: what a client reads back for each target and field.
#include "http/evaluate.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compat/compat.h"
#include "http/date.h"
#include "http/exchange_test_util.h"
#include "http/request.h"

constexpr char FILE_CONTENT[] = "0123456789";

static Request
make_request(const char *target, const char *range = "", const char *since = "",
             Method method = METHOD_GET)
{
    Request r;
    memset(&r, 0, sizeof r);
    r.method = method;
    snprintf(r.target, sizeof r.target, "%s", target);
    snprintf(r.field[FIELD_RANGE], sizeof r.field[FIELD_RANGE], "%s", range);
    snprintf(r.field[FIELD_IF_MODIFIED_SINCE],
             sizeof r.field[FIELD_IF_MODIFIED_SINCE], "%s", since);
    return r;
}

// Runs evaluate_request for r against a client that reads all it sends.
static Answer
ask(Request *r)
{
    return answer_of([r](int fd) { return evaluate_request(fd, r); });
}

static std::string
file_response(Status status, const std::string &content_range,
              const std::string &body, time_t mtime = FILE_MTIME)
{
    HttpDate modified;
    std::string s = "HTTP/1.1 " + std::to_string(status) + " " +
                    status_text[status] +
                    "\r\nDate: <date>\r\nConnection: close\r\nLast-Modified: " +
                    format_http_date(mtime, modified) +
                    "\r\nContent-Type: application/octet-stream\r\n"
                    "Content-Length: " +
                    std::to_string(body.size()) + "\r\n";
    if (!content_range.empty())
        s += "Content-Range: bytes " + content_range + "\r\n";
    return s + "\r\n" + body;
}

static std::string
range_not_satisfiable(long long size)
{
    return "HTTP/1.1 416 Range Not Satisfiable\r\nDate: <date>\r\n"
           "Content-Range: bytes */" +
           std::to_string(size) + "\r\nConnection: close\r\n\r\n";
}

constexpr char NOT_MODIFIED[] =
    "HTTP/1.1 304 Not Modified\r\nDate: <date>\r\nConnection: close\r\n\r\n";

TEST(NormalizePath, FollowsTheSegmentRules)
{
    struct Case {
        const char *in, *out;
    };
    constexpr Case cases[] = {
        {"/", "/"},
        {"//", "/"},
        {"///a///", "/a/"},
        {"/a//b", "/a/b"},
        {"/./a", "/a"},
        {"/a/./b", "/a/b"},
        {"/a/../b", "/b"},
        {"/../a", "/a"},
        {"/a/b/..", "/a/"},
        {"/a/b/../", "/a/"},
        {"/a/..", "/"},
        {"/a/b/../../..", "/"},
        {"/..", "/"},
        {"/.", "/"},
        {"/a/.", "/a/"},
        {"/a/b/c/../../d", "/a/d"},
        {"/a/./../b", "/b"},
        {"/a//..//b", "/b"},
        {"/a/b/../c/./d/", "/a/c/d/"},
        {"/abc/de/../../fg", "/fg"},
        {"/...", "/..."},
        {"/a/.../..", "/a/"},
        {"/a/.b", "/a/.b"},
        {"/a/..b", "/a/..b"},
        {"/a./b", "/a./b"},
        {"/a../b..", "/a../b.."},
        {"/a.b/..", "/"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        char path[TARGET_MAX];
        snprintf(path, sizeof path, "%s", c.in);
        normalize_path(path);
        EXPECT_STREQ(path, c.out);
    }
}

// A plain model of the rules: a stack of names, with a trailing "/" when
// the last segment was dropped.
static std::string
normalize_model(const std::string &path)
{
    std::vector<std::string> names;
    bool dropped_last = false;
    size_t start = 1;
    for (;;) {
        size_t slash = path.find('/', start);
        std::string seg =
            path.substr(start, slash == std::string::npos ? std::string::npos
                                                          : slash - start);
        dropped_last = seg.empty() || seg == "." || seg == "..";
        if (seg == "..") {
            if (!names.empty())
                names.pop_back();
        } else if (!dropped_last) {
            names.push_back(seg);
        }
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    std::string out = "/";
    for (size_t i = 0; i < names.size(); i++)
        out += names[i] + (i + 1 < names.size() ? "/" : "");
    if (dropped_last && !names.empty())
        out += "/";
    return out;
}

TEST(NormalizePath, HoldsItsPropertiesOverGeneratedPaths)
{
    constexpr const char *pieces[] = {"",   ".",  "..", "...", "a",  "b",
                                      "cd", ".a", "a.", "..b", "x.."};
    std::mt19937 gen(20240604);
    std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
    std::uniform_int_distribution<int> count(0, 14);
    for (int round = 0; round < 20000; round++) {
        std::string in = "/";
        for (int n = count(gen); n > 0; n--)
            in += std::string(pieces[pick(gen)]) + (n > 1 ? "/" : "");
        SCOPED_TRACE(in);

        // The bytes past the terminating zero must stay as they were.
        char path[TARGET_MAX];
        memset(path, '#', sizeof path);
        memcpy(path, in.c_str(), in.size() + 1);
        normalize_path(path);
        std::string out = path;
        for (size_t i = in.size() + 1; i < sizeof path; i++)
            ASSERT_EQ(path[i], '#');

        ASSERT_EQ(out[0], '/');
        ASSERT_LE(out.size(), in.size());
        std::string inner = out.substr(1);
        if (!inner.empty() && inner.back() == '/')
            inner.pop_back();
        if (!inner.empty()) {
            std::string padded = "/" + inner + "/";
            ASSERT_EQ(padded.find("//"), std::string::npos);
            ASSERT_EQ(padded.find("/./"), std::string::npos);
            ASSERT_EQ(padded.find("/../"), std::string::npos);
        }
        ASSERT_EQ(out, normalize_model(in));

        normalize_path(path);
        ASSERT_EQ(std::string(path), out);
    }
}

// A served directory "served" inside a fresh temporary directory, which
// also holds a file outside the served one; the test runs inside it.
class Evaluate : public TempDirTest {
  protected:
    void
    SetUp() override
    {
        TempDirTest::SetUp();
        if (HasFatalFailure())
            return;
        write_file("outside.txt", "outside");
        ASSERT_EQ(mkdir("served", 0755), 0);
        ASSERT_EQ(chdir("served"), 0);

        write_file("f.txt", FILE_CONTENT);
        write_file("empty", "");
        write_file(".hidden", "hidden");
        ASSERT_EQ(mkdir("dir", 0755), 0);
        write_file("dir/inner.txt", "inner");
        write_file("dir/.hidden", "hidden");
        ASSERT_EQ(mkdir("a.", 0755), 0);
        write_file("a./b", "dotted");
        write_file("q.txt?x=1", "query");
        ASSERT_EQ(symlink("f.txt", "link"), 0);
        ASSERT_EQ(symlink("dir", "dirlink"), 0);
    }
};

TEST_F(Evaluate, ResolvesTargetsInsideTheServedDirectory)
{
    struct Case {
        const char *target;
        Status status;
        const char *body; // for 200
    };
    const Case cases[] = {
        {"/f.txt", STATUS_OK, FILE_CONTENT},
        {"/dir/inner.txt", STATUS_OK, "inner"},
        {"/dir//./inner.txt", STATUS_OK, "inner"},
        {"/dir/../f.txt", STATUS_OK, FILE_CONTENT},
        {"/../../f.txt", STATUS_OK, FILE_CONTENT},
        {"/a./b", STATUS_OK, "dotted"},
        {"/link", STATUS_OK, FILE_CONTENT},
        {"/dirlink/inner.txt", STATUS_OK, "inner"},
        {"/q.txt?x=1", STATUS_OK, "query"},
        {"/f.txt?x=1", STATUS_NOT_FOUND, nullptr},
        {"/missing", STATUS_NOT_FOUND, nullptr},
        {"/../outside.txt", STATUS_NOT_FOUND, nullptr},
        {"/f.txt/", STATUS_NOT_FOUND, nullptr},
        {"/f.txt/.", STATUS_NOT_FOUND, nullptr},
        {"/f.txt/x", STATUS_NOT_FOUND, nullptr},
        {"/", STATUS_FORBIDDEN, nullptr},
        {"//", STATUS_FORBIDDEN, nullptr},
        {"/dir/..", STATUS_FORBIDDEN, nullptr},
        {"/dir", STATUS_FORBIDDEN, nullptr},
        {"/dir/", STATUS_FORBIDDEN, nullptr},
        {"/dirlink", STATUS_FORBIDDEN, nullptr},
        {"/.hidden", STATUS_FORBIDDEN, nullptr},
        {"/dir/.hidden", STATUS_FORBIDDEN, nullptr},
        {"/dir/../.hidden", STATUS_FORBIDDEN, nullptr},
        {"/.missing", STATUS_FORBIDDEN, nullptr},
        {"/dir/.missing/x", STATUS_FORBIDDEN, nullptr},
        {"/...", STATUS_FORBIDDEN, nullptr},
        {"/dir/..x", STATUS_FORBIDDEN, nullptr},
        {"f.txt", STATUS_BAD_REQUEST, nullptr},
        {"dir/../f.txt", STATUS_BAD_REQUEST, nullptr},
        {"*", STATUS_BAD_REQUEST, nullptr},
        {"", STATUS_BAD_REQUEST, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        Request r = make_request(c.target);
        Answer a = ask(&r);
        EXPECT_EQ(a.status, c.status);
        if (c.status == STATUS_OK)
            EXPECT_EQ(mask_date(a), file_response(STATUS_OK, "", c.body));
        else
            EXPECT_EQ(mask_date(a), status_response(c.status));
        // The record keeps the target as received.
        EXPECT_STREQ(r.target, c.target);
    }
}

// Directories whose normalised path reaches 1022 characters are refused as
// too large rather than forbidden; regular files at such lengths are
// served. The lengths count the leading "/".
TEST_F(Evaluate, AnswersLongDirectoryPathsBySize)
{
    std::string prefix = "/";
    for (int i = 0; i < 4; i++) {
        prefix += std::string(200, 'd') + "/";
        ASSERT_EQ(mkdir(prefix.c_str() + 1, 0755), 0);
    }
    ASSERT_EQ(prefix.size(), 805u);
    auto dir = [&](size_t length) {
        return prefix + std::string(length - prefix.size(), 'e');
    };
    for (size_t length : {1020, 1021, 1022, 1023})
        ASSERT_EQ(mkdir(dir(length).c_str() + 1, 0755), 0);
    std::string file = prefix + std::string(1023 - prefix.size(), 'f');
    write_file(file.c_str() + 1, "long");

    struct Case {
        std::string target;
        Status status;
    };
    const Case cases[] = {
        {dir(1021), STATUS_FORBIDDEN},
        {dir(1022), STATUS_HEADER_FIELDS_TOO_LARGE},
        {dir(1023), STATUS_HEADER_FIELDS_TOO_LARGE},
        // A trailing "/" counts.
        {dir(1020) + "/", STATUS_FORBIDDEN},
        {dir(1021) + "/", STATUS_HEADER_FIELDS_TOO_LARGE},
        // The length after normalisation counts, not the target's.
        {"/." + dir(1021), STATUS_FORBIDDEN},
        {file, STATUS_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target.size());
        ASSERT_LT(c.target.size(), (size_t)TARGET_MAX);
        Request r = make_request(c.target.c_str());
        Answer a = ask(&r);
        EXPECT_EQ(a.status, c.status);
        if (c.status == STATUS_OK)
            EXPECT_EQ(mask_date(a), file_response(STATUS_OK, "", "long"));
        else
            EXPECT_EQ(mask_date(a), status_response(c.status));
    }
}

TEST_F(Evaluate, AppliesRangeToATenByteFile)
{
    struct Case {
        const char *range;
        Status status;
        const char *content_range; // for 206
        const char *body;          // for 206
    };
    constexpr Case cases[] = {
        {"bytes=0-0", STATUS_PARTIAL_CONTENT, "0-0/10", "0"},
        {"bytes=0-", STATUS_PARTIAL_CONTENT, "0-9/10", "0123456789"},
        {"bytes=2-4", STATUS_PARTIAL_CONTENT, "2-4/10", "234"},
        {"bytes=5-100", STATUS_PARTIAL_CONTENT, "5-9/10", "56789"},
        {"bytes=9-", STATUS_PARTIAL_CONTENT, "9-9/10", "9"},
        {"bytes=9-9", STATUS_PARTIAL_CONTENT, "9-9/10", "9"},
        {"bytes=-3", STATUS_PARTIAL_CONTENT, "7-9/10", "789"},
        {"bytes=-10", STATUS_PARTIAL_CONTENT, "0-9/10", "0123456789"},
        {"bytes=-20", STATUS_PARTIAL_CONTENT, "0-9/10", "0123456789"},
        {"bytes= 2-3", STATUS_PARTIAL_CONTENT, "2-3/10", "23"},
        {"bytes=+2-3", STATUS_PARTIAL_CONTENT, "2-3/10", "23"},
        {"bytes=2-+3", STATUS_PARTIAL_CONTENT, "2-3/10", "23"},
        {"bytes=0-9223372036854775807", STATUS_PARTIAL_CONTENT, "0-9/10",
         "0123456789"},
        {"bytes=-9223372036854775807", STATUS_PARTIAL_CONTENT, "0-9/10",
         "0123456789"},
        {"bytes=10-", STATUS_RANGE_NOT_SATISFIABLE, nullptr, nullptr},
        {"bytes=10-20", STATUS_RANGE_NOT_SATISFIABLE, nullptr, nullptr},
        {"bytes=5-3", STATUS_RANGE_NOT_SATISFIABLE, nullptr, nullptr},
        {"bytes=-0", STATUS_RANGE_NOT_SATISFIABLE, nullptr, nullptr},
        {"bytes=9223372036854775807-", STATUS_RANGE_NOT_SATISFIABLE, nullptr,
         nullptr},
        {"bytes=-", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=0-1,5-6", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"Bytes=0-1", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"items=0-1", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=1", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=2-3 ", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=3--1", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=-1-2", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=1-2-3", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=a-b", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=0x1-2", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=9223372036854775808-", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=0-9223372036854775808", STATUS_BAD_REQUEST, nullptr, nullptr},
        {"bytes=-9223372036854775808", STATUS_BAD_REQUEST, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.range);
        Request r = make_request("/f.txt", c.range);
        Answer a = ask(&r);
        EXPECT_EQ(a.status, c.status);
        switch (c.status) {
        case STATUS_PARTIAL_CONTENT:
            EXPECT_EQ(mask_date(a),
                      file_response(c.status, c.content_range, c.body));
            EXPECT_EQ(r.bytes_sent, strlen(c.body));
            break;
        case STATUS_RANGE_NOT_SATISFIABLE:
            EXPECT_EQ(mask_date(a), range_not_satisfiable(10));
            break;
        default:
            EXPECT_EQ(mask_date(a), status_response(c.status));
        }
    }
}

TEST_F(Evaluate, AppliesRangeToAnEmptyFile)
{
    struct Case {
        const char *range;
        Status status;
        const char *content_range; // for 206
    };
    constexpr Case cases[] = {
        {"", STATUS_OK, ""},
        // No byte to count back from: a suffix cannot be satisfied either.
        {"bytes=-5", STATUS_RANGE_NOT_SATISFIABLE, nullptr},
        {"bytes=-9223372036854775807", STATUS_RANGE_NOT_SATISFIABLE, nullptr},
        {"bytes=0-0", STATUS_RANGE_NOT_SATISFIABLE, nullptr},
        {"bytes=0-", STATUS_RANGE_NOT_SATISFIABLE, nullptr},
        {"bytes=-0", STATUS_RANGE_NOT_SATISFIABLE, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.range);
        Request r = make_request("/empty", c.range);
        Answer a = ask(&r);
        EXPECT_EQ(a.status, c.status);
        if (c.status == STATUS_RANGE_NOT_SATISFIABLE)
            EXPECT_EQ(mask_date(a), range_not_satisfiable(0));
        else
            EXPECT_EQ(mask_date(a),
                      file_response(c.status, c.content_range, ""));
        EXPECT_EQ(r.bytes_sent, 0u);
    }
}

TEST_F(Evaluate, AppliesIfModifiedSince)
{
    struct Case {
        const char *since;
        const char *range;
        Status status;
    };
    constexpr Case cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", "", STATUS_NOT_MODIFIED},
        {"Sun, 06 Nov 1994 08:49:36 GMT", "", STATUS_OK},
        {"Sat, 05 Nov 1994 08:49:37 GMT", "", STATUS_OK},
        {"Fri, 01 Jan 2100 00:00:00 GMT", "", STATUS_NOT_MODIFIED},
        {"Sun, 06 Nov 1994 08:49:37 GMT; length=10", "", STATUS_NOT_MODIFIED},
        // The weekday is read but not checked against the date.
        {"Mon, 06 Nov 1994 08:49:37 GMT", "", STATUS_NOT_MODIFIED},
        {"Sunday, 06-Nov-94 08:49:37 GMT", "", STATUS_BAD_REQUEST},
        {"Sun Nov  6 08:49:37 1994", "", STATUS_BAD_REQUEST},
        {"784111777", "", STATUS_BAD_REQUEST},
        {"Sun, 06 Nov 1994 08:49:37 UTC", "", STATUS_BAD_REQUEST},
        {"Sun, 06 Nov 1994", "", STATUS_BAD_REQUEST},
        // Not modified wins over any Range value, even a malformed one.
        {"Sun, 06 Nov 1994 08:49:37 GMT", "bytes=x", STATUS_NOT_MODIFIED},
        {"Sun, 06 Nov 1994 08:49:37 GMT", "bytes=10-", STATUS_NOT_MODIFIED},
        {"Sun, 06 Nov 1994 08:49:36 GMT", "bytes=x", STATUS_BAD_REQUEST},
        {"Sun, 06 Nov 1994 08:49:36 GMT", "bytes=1-2", STATUS_PARTIAL_CONTENT},
        // A bad date is refused before the Range value is looked at.
        {"yesterday", "bytes=10-", STATUS_BAD_REQUEST},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.since) + " | " + c.range);
        Request r = make_request("/f.txt", c.range, c.since);
        Answer a = ask(&r);
        EXPECT_EQ(a.status, c.status);
        switch (c.status) {
        case STATUS_NOT_MODIFIED:
            EXPECT_EQ(mask_date(a), NOT_MODIFIED);
            break;
        case STATUS_OK:
            EXPECT_EQ(mask_date(a), file_response(c.status, "", FILE_CONTENT));
            break;
        case STATUS_PARTIAL_CONTENT:
            EXPECT_EQ(mask_date(a), file_response(c.status, "1-2/10", "12"));
            break;
        default:
            EXPECT_EQ(mask_date(a), status_response(c.status));
        }
    }
}

// A Range holds only under an If-Range that is exactly this response's
// Last-Modified text; otherwise the whole file comes back, so that a
// resumed download never joins two versions of the file.
TEST_F(Evaluate, AppliesIfRange)
{
    static constexpr char MODIFIED[] = "Sun, 06 Nov 1994 08:49:37 GMT";
    struct Case {
        const char *if_range, *range, *since;
        Status status;
    };
    constexpr Case cases[] = {
        {MODIFIED, "bytes=1-2", "", STATUS_PARTIAL_CONTENT},
        {MODIFIED, "bytes=10-", "", STATUS_RANGE_NOT_SATISFIABLE},
        {MODIFIED, "bytes=x", "", STATUS_BAD_REQUEST},
        // Another date, the same date in another form or with more text,
        // an entity tag: the Range is ignored, even a bad or unsatisfiable
        // one.
        {"Sun, 06 Nov 1994 08:49:36 GMT", "bytes=1-2", "", STATUS_OK},
        {"Sunday, 06-Nov-94 08:49:37 GMT", "bytes=1-2", "", STATUS_OK},
        {"Sun, 06 Nov 1994 08:49:37 GMT ", "bytes=1-2", "", STATUS_OK},
        {"sun, 06 nov 1994 08:49:37 gmt", "bytes=1-2", "", STATUS_OK},
        {"\"abc\"", "bytes=1-2", "", STATUS_OK},
        {"Sun, 06 Nov 1994 08:49:36 GMT", "bytes=x", "", STATUS_OK},
        {"Sun, 06 Nov 1994 08:49:36 GMT", "bytes=10-", "", STATUS_OK},
        // Without a Range it changes nothing.
        {"anything", "", "", STATUS_OK},
        // If-Modified-Since is applied first: its 304 and 400 still win.
        {"x", "bytes=1-2", MODIFIED, STATUS_NOT_MODIFIED},
        {MODIFIED, "bytes=1-2", "yesterday", STATUS_BAD_REQUEST},
        {"x", "bytes=1-2", "Sun, 06 Nov 1994 08:49:36 GMT", STATUS_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.if_range) + " | " + c.range + " | " +
                     c.since);
        Request r = make_request("/f.txt", c.range, c.since);
        snprintf(r.field[FIELD_IF_RANGE], sizeof r.field[FIELD_IF_RANGE], "%s",
                 c.if_range);
        Answer a = ask(&r);
        EXPECT_EQ(a.status, c.status);
        switch (c.status) {
        case STATUS_OK:
            EXPECT_EQ(mask_date(a), file_response(c.status, "", FILE_CONTENT));
            EXPECT_EQ(r.bytes_sent, 10u);
            break;
        case STATUS_PARTIAL_CONTENT:
            EXPECT_EQ(mask_date(a), file_response(c.status, "1-2/10", "12"));
            break;
        case STATUS_RANGE_NOT_SATISFIABLE:
            EXPECT_EQ(mask_date(a), range_not_satisfiable(10));
            break;
        case STATUS_NOT_MODIFIED:
            EXPECT_EQ(mask_date(a), NOT_MODIFIED);
            break;
        default:
            EXPECT_EQ(mask_date(a), status_response(c.status));
        }
    }
}

TEST_F(Evaluate, ReturnsTimeoutWhenTheAnswerCannotBeWritten)
{
    struct Case {
        const char *target, *range, *since;
    };
    constexpr Case cases[] = {
        {"f.txt", "", ""},                               // 400
        {"/.hidden", "", ""},                            // 403
        {"/dir", "", ""},                                // 403
        {"/missing", "", ""},                            // 404
        {"/f.txt", "", "Sun, 06 Nov 1994 08:49:37 GMT"}, // 304
        {"/f.txt", "bytes=10-", ""},                     // 416
        {"/f.txt", "bytes=x", ""},                       // 400
        {"/f.txt", "", ""},                              // 200
        {"/f.txt", "bytes=1-2", ""},                     // 206
    };
    // The peer is gone, so writing raises SIGPIPE; ignore it for the
    // duration so that the write fails with EPIPE instead.
    struct sigaction ignore = {}, saved;
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &saved), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.target) + " | " + c.range + " | " + c.since);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        close(sv[1]);
        Request r = make_request(c.target, c.range, c.since);
        EXPECT_EQ(evaluate_request(sv[0], &r), STATUS_REQUEST_TIMEOUT);
        EXPECT_EQ(r.bytes_sent, 0u);
        close(sv[0]);
    }
    ASSERT_EQ(sigaction(SIGPIPE, &saved, nullptr), 0);
}

// Root passes every permission check, so the child drops to an
// unprivileged user before it asks for anything.
TEST_F(Evaluate, ForbidsWhatTheServerMayNotRead)
{
    ASSERT_EQ(mkdir("locked", 0700), 0);
    write_file("locked/f.txt", "locked");
    write_file("unreadable", "unreadable");
    ASSERT_EQ(chmod("unreadable", 0), 0);

    struct Case {
        const char *target;
        Status status;
    };
    constexpr Case cases[] = {
        {"/locked/f.txt", STATUS_FORBIDDEN},
        // stat fails with EACCES, not ENOENT, below a locked directory.
        {"/locked/missing", STATUS_FORBIDDEN},
        {"/unreadable", STATUS_FORBIDDEN},
        {"/locked", STATUS_FORBIDDEN},
        {"/missing", STATUS_NOT_FOUND},
        {"/f.txt", STATUS_OK},
    };
    constexpr int CASE_COUNT = std::size(cases);

    int results[2];
    ASSERT_EQ(pipe(results), 0);
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        close(results[0]);
        if (geteuid() == 0 && (setgroups(0, nullptr) == -1 ||
                               setgid(65534) == -1 || setuid(65534) == -1))
            _exit(2);
        for (const Case &c : cases) {
            int sv[2];
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == -1)
                _exit(3);
            Request r = make_request(c.target);
            Status s = evaluate_request(sv[0], &r);
            // Small answers only: they fit in the socket buffer.
            close(sv[0]);
            std::string response = read_all(sv[1]);
            close(sv[1]);
            std::string line = "HTTP/1.1 " + std::to_string(s) + " ";
            if (response.compare(0, line.size(), line) != 0)
                s = STATUS_NONE;
            if (write(results[1], &s, sizeof s) != sizeof s)
                _exit(4);
        }
        _exit(0);
    }
    close(results[1]);
    std::string data = read_all(results[0]);
    close(results[0]);
    int wstatus;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
    Status got[CASE_COUNT];
    ASSERT_EQ(data.size(), sizeof got);
    memcpy(got, data.data(), sizeof got);
    for (int i = 0; i < CASE_COUNT; i++)
        EXPECT_EQ(got[i], cases[i].status) << cases[i].target;
}

// A FIFO is refused by its name's status, without being opened: an open
// would release a writer that waits in its own open, and that writer would
// then die of a broken pipe once the worker closed its end. So a writer
// that waits before the request still waits after it. A FIFO the server
// may not read gets the same answer.
TEST_F(Evaluate, RefusesAFifoWithoutOpeningIt)
{
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    ASSERT_EQ(mkfifo("closed", 0), 0);
    int released[2];
    ASSERT_EQ(pipe(released), 0);
    pid_t writer = fork();
    ASSERT_NE(writer, -1);
    if (writer == 0) {
        close(released[0]);
        int fd = open("fifo", O_WRONLY);
        if (write(released[1], "x", 1) != 1)
            _exit(1);
        _exit(fd == -1 ? 1 : 0);
    }
    close(released[1]);
    // Wait until the writer sits in its open: the kernel names the call
    // it waits in.
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/syscall", (int)writer);
    int64_t deadline = monotonic_ms() + 10000;
    bool waiting = false;
    while (!waiting && monotonic_ms() < deadline) {
        FILE *fp = fopen(path, "r");
        long call = -1;
        if (fp != nullptr) {
            if (fscanf(fp, "%ld", &call) != 1)
                call = -1;
            fclose(fp);
        }
        waiting = call == SYS_openat || call == SYS_open;
        if (!waiting)
            usleep(1000);
    }
    if (!waiting)
        kill(writer, SIGKILL);
    ASSERT_TRUE(waiting);

    for (const char *target : {"/fifo", "/closed"}) {
        SCOPED_TRACE(target);
        Request r = make_request(target);
        Answer a = ask(&r);
        EXPECT_EQ(a.status, STATUS_INTERNAL_SERVER_ERROR);
        EXPECT_EQ(mask_date(a), status_response(STATUS_INTERNAL_SERVER_ERROR));
    }
    // A released writer reports at once; half a second without a word is
    // ample on any machine for a process that only has to be scheduled.
    struct pollfd p = {released[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 500), 0) << "the writer's open returned";

    // Release it ourselves, and make sure it goes.
    int reader = open("fifo", O_RDONLY | O_NONBLOCK);
    ASSERT_NE(reader, -1);
    int wstatus;
    ASSERT_EQ(waitpid(writer, &wstatus, 0), writer);
    close(reader);
    close(released[0]);
}
