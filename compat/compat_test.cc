// strtonum and resolve keep the BSD contract on every platform.
#include "compat/compat.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <netinet/in.h>

#include <gtest/gtest.h>

TEST(Strtonum, AcceptsAndRefusesAsTheBsdCallDoes)
{
    struct Case {
        const char *text;
        long long value;
        const char *error;
    };
    constexpr Case cases[] = {
        {"0", 0, nullptr},
        {"42", 42, nullptr},
        {" \t7", 7, nullptr},
        {"+3", 3, nullptr},
        {"9223372036854775807", LLONG_MAX, nullptr},
        {"9223372036854775808", 0, "too large"},
        {"-1", 0, "too small"},
        {"-9223372036854775809", 0, "too small"},
        {"", 0, "invalid"},
        {"3 ", 0, "invalid"},
        {"1,5", 0, "invalid"},
        {"0x10", 0, "invalid"},
        {"-", 0, "invalid"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const char *error = "untouched";
        errno = 0;
        long long value = strtonum(c.text, 0, LLONG_MAX, &error);
        EXPECT_EQ(value, c.value);
        if (c.error == nullptr) {
            EXPECT_EQ(error, nullptr);
            EXPECT_EQ(errno, 0);
        } else {
            ASSERT_NE(error, nullptr);
            EXPECT_STREQ(error, c.error);
            EXPECT_EQ(errno, strcmp(c.error, "invalid") == 0 ? EINVAL : ERANGE);
        }
    }
}

TEST(Strtonum, RefusesAnEmptyInterval)
{
    const char *error = nullptr;
    EXPECT_EQ(strtonum("5", 10, 1, &error), 0);
    EXPECT_STREQ(error, "invalid");
}

TEST(CurrentTime, IsTheLibraryTime)
{
    // Bracketed by the library's own clock, read before and after.
    time_t before = time(nullptr);
    time_t now = current_time();
    time_t after = time(nullptr);
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

// A port that does not fit in 16 bits is refused, never bound modulo 65536;
// everything else is left to the resolver.
TEST(Resolve, RefusesANumericPortAbove65535)
{
    struct Case {
        const char *port;
        int rc;
    };
    constexpr Case cases[] = {
        {"65535", 0},
        {"0065535", 0},
        {"0", 0},
        {"65536", EAI_SERVICE},
        {"99999", EAI_SERVICE},
        {"00099999", EAI_SERVICE},
        {"+70000", EAI_SERVICE},
        {"99999999999999999999999", EAI_SERVICE},
    };
    struct addrinfo hints = {};
    hints.ai_flags = AI_NUMERICSERV;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port);
        struct addrinfo *list = nullptr;
        int rc = resolve("127.0.0.1", c.port, &hints, &list);
        EXPECT_EQ(rc, c.rc) << gai_strerror(rc);
        if (rc == 0) {
            ASSERT_NE(list, nullptr);
            auto *in = reinterpret_cast<struct sockaddr_in *>(list->ai_addr);
            EXPECT_EQ(ntohs(in->sin_port), strtoul(c.port, nullptr, 10));
            freeaddrinfo(list);
        }
    }
    // Not a number at all: the resolver's own answer, as before.
    struct addrinfo *list = nullptr;
    EXPECT_EQ(resolve("127.0.0.1", "80a", &hints, &list), EAI_NONAME);
}
