// The control interface's request head reader, on bytes as they arrive: the server hands it
// everything seen so far after every read. A head is read or refused the same way however
// it is cut, an answer never changes its mind once given, and whatever is read stays within
// its limits.
#include "FuzzChunks.h"
#include "HttpRequestReader.h"

#include <string>

namespace {

using Result = HttpRequestReader::Result;

void checkResult(const Result& result, std::string_view bytes, const HttpRequestReader& reader) {
    const HttpRequestReader::Limits& limits = reader.limits();
    switch (result.status) {
        case Result::NeedMore:
            FUZZ_CHECK(bytes.size() <= limits.headBytes);
            break;
        case Result::Error:
            FUZZ_CHECK(result.httpStatus == 400 || result.httpStatus == 414 || result.httpStatus == 431 ||
                       result.httpStatus == 505);
            FUZZ_CHECK(!result.reason.empty());
            break;
        case Result::Complete: {
            FUZZ_CHECK(result.headBytes > 0 && result.headBytes <= bytes.size());
            FUZZ_CHECK(result.headBytes <= limits.headBytes);
            FUZZ_CHECK(bytes[result.headBytes - 1] == '\n');
            const HttpRequest& request = result.request;
            FUZZ_CHECK(static_cast<int>(request.headers.size()) <= limits.headers);
            FUZZ_CHECK(!request.method.empty() && !request.path.empty() && request.path[0] == '/');
            FUZZ_CHECK(request.target.size() <= limits.requestLineBytes);
            FUZZ_CHECK(request.minorVersion >= 0 && request.minorVersion <= 9);
            FUZZ_CHECK(request.headerCount("Host") <= 1);
            // The head alone reads the same as the head with whatever followed it.
            const Result alone = reader.read(bytes.substr(0, result.headBytes));
            FUZZ_CHECK(alone.status == Result::Complete && alone.headBytes == result.headBytes);
            if (const std::string* host = request.header("Host")) {
                std::string name;
                int port = 0;
                if (HttpRequestReader::splitHost(*host, name, port)) {
                    FUZZ_CHECK(!name.empty());
                    FUZZ_CHECK(port >= -1 && port <= 65535);
                }
            }
            break;
        }
    }
}

// Feeds the input as a socket would deliver it; once the reader has answered, more bytes do
// not change the answer.
void feed(const HttpRequestReader& reader, const uint8_t* data, std::size_t size) {
    std::string seen;
    Result first;
    for (std::string_view chunk : fuzzChunks(data, size)) {
        seen.append(chunk);
        const Result result = reader.read(seen);
        checkResult(result, seen, reader);
        if (first.status == Result::NeedMore) {
            first = result;
        } else {
            FUZZ_CHECK(result.status == first.status);
            if (first.status == Result::Complete)
                FUZZ_CHECK(result.headBytes == first.headBytes && result.request.target == first.request.target);
        }
        if (seen.size() > reader.limits().headBytes + 1024)
            break;  // the server peeks no further than the head's limit
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const HttpRequestReader standard;
    feed(standard, data, size);
    // Small limits, so that short inputs reach every limit.
    HttpRequestReader::Limits small;
    small.requestLineBytes = 40;
    small.headBytes = 120;
    small.headers = 3;
    feed(HttpRequestReader(small), data, size);

    const std::string_view whole(reinterpret_cast<const char*>(data), size);
    checkResult(standard.read(whole), whole, standard);
    std::string name;
    int port = 0;
    if (HttpRequestReader::splitHost(whole.substr(0, 300), name, port))
        FUZZ_CHECK(!name.empty() && port >= -1 && port <= 65535);
    return 0;
}
