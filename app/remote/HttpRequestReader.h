#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One request head as the reader found it. Names keep their spelling; header() finds them in
// any case.
struct HttpRequest {
    struct Header {
        std::string name;
        std::string value;  // without the white space around it
    };

    std::string method;  // as sent: methods are case-sensitive
    std::string target;  // the whole origin-form target, "/path?query"
    std::string path;    // the target up to '?'
    std::string query;   // after '?', without it
    int minorVersion = 1;  // HTTP/1.0 or HTTP/1.1
    std::vector<Header> headers;

    // The first header of that name (any case), or null.
    const std::string* header(std::string_view name) const;
    int headerCount(std::string_view name) const;
    // true when a comma-separated header of that name lists `token` (any case): "Connection:
    // keep-alive, Upgrade" lists "upgrade".
    bool headerHasToken(std::string_view name, std::string_view token) const;
};

// Reads an HTTP/1.x request head from the bytes received so far: a request, a wish for more
// bytes, or the status of the error to answer with. It keeps no state between calls, so a
// caller that peeks at a socket hands it everything seen so far each time.
//
// Nothing in the input is trusted: every line is measured before it is used, the head as a
// whole and the number of headers are bounded, and a length the client announces is only
// checked for being a number (the head is all this reader reads). Bytes that cannot begin a
// request (a TLS hello, binary noise) are refused as soon as they arrive, not at the end of a
// head that may never come.
//
// The head ends at its empty line; headBytes tells where, and what follows is not looked at.
// Only origin-form targets ("/..."), since this server is nobody's proxy; lines end in CRLF
// or a bare LF; folded header lines are refused.
class HttpRequestReader {
public:
    static constexpr std::size_t kMaxRequestLineBytes = 4096;
    static constexpr std::size_t kMaxHeadBytes = 8192;
    static constexpr int kMaxHeaders = 64;

    struct Limits {
        std::size_t requestLineBytes = kMaxRequestLineBytes;
        std::size_t headBytes = kMaxHeadBytes;  // request line and headers, up to the empty line
        int headers = kMaxHeaders;
    };

    struct Result {
        enum Status { NeedMore, Complete, Error };
        Status status = NeedMore;
        // An HTTP status for Error: 400, 414 (request line too long), 431 (headers too many or
        // too large), 505 (not HTTP/1).
        int httpStatus = 0;
        std::string reason;      // for the log and the error page; plain ASCII
        std::size_t headBytes = 0;  // Complete: bytes up to and with the empty line
        HttpRequest request;        // Complete only
    };

    HttpRequestReader() = default;
    explicit HttpRequestReader(const Limits& limits) : _limits(limits) {}

    Result read(std::string_view bytes) const;
    const Limits& limits() const { return _limits; }

    // Splits a Host value into its name and port: "127.0.0.1:8940", "[::1]:8940",
    // "localhost". The name keeps IPv6 brackets off; port is -1 when there is none. false for
    // anything that is no host (empty, a user part, a path, a port that is no number up to
    // 65535).
    static bool splitHost(std::string_view value, std::string& name, int& port);

private:
    Limits _limits;
};
