// The request head reader on bytes: whole heads, heads cut anywhere, heads over their limits
// and bytes that are no HTTP at all.

#include <gtest/gtest.h>

#include <string>

#include "HttpRequestReader.h"

namespace {

using Result = HttpRequestReader::Result;

const std::string kBrowserHead =
    "GET /app.js?v=2 HTTP/1.1\r\n"
    "Host: 127.0.0.1:8940\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n"
    "Accept: */*\r\n"
    "Connection: keep-alive, Upgrade\r\n"
    "Upgrade: websocket\r\n"
    "X-Empty:\r\n"
    "Accept-Language:  de-CH, en;q=0.5 \t\r\n"
    "\r\n";

Result read(const std::string& bytes, const HttpRequestReader::Limits& limits = {}) {
    return HttpRequestReader(limits).read(bytes);
}

TEST(HttpRequestReader, ReadsAHeadThatArrivesInAnyPieces) {
    // Every prefix asks for more; only the whole head is a request, and what follows it (the
    // first WebSocket frame, a second request) is not touched.
    for (std::size_t n = 0; n < kBrowserHead.size(); ++n) {
        const Result partial = read(kBrowserHead.substr(0, n));
        ASSERT_EQ(partial.status, Result::NeedMore) << n << ": " << partial.reason;
    }
    const Result result = read(kBrowserHead + "\x81\x85 frame bytes");
    ASSERT_EQ(result.status, Result::Complete) << result.reason;
    EXPECT_EQ(result.headBytes, kBrowserHead.size());
    const HttpRequest& request = result.request;
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/app.js?v=2");
    EXPECT_EQ(request.path, "/app.js");
    EXPECT_EQ(request.query, "v=2");
    EXPECT_EQ(request.minorVersion, 1);
    ASSERT_EQ(request.headers.size(), 7u);
    // Names in any case, values without the blanks around them, empty values kept.
    ASSERT_NE(request.header("HOST"), nullptr);
    EXPECT_EQ(*request.header("host"), "127.0.0.1:8940");
    EXPECT_EQ(*request.header("accept-language"), "de-CH, en;q=0.5");
    ASSERT_NE(request.header("X-Empty"), nullptr);
    EXPECT_EQ(*request.header("X-Empty"), "");
    EXPECT_EQ(request.header("Origin"), nullptr);
    EXPECT_TRUE(request.headerHasToken("connection", "upgrade"));
    EXPECT_TRUE(request.headerHasToken("Upgrade", "WebSocket"));
    EXPECT_FALSE(request.headerHasToken("Connection", "close"));
    EXPECT_FALSE(request.headerHasToken("Upgrade", "web"));

    // Bare LF line ends, a blank line before the request, HTTP/1.0 without a Host.
    const Result lf = read("\r\nHEAD / HTTP/1.0\nAccept: text/html\n\n");
    ASSERT_EQ(lf.status, Result::Complete) << lf.reason;
    EXPECT_EQ(lf.request.method, "HEAD");
    EXPECT_EQ(lf.request.minorVersion, 0);
    EXPECT_EQ(lf.headBytes, std::string("\r\nHEAD / HTTP/1.0\nAccept: text/html\n\n").size());
}

TEST(HttpRequestReader, RefusesRequestLinesThatAreNotOurs) {
    const struct {
        const char* line;
        int status;
    } cases[] = {
        {"GET / HTTP/2.0", 505},
        {"GET / HTTP/0.9", 505},
        {"GET / HTTP/1.1x", 400},
        {"GET / http/1.1", 400},
        {"GET /", 400},
        {"GET", 400},
        {"GET  / HTTP/1.1", 400},
        {"GET / HTTP/1.1 ", 400},
        {" GET / HTTP/1.1", 400},
        {"G(T / HTTP/1.1", 400},
        {"GET http://evil.example/ HTTP/1.1", 400},
        {"CONNECT 127.0.0.1:8940 HTTP/1.1", 400},
        {"OPTIONS * HTTP/1.1", 400},
        {"GET /a#b HTTP/1.1", 400},
        {"GET /caf\xc3\xa9 HTTP/1.1", 400},
        {"GET /a\rb HTTP/1.1", 400},
        {"GET /\x7f HTTP/1.1", 400},
    };
    for (const auto& c : cases) {
        const Result result = read(std::string(c.line) + "\r\nHost: localhost\r\n\r\n");
        EXPECT_EQ(result.status, Result::Error) << c.line;
        EXPECT_EQ(result.httpStatus, c.status) << c.line << ": " << result.reason;
        EXPECT_FALSE(result.reason.empty());
    }
    // Methods are not judged here (the server answers 405), only spelled as tokens.
    EXPECT_EQ(read("BREW /pot HTTP/1.1\r\nHost: x\r\n\r\n").status, Result::Complete);
}

TEST(HttpRequestReader, RefusesNoiseAsSoonAsItArrives) {
    // A TLS hello, a NUL, a control character in a header: no need to wait for a line's end
    // (which may never come) to know these are no request.
    const std::string noise[] = {
        std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
        std::string("GET\0", 4),
        "GET /\x01",
        "GET / HTTP/1.1\r\nHost: a\r\nX: \x02",
        "GET / HTTP/1.1\r\nHost: a\x7f",
        "\rGET",
        "GET / HTTP/1.1\rHost",
    };
    for (const std::string& bytes : noise) {
        const Result result = read(bytes);
        EXPECT_EQ(result.status, Result::Error) << bytes;
        EXPECT_EQ(result.httpStatus, 400) << bytes;
    }
    // Bytes of other encodings are fine in a header value, also while it arrives.
    EXPECT_EQ(read("GET / HTTP/1.1\r\nX-Name: Z\xc3\xbc").status, Result::NeedMore);
}

TEST(HttpRequestReader, BoundsTheRequestLineTheHeadAndTheHeaders) {
    HttpRequestReader::Limits limits;
    limits.requestLineBytes = 64;
    limits.headBytes = 256;
    limits.headers = 4;

    // The request line: at its limit it is read, one over is refused, even before its end.
    const std::string prefix = "GET /";
    const std::string suffix = " HTTP/1.1";
    const std::string atLimit = prefix + std::string(64 - prefix.size() - suffix.size(), 'a') + suffix;
    ASSERT_EQ(atLimit.size(), 64u);
    EXPECT_EQ(read(atLimit + "\r\nHost: a\r\n\r\n", limits).status, Result::Complete);
    const Result longLine = read(prefix + std::string(64, 'a') + suffix + "\r\n", limits);
    EXPECT_EQ(longLine.httpStatus, 414);
    const Result longPartial = read(prefix + std::string(64, 'a'), limits);
    EXPECT_EQ(longPartial.httpStatus, 414);

    // The head: one that ends exactly at its limit is read; a byte more is refused, and a
    // head that keeps coming (a slow client's endless header) is refused once over it,
    // without its end.
    const std::string start = "GET / HTTP/1.1\r\nHost: a\r\nX: ";
    const std::string exact = start + std::string(256 - start.size() - 4, 'v') + "\r\n\r\n";
    ASSERT_EQ(exact.size(), 256u);
    EXPECT_EQ(read(exact, limits).status, Result::Complete);
    const std::string over = start + std::string(256 - start.size() - 3, 'v') + "\r\n\r\n";
    EXPECT_EQ(read(over, limits).httpStatus, 431);
    EXPECT_EQ(read(start + std::string(300, 'v'), limits).httpStatus, 431);
    EXPECT_EQ(read(start + std::string(100, 'v'), limits).status, Result::NeedMore);
    // Blank lines before the request count toward the head too.
    EXPECT_EQ(read(std::string(300, '\n'), limits).httpStatus, 431);

    // The number of headers.
    std::string four = "GET / HTTP/1.1\r\nHost: a\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n";
    EXPECT_EQ(read(four, limits).status, Result::Complete);
    std::string five = "GET / HTTP/1.1\r\nHost: a\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n";
    EXPECT_EQ(read(five, limits).httpStatus, 431);

    // The defaults hold a browser's head with room to spare, and refuse 8 KiB of cookies.
    EXPECT_EQ(HttpRequestReader().read(kBrowserHead).status, Result::Complete);
    const std::string cookies = "GET / HTTP/1.1\r\nHost: a\r\nCookie: " + std::string(9000, 'c') + "\r\n\r\n";
    EXPECT_EQ(HttpRequestReader().read(cookies).httpStatus, 431);
}

TEST(HttpRequestReader, HeaderLinesAndTheRulesOfAWholeHead) {
    const struct {
        const char* headers;
        int status;  // 0: read
    } cases[] = {
        {"Host: a\r\n", 0},
        {"Host: a\r\n folded\r\n", 400},
        {"Host: a\r\n\tfolded\r\n", 400},
        {"Host: a\r\nNo colon here\r\n", 400},
        {"Host: a\r\nName : value\r\n", 400},
        {"Host: a\r\n: value\r\n", 400},
        {"Host: a\r\nNa(me: value\r\n", 400},
        {"Host: a\r\nX: a\x01z\r\n", 400},
        {"", 400},                           // HTTP/1.1 needs a Host
        {"Host: a\r\nhost: b\r\n", 400},     // and only one: which would count?
        {"Host: a\r\nContent-Length: 12\r\n", 0},
        {"Host: a\r\nContent-Length: 12\r\nContent-Length: 12\r\n", 0},
        {"Host: a\r\nContent-Length: 12\r\nContent-Length: 13\r\n", 400},
        {"Host: a\r\nContent-Length: -1\r\n", 400},
        {"Host: a\r\nContent-Length: 1 2\r\n", 400},
        {"Host: a\r\nContent-Length:\r\n", 400},
        {"Host: a\r\nContent-Length: 99999999999999999999999\r\n", 400},
        {"Host: a\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n", 400},
    };
    for (const auto& c : cases) {
        const Result result = read(std::string("GET / HTTP/1.1\r\n") + c.headers + "\r\n");
        if (c.status == 0) {
            EXPECT_EQ(result.status, Result::Complete) << c.headers << ": " << result.reason;
        } else {
            EXPECT_EQ(result.status, Result::Error) << c.headers;
            EXPECT_EQ(result.httpStatus, c.status) << c.headers;
        }
    }
}

TEST(HttpRequestReader, SplitsHostValues) {
    const struct {
        const char* value;
        bool ok;
        const char* name;
        int port;
    } cases[] = {
        {"127.0.0.1:8940", true, "127.0.0.1", 8940},
        {"localhost", true, "localhost", -1},
        {"LocalHost:1", true, "LocalHost", 1},
        {"[::1]:8940", true, "::1", 8940},
        {"[::ffff:192.168.1.5]", true, "::ffff:192.168.1.5", -1},
        {"room-pc.example:65535", true, "room-pc.example", 65535},
        {"", false, "", -1},
        {":8940", false, "", -1},
        {"host:", false, "", -1},
        {"host:65536", false, "", -1},
        {"host:8a", false, "", -1},
        {"host:1234567", false, "", -1},
        {"::1", false, "", -1},
        {"[::1", false, "", -1},
        {"[]:80", false, "", -1},
        {"[::1]x", false, "", -1},
        {"[fe80::1%eth0]", false, "", -1},
        {"user@host", false, "", -1},
        {"host/path", false, "", -1},
        {"ho st", false, "", -1},
    };
    for (const auto& c : cases) {
        std::string name = "stale";
        int port = 7;
        EXPECT_EQ(HttpRequestReader::splitHost(c.value, name, port), c.ok) << c.value;
        if (c.ok) {
            EXPECT_EQ(name, c.name) << c.value;
            EXPECT_EQ(port, c.port) << c.value;
        }
    }
}

}  // namespace
