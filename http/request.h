// The request record that a connection worker fills and hands from step to
// step, the protocol tables, and the buffer a worker's steps share.
#ifndef CORVANSEL_HTTP_REQUEST_H
#define CORVANSEL_HTTP_REQUEST_H

#include <stddef.h>
#include <stdint.h>

#include <array>

enum Method : int32_t { METHOD_GET = 0, METHOD_HEAD = 1, METHOD_COUNT = 2 };

enum RequestField : int {
    FIELD_RANGE = 0,
    FIELD_IF_MODIFIED_SINCE = 1,
    FIELD_USER_AGENT = 2,
    FIELD_IF_RANGE = 3,
    FIELD_COUNT = 4
};

// Both sizes count the terminating zero: a text as long as its buffer is
// refused, never cut.
constexpr int TARGET_MAX = 1024;
constexpr int FIELD_VALUE_MAX = 200;

// An HTTP status code; 0 means that nothing was sent yet.
using Status = int;
enum : Status {
    STATUS_NONE = 0,
    STATUS_OK = 200,
    STATUS_PARTIAL_CONTENT = 206,
    STATUS_MOVED_PERMANENTLY = 301,
    STATUS_NOT_MODIFIED = 304,
    STATUS_BAD_REQUEST = 400,
    STATUS_FORBIDDEN = 403,
    STATUS_NOT_FOUND = 404,
    STATUS_METHOD_NOT_ALLOWED = 405,
    STATUS_REQUEST_TIMEOUT = 408,
    STATUS_RANGE_NOT_SATISFIABLE = 416,
    STATUS_HEADER_FIELDS_TOO_LARGE = 431,
    STATUS_INTERNAL_SERVER_ERROR = 500,
    STATUS_VERSION_NOT_SUPPORTED = 505,
};

// One per connection. Cleared whole before a request is read, so every text
// is terminated (possibly empty) on every path; an empty field value means
// the field was absent.
struct Request {
    Method method;
    char target[TARGET_MAX];
    char field[FIELD_COUNT][FIELD_VALUE_MAX];
    uint64_t bytes_sent;
    // The client sent bytes after the head (a body, a pipelined request)
    // before the head was read: more may be on the way, and the connection
    // must not be closed before they are.
    bool input_after_head;
    // The target decoded to a zero byte where its text now ends; the
    // request was refused for it.
    bool target_cut_at_zero;
};

// A worker's one large buffer: it holds the request's head while that is
// read, then the response's head and chunks, then the log line. A worker
// does these one after the other, each done with its bytes before the next
// begins, and serves one connection in its life. The buffer lives in the
// data segment rather than on the stack: the release link places it beside
// the C library data every worker writes anyway, so a short exchange's few
// kilobytes share pages the worker copies in any case, where buffers of
// these sizes on the stack each took fresh pages. Sized for the largest
// use, a response's 16 KiB chunk with room for its head before it; each use
// asserts that it fits.
constexpr int EXCHANGE_BUFFER_SIZE = 16384 + 512;
extern char exchange_buffer[EXCHANGE_BUFFER_SIZE];

// Header names compared without regard to case, in this order.
constexpr std::array<const char *, FIELD_COUNT> field_name = {
    "Range", "If-Modified-Since", "User-Agent", "If-Range"};

// Method tokens, tried in this order.
constexpr std::array<const char *, METHOD_COUNT> method_name = {"GET", "HEAD"};

// Reason phrases indexed directly by code; codes without one are empty and
// are never sent.
constexpr auto status_text = [] {
    std::array<const char *, STATUS_VERSION_NOT_SUPPORTED + 1> t{};
    t.fill("");
    t[STATUS_OK] = "OK";
    t[STATUS_PARTIAL_CONTENT] = "Partial Content";
    t[STATUS_MOVED_PERMANENTLY] = "Moved Permanently";
    t[STATUS_NOT_MODIFIED] = "Not Modified";
    t[STATUS_BAD_REQUEST] = "Bad Request";
    t[STATUS_FORBIDDEN] = "Forbidden";
    t[STATUS_NOT_FOUND] = "Not Found";
    t[STATUS_METHOD_NOT_ALLOWED] = "Method Not Allowed";
    t[STATUS_REQUEST_TIMEOUT] = "Request Time-out";
    t[STATUS_RANGE_NOT_SATISFIABLE] = "Range Not Satisfiable";
    t[STATUS_HEADER_FIELDS_TOO_LARGE] = "Request Header Fields Too Large";
    t[STATUS_INTERNAL_SERVER_ERROR] = "Internal Server Error";
    t[STATUS_VERSION_NOT_SUPPORTED] = "HTTP Version not supported";
    return t;
}();

#endif
