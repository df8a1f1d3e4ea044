// Which peers may drive the camera over VISCA: entries, ranges and the socket addresses a
// server sees.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "ViscaPeers.h"

namespace {

ViscaPeers peers(const std::vector<std::string>& entries) {
    ViscaPeers result;
    std::string error;
    EXPECT_TRUE(result.setEntries(entries, &error)) << error;
    return result;
}

TEST(ViscaPeers, LoopbackIsAlwaysAllowedAndNothingElseByDefault) {
    const ViscaPeers none;
    for (const char* address : {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(none.allows(address)) << address;
    for (const char* address : {"128.0.0.1", "10.0.0.1", "::2", "::", "", "localhost", "127.0.0.1:52381"})
        EXPECT_FALSE(none.allows(address)) << address;
}

TEST(ViscaPeers, RangesMatchAtTheirEdges) {
    const ViscaPeers list = peers({"192.168.10.0/23", "10.1.2.3", "fd00:1::/32", "2001:db8::5/128"});
    EXPECT_TRUE(list.allows("192.168.10.0"));
    EXPECT_TRUE(list.allows("192.168.11.255"));
    EXPECT_FALSE(list.allows("192.168.12.0"));
    EXPECT_FALSE(list.allows("192.168.9.255"));
    EXPECT_TRUE(list.allows("10.1.2.3"));
    EXPECT_FALSE(list.allows("10.1.2.4"));
    EXPECT_TRUE(list.allows("fd00:1:ffff::1"));
    EXPECT_FALSE(list.allows("fd00:2::1"));
    EXPECT_TRUE(list.allows("2001:db8::5"));
    EXPECT_FALSE(list.allows("2001:db8::6"));
    // An IPv4 peer on a dual-stack socket, and an IPv4 entry never matching IPv6 bytes.
    EXPECT_TRUE(list.allows("::ffff:10.1.2.3"));
    EXPECT_FALSE(list.allows("::a01:203"));

    EXPECT_TRUE(peers({"0.0.0.0/0"}).allows("203.0.113.7"));
    EXPECT_FALSE(peers({"0.0.0.0/0"}).allows("2001:db8::1"));
    EXPECT_TRUE(peers({"::/0"}).allows("2001:db8::1"));
    // Host bits in a range mean its network.
    EXPECT_TRUE(peers({"172.16.5.9/16"}).allows("172.16.200.1"));
    EXPECT_TRUE(peers({"10.0.0.7/32"}).allows("10.0.0.7"));
    EXPECT_FALSE(peers({"10.0.0.7/32"}).allows("10.0.0.6"));
}

TEST(ViscaPeers, BadEntriesAreRefusedWithTheirText) {
    for (const char* entry :
         {"", "/24", "10.0.0.1/33", "::/129", "10.0.0.1/", "10.0.0.1/-1", "10.0.0.1/+8", "10.0.0.1/8/8",
          "10.0.0.256", "10.0.0", "fe80::1%eth0", "camera.local", " 10.0.0.1", "10.0.0.1/0008"}) {
        std::string error;
        ViscaPeers::Range range;
        EXPECT_FALSE(ViscaPeers::parse(entry, &range, &error)) << entry;
        EXPECT_NE(error.find(std::string("\"") + entry + "\""), std::string::npos) << error;
    }
    ViscaPeers list = peers({"10.0.0.1"});
    std::string error;
    EXPECT_FALSE(list.setEntries({"10.0.0.2", "nonsense"}, &error));
    EXPECT_NE(error.find("nonsense"), std::string::npos);
    EXPECT_TRUE(list.allows("10.0.0.1"));  // the old list stays
    EXPECT_FALSE(list.allows("10.0.0.2"));
}

TEST(ViscaPeers, SocketAddresses) {
    const ViscaPeers list = peers({"192.0.2.0/24", "2001:db8::/64"});
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.44", &v4.sin_addr);
    EXPECT_TRUE(list.allows(reinterpret_cast<sockaddr*>(&v4), sizeof v4));
    EXPECT_FALSE(list.allows(reinterpret_cast<sockaddr*>(&v4), sizeof v4 - 1));  // truncated
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:192.0.2.44", &v6.sin6_addr);
    EXPECT_TRUE(list.allows(reinterpret_cast<sockaddr*>(&v6), sizeof v6));
    inet_pton(AF_INET6, "2001:db8:0:1::1", &v6.sin6_addr);
    EXPECT_FALSE(list.allows(reinterpret_cast<sockaddr*>(&v6), sizeof v6));
    sockaddr local{};
    local.sa_family = AF_UNIX;
    EXPECT_FALSE(list.allows(&local, sizeof local));
    EXPECT_FALSE(list.allows(nullptr, 0));
}

}  // namespace
