#include "ViscaPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

bool prefixMatches(const uint8_t* a, const uint8_t* b, int prefix) {
    const int whole = prefix / 8;
    if (std::memcmp(a, b, std::size_t(whole)) != 0)
        return false;
    const int rest = prefix % 8;
    if (rest == 0)
        return true;
    const uint8_t mask = uint8_t(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is an IPv4 peer on a dual-stack socket.
bool isMapped(const uint8_t* v6) {
    static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(v6, prefix, sizeof prefix) == 0;
}

}  // namespace

bool ViscaPeers::parse(std::string_view entry, Range* range, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "\"" + std::string(entry) + "\": " + why;
        return false;
    };
    const std::size_t slash = entry.find('/');
    const std::string address(entry.substr(0, slash));
    if (address.empty())
        return fail("no address");

    Range parsed;
    if (inet_pton(AF_INET, address.c_str(), parsed.address.data()) == 1) {
        parsed.v6 = false;
    } else if (inet_pton(AF_INET6, address.c_str(), parsed.address.data()) == 1) {
        parsed.v6 = true;
    } else {
        return fail("not an IPv4 or IPv6 address");
    }
    const int maxPrefix = parsed.v6 ? 128 : 32;
    parsed.prefix = maxPrefix;
    if (slash != std::string_view::npos) {
        const std::string_view digits = entry.substr(slash + 1);
        if (digits.empty() || digits.size() > 3)
            return fail("the prefix length after \"/\" must be 0 to " + std::to_string(maxPrefix));
        int prefix = 0;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return fail("the prefix length after \"/\" must be 0 to " + std::to_string(maxPrefix));
            prefix = prefix * 10 + (c - '0');
        }
        if (prefix > maxPrefix)
            return fail("the prefix length after \"/\" must be 0 to " + std::to_string(maxPrefix));
        parsed.prefix = prefix;
    }
    // Keep the network only, so that equal ranges compare equal however they were written.
    const int bytes = parsed.v6 ? 16 : 4;
    for (int i = 0; i < bytes; ++i) {
        const int bitsHere = parsed.prefix - i * 8;
        if (bitsHere <= 0)
            parsed.address[std::size_t(i)] = 0;
        else if (bitsHere < 8)
            parsed.address[std::size_t(i)] &= uint8_t(0xFF << (8 - bitsHere));
    }
    if (range)
        *range = parsed;
    return true;
}

bool ViscaPeers::add(std::string_view entry, std::string* error) {
    Range range;
    if (!parse(entry, &range, error))
        return false;
    _ranges.push_back(range);
    return true;
}

bool ViscaPeers::setEntries(const std::vector<std::string>& entries, std::string* error) {
    std::vector<Range> ranges;
    for (const std::string& entry : entries) {
        Range range;
        if (!parse(entry, &range, error))
            return false;
        ranges.push_back(range);
    }
    _ranges = std::move(ranges);
    return true;
}

bool ViscaPeers::allowsAddress(bool v6, const uint8_t* bytes) const {
    if (v6 && isMapped(bytes)) {
        v6 = false;
        bytes += 12;
    }
    if (!v6 && bytes[0] == 127)
        return true;
    static const uint8_t loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (v6 && std::memcmp(bytes, loopback6, 16) == 0)
        return true;
    for (const Range& range : _ranges) {
        if (range.v6 == v6 && prefixMatches(range.address.data(), bytes, range.prefix))
            return true;
    }
    return false;
}

bool ViscaPeers::allows(const sockaddr* address, socklen_t length) const {
    if (address == nullptr)
        return false;
    if (address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) {
        sockaddr_in v4;
        std::memcpy(&v4, address, sizeof v4);
        return allowsAddress(false, reinterpret_cast<const uint8_t*>(&v4.sin_addr));
    }
    if (address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6))) {
        sockaddr_in6 v6;
        std::memcpy(&v6, address, sizeof v6);
        return allowsAddress(true, reinterpret_cast<const uint8_t*>(&v6.sin6_addr));
    }
    return false;
}

bool ViscaPeers::allows(std::string_view addressText) const {
    const std::string text(addressText);
    uint8_t bytes[16] = {};
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1)
        return allowsAddress(false, bytes);
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1)
        return allowsAddress(true, bytes);
    return false;
}
