#include "HttpRequestReader.h"

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// The characters of a method or a header name.
bool isTokenChar(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    switch (c) {
        case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
        case '-': case '.': case '^': case '_': case '`': case '|': case '~':
            return true;
        default:
            return false;
    }
}

bool isToken(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text) {
        if (!isTokenChar(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// Printable ASCII: what a target may hold (anything else arrives percent-encoded).
bool isVisible(unsigned char c) {
    return c >= 0x21 && c <= 0x7e;
}

// A header value's characters: visible, space, tab, and bytes of other encodings.
bool isValueChar(unsigned char c) {
    return c == ' ' || c == '\t' || isVisible(c) || c >= 0x80;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

using Result = HttpRequestReader::Result;

Result failure(int status, const char* reason) {
    Result result;
    result.status = Result::Error;
    result.httpStatus = status;
    result.reason = reason;
    return result;
}

// What a request line holds so far, before its end has arrived: a method of token
// characters, then a target and a version of visible characters, single spaces between.
// Refuses what could never become one, so noise is answered at once.
bool couldBeRequestLine(std::string_view partial) {
    int spaces = 0;
    for (std::size_t i = 0; i < partial.size(); ++i) {
        const auto c = static_cast<unsigned char>(partial[i]);
        if (c == ' ') {
            if (i == 0 || partial[i - 1] == ' ' || ++spaces > 2)
                return false;
            continue;
        }
        if (c == '\r')
            return i + 1 == partial.size();  // the line's end may follow
        if (spaces == 0 ? !isTokenChar(c) : !isVisible(c))
            return false;
    }
    return true;
}

// A header line so far: no control characters but a tab, and a final CR.
bool couldBeHeaderLine(std::string_view partial) {
    for (std::size_t i = 0; i < partial.size(); ++i) {
        const auto c = static_cast<unsigned char>(partial[i]);
        if (c == '\r' && i + 1 == partial.size())
            return true;
        if (!isValueChar(c))
            return false;
    }
    return true;
}

// METHOD SP TARGET SP HTTP/D.D; fills method, target, path, query and version.
Result readRequestLine(std::string_view line, HttpRequest& request) {
    const std::size_t firstSpace = line.find(' ');
    if (firstSpace == std::string_view::npos)
        return failure(400, "request line without a target");
    const std::size_t secondSpace = line.find(' ', firstSpace + 1);
    if (secondSpace == std::string_view::npos)
        return failure(400, "request line without a version");
    const std::string_view method = line.substr(0, firstSpace);
    const std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const std::string_view version = line.substr(secondSpace + 1);
    if (!isToken(method))
        return failure(400, "malformed method");
    if (target.empty())
        return failure(400, "empty target");
    for (char c : target) {
        if (!isVisible(static_cast<unsigned char>(c)) || c == '#')
            return failure(400, "malformed target");
    }
    // Absolute and authority forms are for proxies, which this server is not; so the Host
    // header is the only name the request carries.
    if (target.front() != '/')
        return failure(400, "the target must be a path");
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' || version[5] < '0' ||
        version[5] > '9' || version[7] < '0' || version[7] > '9')
        return failure(400, "malformed version");
    if (version[5] != '1')
        return failure(505, "only HTTP/1.0 and HTTP/1.1");

    request.method.assign(method);
    request.target.assign(target);
    const std::size_t question = target.find('?');
    request.path.assign(target.substr(0, question));
    if (question != std::string_view::npos)
        request.query.assign(target.substr(question + 1));
    request.minorVersion = version[7] - '0';
    Result ok;
    ok.status = Result::Complete;
    return ok;
}

// The rules a whole head has to keep that no single line shows.
Result checkHead(const HttpRequest& request) {
    const int hosts = request.headerCount("Host");
    if (hosts > 1)
        return failure(400, "more than one Host");
    if (hosts == 0 && request.minorVersion >= 1)
        return failure(400, "no Host");
    const std::string* lengthSeen = nullptr;
    for (const HttpRequest::Header& header : request.headers) {
        if (!equalsIgnoringCase(header.name, "Content-Length"))
            continue;
        // Digits only, and few enough that they mean a number; every copy the same.
        if (header.value.empty() || header.value.size() > 18 ||
            header.value.find_first_not_of("0123456789") != std::string::npos)
            return failure(400, "malformed Content-Length");
        if (lengthSeen && *lengthSeen != header.value)
            return failure(400, "conflicting Content-Length");
        lengthSeen = &header.value;
    }
    if (lengthSeen && request.header("Transfer-Encoding"))
        return failure(400, "both Content-Length and Transfer-Encoding");
    Result ok;
    ok.status = Result::Complete;
    return ok;
}

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const {
    for (const Header& h : headers) {
        if (equalsIgnoringCase(h.name, name))
            return &h.value;
    }
    return nullptr;
}

int HttpRequest::headerCount(std::string_view name) const {
    int count = 0;
    for (const Header& h : headers) {
        if (equalsIgnoringCase(h.name, name))
            ++count;
    }
    return count;
}

bool HttpRequest::headerHasToken(std::string_view name, std::string_view token) const {
    for (const Header& h : headers) {
        if (!equalsIgnoringCase(h.name, name))
            continue;
        std::string_view rest = h.value;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            if (equalsIgnoringCase(trimBlanks(rest.substr(0, comma)), token))
                return true;
            if (comma == std::string_view::npos)
                break;
            rest.remove_prefix(comma + 1);
        }
    }
    return false;
}

HttpRequestReader::Result HttpRequestReader::read(std::string_view bytes) const {
    std::size_t pos = 0;
    // Empty lines before a request are tolerated (some clients send one after a body); they
    // count toward the head.
    while (pos < bytes.size()) {
        if (bytes[pos] == '\n') {
            ++pos;
        } else if (bytes[pos] == '\r' && pos + 1 < bytes.size() && bytes[pos + 1] == '\n') {
            pos += 2;
        } else if (bytes[pos] == '\r' && pos + 1 == bytes.size()) {
            return Result{};
        } else {
            break;
        }
        if (pos > _limits.headBytes)
            return failure(431, "head too large");
    }

    std::size_t lineEnd = bytes.find('\n', pos);
    if (lineEnd == std::string_view::npos) {
        const std::string_view partial = bytes.substr(pos);
        if (partial.size() > _limits.requestLineBytes)
            return failure(414, "request line too long");
        if (bytes.size() > _limits.headBytes)
            return failure(431, "head too large");
        if (!couldBeRequestLine(partial))
            return failure(400, "not an HTTP request");
        return Result{};
    }
    std::string_view line = bytes.substr(pos, lineEnd - pos);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.size() > _limits.requestLineBytes)
        return failure(414, "request line too long");
    if (lineEnd + 1 > _limits.headBytes)
        return failure(431, "head too large");

    Result result;
    if (Result line1 = readRequestLine(line, result.request); line1.status == Result::Error)
        return line1;
    pos = lineEnd + 1;

    for (;;) {
        lineEnd = bytes.find('\n', pos);
        if (lineEnd == std::string_view::npos) {
            if (bytes.size() > _limits.headBytes)
                return failure(431, "head too large");
            if (!couldBeHeaderLine(bytes.substr(pos)))
                return failure(400, "malformed header line");
            return Result{};
        }
        if (lineEnd + 1 > _limits.headBytes)
            return failure(431, "head too large");
        line = bytes.substr(pos, lineEnd - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = lineEnd + 1;
        if (line.empty())
            break;
        // A line that continues the one before (obsolete folding) could be read two ways.
        if (isBlank(line.front()))
            return failure(400, "folded header line");
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return failure(400, "header line without a colon");
        const std::string_view name = line.substr(0, colon);
        if (!isToken(name))
            return failure(400, "malformed header name");
        const std::string_view value = trimBlanks(line.substr(colon + 1));
        for (char c : value) {
            if (!isValueChar(static_cast<unsigned char>(c)))
                return failure(400, "malformed header value");
        }
        if (static_cast<int>(result.request.headers.size()) >= _limits.headers)
            return failure(431, "too many headers");
        result.request.headers.push_back({std::string(name), std::string(value)});
    }

    if (Result checked = checkHead(result.request); checked.status == Result::Error)
        return checked;
    result.status = Result::Complete;
    result.headBytes = pos;
    return result;
}

bool HttpRequestReader::splitHost(std::string_view value, std::string& name, int& port) {
    name.clear();
    port = -1;
    std::string_view host;
    std::string_view rest;
    if (!value.empty() && value.front() == '[') {
        const std::size_t close = value.find(']');
        if (close == std::string_view::npos)
            return false;
        host = value.substr(1, close - 1);
        rest = value.substr(close + 1);
        if (host.empty())
            return false;
        for (char c : host) {
            const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            if (!hex && c != ':' && c != '.')
                return false;
        }
    } else {
        const std::size_t colon = value.find(':');
        host = value.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : value.substr(colon);
        if (host.empty() || host.size() > 253)
            return false;
        for (char c : host) {
            const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (!alnum && c != '-' && c != '.' && c != '_' && c != '~')
                return false;
        }
    }
    if (!rest.empty()) {
        if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6)
            return false;
        int number = 0;
        for (char c : rest.substr(1)) {
            if (c < '0' || c > '9')
                return false;
            number = number * 10 + (c - '0');
        }
        if (number > 65535)
            return false;
        port = number;
    }
    name.assign(host);
    return true;
}
