// Listening sockets and the numeric text of socket addresses.
#include "server/listen.h"

#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <netinet/in.h>

#include <gtest/gtest.h>

static struct sockaddr_storage
make_address(int family, const char *text, uint16_t port)
{
    struct sockaddr_storage ss = {};
    if (family == AF_INET6) {
        auto *a = reinterpret_cast<struct sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        EXPECT_EQ(inet_pton(AF_INET6, text, &a->sin6_addr), 1) << text;
    } else {
        auto *a = reinterpret_cast<struct sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        EXPECT_EQ(inet_pton(AF_INET, text, &a->sin_addr), 1) << text;
    }
    return ss;
}

TEST(AddressText, WritesNumericTextWithoutPort)
{
    struct Case {
        int family;
        const char *in, *out;
    };
    constexpr Case cases[] = {
        {AF_INET, "127.0.0.1", "127.0.0.1"},
        {AF_INET, "0.0.0.0", "0.0.0.0"},
        {AF_INET, "255.255.255.255", "255.255.255.255"},
        {AF_INET6, "::1", "::1"},
        {AF_INET6, "::", "::"},
        {AF_INET6, "2001:0db8:0000:0000:0000:ff00:0042:8329",
         "2001:db8::ff00:42:8329"},
        {AF_INET6, "FD00:0:0:0:0:0:0:1", "fd00::1"},
        {AF_INET6, "::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {AF_INET6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        struct sockaddr_storage ss = make_address(c.family, c.in, 8080);
        AddressText text;
        memset(text, 'x', sizeof text);
        EXPECT_EQ(address_text(&ss, text, sizeof text), 0);
        EXPECT_STREQ(text, c.out);
    }
}

TEST(AddressText, RefusesABufferTooSmall)
{
    struct sockaddr_storage ss = make_address(AF_INET, "192.0.2.100", 80);
    char text[sizeof "192.0.2.100" - 1];
    EXPECT_EQ(address_text(&ss, text, sizeof text), 1);
}

// IPv4 text is formatted here rather than by the C library; it must be
// the same text, and fail the same way for a buffer that is too small.
TEST(AddressText, WritesIpv4AsInetNtopDoes)
{
    int checked = 0;
    auto check = [&](uint32_t bits) {
        struct sockaddr_storage ss = {};
        auto *a = reinterpret_cast<struct sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(bits);
        char want[INET_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, &a->sin_addr, want, sizeof want), nullptr);
        AddressText text;
        ASSERT_EQ(address_text(&ss, text, sizeof text), 0);
        ASSERT_STREQ(text, want);
        // One byte short of the text and its terminator is refused, with
        // the caller's buffer left as it was; exactly enough is not.
        size_t need = strlen(want) + 1;
        char small[INET_ADDRSTRLEN];
        memset(small, 'x', sizeof small);
        ASSERT_EQ(address_text(&ss, small, (socklen_t)(need - 1)), 1);
        ASSERT_EQ(small[0], 'x');
        ASSERT_EQ(address_text(&ss, small, (socklen_t)need), 0);
        ASSERT_STREQ(small, want);
        checked++;
    };
    // Every value in every position, against a background of each width.
    for (uint32_t background :
         {0x00000000u, 0x09090909u, 0x63636363u, 0x64646464u, 0xffffffffu}) {
        for (int shift = 0; shift < 32; shift += 8) {
            for (uint32_t v = 0; v < 256; v++) {
                uint32_t bits = (background & ~(0xffu << shift)) | v << shift;
                check(bits);
                if (HasFatalFailure())
                    return;
            }
        }
    }
    EXPECT_EQ(checked, 5 * 4 * 256);
}

// A family it cannot convert leaves the caller's buffer exactly as it was,
// so the caller decides what stands there.
TEST(AddressText, LeavesOtherFamiliesUntouched)
{
    for (sa_family_t family : {AF_UNIX, AF_UNSPEC}) {
        SCOPED_TRACE(family);
        struct sockaddr_storage ss = {};
        auto *un = reinterpret_cast<struct sockaddr_un *>(&ss);
        un->sun_family = family;
        snprintf(un->sun_path, sizeof un->sun_path, "/tmp/socket");
        AddressText text, before;
        for (size_t i = 0; i < sizeof text; i++)
            text[i] = (char)(0xa0 + i);
        memcpy(before, text, sizeof text);
        EXPECT_EQ(address_text(&ss, text, sizeof text), 0);
        EXPECT_EQ(memcmp(text, before, sizeof text), 0);
    }
}

// A port that nothing on the loopback address of family uses right now.
static uint16_t
unused_port(int family)
{
    struct sockaddr_storage ss =
        make_address(family, family == AF_INET6 ? "::1" : "127.0.0.1", 0);
    int fd = socket(family, SOCK_STREAM, 0);
    socklen_t len = sizeof ss;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&ss), len) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&ss), &len) == 0)
        port =
            ntohs(family == AF_INET6
                      ? reinterpret_cast<struct sockaddr_in6 *>(&ss)->sin6_port
                      : reinterpret_cast<struct sockaddr_in *>(&ss)->sin_port);
    close(fd);
    return port;
}

static int
socket_option(int fd, int option)
{
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(fd, SOL_SOCKET, option, &value, &len);
    return value;
}

TEST(OpenListeners, NumericHostGivesOneListener)
{
    struct Case {
        const char *host;
        int family;
    };
    constexpr Case cases[] = {{"127.0.0.1", AF_INET}, {"::1", AF_INET6}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        uint16_t port = unused_port(c.family);
        ASSERT_NE(port, 0);
        struct pollfd fds[MAX_LISTENERS];
        struct sockaddr_storage addrs[MAX_LISTENERS];
        memset(addrs, 0xff, sizeof addrs);
        ASSERT_EQ(
            open_listeners(c.host, std::to_string(port).c_str(), fds, addrs),
            1);
        int fd = fds[0].fd;
        EXPECT_EQ(fds[0].events, POLLIN);
        EXPECT_EQ(socket_option(fd, SO_ACCEPTCONN), 1);
        EXPECT_NE(socket_option(fd, SO_REUSEADDR), 0);

        // The slot holds the bound address: family, address and port.
        struct sockaddr_storage expected = make_address(c.family, c.host, port);
        size_t len = c.family == AF_INET6 ? sizeof(struct sockaddr_in6)
                                          : sizeof(struct sockaddr_in);
        EXPECT_EQ(memcmp(&addrs[0], &expected, len), 0);
        struct sockaddr_storage bound = {};
        socklen_t bound_len = sizeof bound;
        ASSERT_EQ(getsockname(fd, reinterpret_cast<struct sockaddr *>(&bound),
                              &bound_len),
                  0);
        EXPECT_EQ(memcmp(&bound, &expected, len), 0);

        // And it takes connections.
        int client = socket(c.family, SOCK_STREAM, 0);
        auto *to = reinterpret_cast<struct sockaddr *>(&expected);
        EXPECT_EQ(connect(client, to, (socklen_t)len), 0);
        int conn = accept(fd, nullptr, nullptr);
        EXPECT_NE(conn, -1);
        // Each accepted connection has the listener's time-outs, so that
        // no worker has to set them.
        for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
            struct timeval tv = {};
            socklen_t tv_len = sizeof tv;
            EXPECT_EQ(getsockopt(conn, SOL_SOCKET, option, &tv, &tv_len), 0);
            EXPECT_EQ(tv.tv_sec, SOCKET_TIMEOUT_SECONDS) << option;
            EXPECT_EQ(tv.tv_usec, 0) << option;
        }
        close(conn);
        close(client);
        close(fd);
    }
}
