// normalize_path on any path that begins with "/", checked for the shape
// of its result and against a plain stack of segments.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/check.h"
#include "http/evaluate.h"
#include "http/request.h"

// Segments pushed and popped: "" and "." dropped, ".." pops unless at the
// root. The result ends in "/" when the last segment was dropped and some
// segment is left.
static std::string
reference_normalize(const std::string &path)
{
    std::vector<std::string> kept;
    bool last_dropped = false;
    size_t start = 1;
    for (;;) {
        size_t end = path.find('/', start);
        std::string segment = path.substr(
            start, end == std::string::npos ? std::string::npos : end - start);
        last_dropped = segment.empty() || segment == "." || segment == "..";
        if (segment == "..") {
            if (!kept.empty())
                kept.pop_back();
        } else if (!last_dropped) {
            kept.push_back(segment);
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    std::string out;
    for (const std::string &segment : kept)
        out += "/" + segment;
    if (out.empty() || last_dropped)
        out += "/";
    return out;
}

// Begins with "/"; no segment is ".", ".." or empty, except an empty last
// one after a trailing "/".
static void
check_shape(const char *path)
{
    FUZZ_CHECK(path[0] == '/');
    const char *segment = path + 1;
    for (;;) {
        const char *end = strchr(segment, '/');
        size_t len = end != nullptr ? (size_t)(end - segment) : strlen(segment);
        FUZZ_CHECK(!(len == 1 && segment[0] == '.'));
        FUZZ_CHECK(!(len == 2 && segment[0] == '.' && segment[1] == '.'));
        if (end == nullptr)
            return;
        FUZZ_CHECK(len != 0);
        segment = end + 1;
    }
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The path as evaluate_request holds it, a leading "/" and at most a
    // target's length, in a buffer of the exact size so that the address
    // sanitizer sees any access past the terminating zero.
    if (size > TARGET_MAX - 2)
        size = TARGET_MAX - 2;
    char *path = (char *)malloc(size + 2);
    path[0] = '/';
    memcpy(path + 1, data, size);
    path[size + 1] = '\0';
    std::string before = path;

    normalize_path(path);
    check_shape(path);
    FUZZ_CHECK(strlen(path) <= before.size());
    FUZZ_CHECK(reference_normalize(before) == path);

    std::string once = path;
    normalize_path(path);
    FUZZ_CHECK(once == path);
    free(path);
    return 0;
}
