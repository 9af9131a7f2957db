// Requests that try to climb out of the served directory or to reach a
// hidden name, in every spelling a client might try, sent raw to the real
// binary. None may bring back a byte of what lies outside or is hidden.
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

// Contents that nothing else in a response could contain, so that any
// eight bytes of them in an answer mean a leak.
constexpr char SECRET_CONTENT[] = "S3CRET-4f9c1e07b2d85a36-parent";
constexpr char HIDDEN_CONTENT[] = "H1DDEN-8e2a5c90d4f71b63-dotfile";
constexpr char LINKED_CONTENT[] = "L1NKED-0b7d3f5a9c2e8146-outside";
constexpr size_t LEAK_WINDOW = 8;

// Spellings of "..", of the separator, and of the leading part of a
// target: plain, percent-encoded once and twice, in either case of hex,
// as overlong UTF-8 (escaped and raw), and the backslash that some
// systems take for a separator.
const std::vector<std::string> dot_dots = {
    "..",
    "%2e%2e",
    "%2E%2E",
    "%2e%2E",
    ".%2e",
    "%2e.",
    "%252e%252e",
    "%252E%252E",
    "%%32%65%%32%65",
    "%c0%ae%c0%ae",
    "%C0%AE%C0%AE",
    "%e0%80%ae%e0%80%ae",
    "%f0%80%80%ae%f0%80%80%ae",
    "\xc0\xae\xc0\xae",
    "%u002e%u002e",
    "...",
    ". .",
    "..%00",
    "..%20",
};
const std::vector<std::string> separators = {
    "/",        "%2f", "%2F",   "%252f",  "%252F",  "\\",
    "%5c",      "%5C", "%255c", "%c0%af", "%C0%AF", "%e0%80%af",
    "\xc0\xaf", "//",  "/./",   "/%2e/",  "%2f%2f", "%00/",
};
const std::vector<std::string> prefixes = {
    "/",     "//",       "///",     "/./", "/sub/",      "/sub/../",
    "/%2e/", "/%2fsub/", "/sub%2f", "\\",  "/sub/./../",
};
const std::vector<std::string> suffixes = {
    "",      "?x=1", "?/../secret", "%00", "%00.txt", "%2500",
    "#frag", "%3f",  "/",           "/.",  "%20",
};
// Spellings of ".hidden", the dot-file inside the served directory.
const std::vector<std::string> hidden_names = {
    ".hidden",
    "%2ehidden",
    "%2Ehidden",
    "%252ehidden",
    "%c0%aehidden",
    ".%68idden",
    "%2e%68%69%64%64%65%6e",
};

static std::vector<std::string>
make_targets()
{
    std::vector<std::string> t;
    // Every spelling of ".." with every separator, one level up.
    for (const std::string &d : dot_dots)
        for (const std::string &s : separators)
            t.push_back("/" + d + s + "secret");
    // Every leading part, one and three levels up.
    for (const std::string &p : prefixes)
        for (const std::string &d : dot_dots) {
            t.push_back(p + d + "/secret");
            t.push_back(p + d + "/" + d + "/" + d + "/secret");
        }
    // Query parts, NUL bytes and other tails after the plainest forms.
    for (const std::string &x : suffixes)
        for (const char *base :
             {"/../secret", "/%2e%2e%2fsecret", "/sub/../../secret",
              "/..%5csecret", "/../www/../secret", "/.hidden",
              "/sub/../.hidden", "/%2ehidden"}) {
            t.push_back(base + x);
        }
    // The hidden file, from the root and back down from a climb.
    for (const std::string &p : prefixes)
        for (const std::string &h : hidden_names) {
            t.push_back(p + h);
            t.push_back(p + "../www/" + h);
        }
    for (const std::string &s : separators)
        t.push_back("/sub/.." + s + ".hidden");
    // Forms without a leading "/".
    for (const char *other :
         {"../secret", "..%2fsecret", "http://127.0.0.1/../secret",
          "http:/../secret", "*", "%2f..%2fsecret", ".hidden", "%2e%2e/secret",
          "\\..\\secret", ""}) {
        t.push_back(other);
    }
    return t;
}

