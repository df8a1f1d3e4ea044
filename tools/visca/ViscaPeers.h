#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sys/socket.h>

// Who may send VISCA to the camera: loopback always (the machine's own programs), and the
// addresses and ranges the user listed. Entries are an IPv4 or IPv6 address ("192.168.1.20",
// "fd00::7") or a CIDR range ("192.168.1.0/24", "fd00::/8"); a range written with host bits
// ("192.168.1.20/24") means its network. IPv4 peers that reach a dual-stack socket as
// IPv4-mapped IPv6 addresses (::ffff:a.b.c.d) are matched against the IPv4 entries.
class ViscaPeers {
public:
    struct Range {
        bool v6 = false;
        std::array<uint8_t, 16> address{};  // IPv4 in the first four bytes
        int prefix = 0;                     // 0..32 or 0..128
    };

    // Reads one entry; false with a text for the user in `error` when it is not one.
    static bool parse(std::string_view entry, Range* range, std::string* error);
    // Adds an entry; false (and nothing added) when parse() refuses it.
    bool add(std::string_view entry, std::string* error);
    // Replaces the list; on a bad entry the list stays as it was and `error` names the entry.
    bool setEntries(const std::vector<std::string>& entries, std::string* error);

    bool allows(const sockaddr* address, socklen_t length) const;
    // Address text without a port; text that is no address is not allowed.
    bool allows(std::string_view addressText) const;

    const std::vector<Range>& ranges() const { return _ranges; }

private:
    bool allowsAddress(bool v6, const uint8_t* bytes) const;

    std::vector<Range> _ranges;
};
