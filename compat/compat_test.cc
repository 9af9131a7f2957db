// strtonum keeps the BSD contract on every platform.
#include "compat/compat.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <time.h>

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