// True when response holds any LEAK_WINDOW bytes of content.
static bool
holds_part_of(const std::string &response, const std::string &content)
{
    for (size_t i = 0; i + LEAK_WINDOW <= content.size(); i++)
        if (response.find(content.substr(i, LEAK_WINDOW)) != std::string::npos)
            return true;
    return false;
}

// The target as a C string literal would show it.
static std::string
printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out;
}

// A served directory "www" inside a parent that holds the secret and the
// file a symbolic link in www points to; www holds a hidden file, a
// public one and a subdirectory.
class Traversal : public ::testing::Test {
  protected:
    void
    SetUp() override
    {
        parent = make_temp_dir();
        ASSERT_FALSE(parent.empty());
        served = parent + "/www";
        ASSERT_EQ(mkdir(served.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((served + "/sub").c_str(), 0755), 0);
        write_file(parent + "/secret", SECRET_CONTENT);
        write_file(parent + "/linked", LINKED_CONTENT);
        write_file(served + "/.hidden", HIDDEN_CONTENT);
        write_file(served + "/sub/.hidden", HIDDEN_CONTENT);
        write_file(served + "/public", "public");
        ASSERT_EQ(symlink("../linked", (served + "/link").c_str()), 0);
        ASSERT_TRUE(start_server_on(server, served));
    }
    void
    TearDown() override
    {
        server.stop();
        remove_tree(parent);
    }

    std::string parent, served;
    Server server;
};

TEST_F(Traversal, NoTargetReachesTheParentOrAHiddenFile)
{
    std::vector<std::string> targets = make_targets();
    std::vector<std::string> with_nul;
    // A raw NUL byte ends the head text where it stands.
    for (const char *t : {"/..", "/.hidden", "/sub/.."})
        with_nul.push_back(std::string(t) + '\0' + "/../secret");
    targets.insert(targets.end(), with_nul.begin(), with_nul.end());

    size_t tried = 0, leaks = 0, unanswered = 0;
    std::map<std::string, size_t> statuses;
    for (const std::string &target : targets) {
        std::string response =
            ::exchange(server.port, "GET " + target + " HTTP/1.1\r\n\r\n");
        tried++;
        statuses[response.size() >= 12 ? response.substr(9, 3) : "none"]++;
        if (response.rfind("HTTP/1.1 ", 0) != 0) {
            unanswered++;
            ADD_FAILURE() << "no answer for " << printable(target);
        }
        if (holds_part_of(response, SECRET_CONTENT) ||
            holds_part_of(response, HIDDEN_CONTENT)) {
            leaks++;
            ADD_FAILURE() << "leak through " << printable(target) << ":\n"
                          << response;
        }
    }
    printf("traversal: %zu targets tried, %zu leaked a byte of the secret or "
           "the hidden file, %zu unanswered\n",
           tried, leaks, unanswered);
    for (const auto &[status, count] : statuses)
        printf("traversal: status %s: %zu\n", status.c_str(), count);
    EXPECT_EQ(leaks, 0u);
    EXPECT_GE(tried, 500u);
    // Every exchange left its log line.
    EXPECT_TRUE(server.wait_lines(1 + tried, 30000));
}

// A symbolic link inside the served directory is followed wherever it
// points: whoever can write the directory chooses what it serves.
TEST_F(Traversal, FollowsASymbolicLinkThatPointsOutside)
{
    std::string response = exchange(server.port, "GET /link HTTP/1.1\r\n\r\n");
    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
    EXPECT_NE(response.find(LINKED_CONTENT), std::string::npos) << response;
    // The plain file beside it is served as usual; the battery above shows
    // that the parent itself stays out of reach.
    response = exchange(server.port, "GET /public HTTP/1.1\r\n\r\n");
    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
}
