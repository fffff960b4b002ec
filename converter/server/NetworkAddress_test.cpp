#include "NetworkAddress.h"

#include <gtest/gtest.h>

namespace {

using saltmark::server::EndpointText;
using saltmark::server::ParseListenAddress;
using saltmark::server::PeerFilter;
using saltmark::server::SplitHostPort;

TEST(ListenAddress, ReadsPortAloneOrWithAnAddress)
{
    const struct {
        const char* text;
        const char* endpoint;  // nullptr: refused
    } kCases[] = {
        {"10800", "0.0.0.0:10800"},
        {"127.0.0.1:0", "127.0.0.1:0"},
        {"[::1]:10800", "[::1]:10800"},
        {"::1:10800", nullptr},
        {"65536", nullptr},
        {"127.0.0.1:", nullptr},
        {"localhost:10800", nullptr},
        {"10800x", nullptr},
    };
    for (const auto& c : kCases) {
        std::string error;
        const auto endpoint = ParseListenAddress(c.text, error);
        if (c.endpoint == nullptr) {
            EXPECT_FALSE(endpoint) << c.text;
            EXPECT_FALSE(error.empty()) << c.text;
        } else {
            ASSERT_TRUE(endpoint) << c.text << ": " << error;
            EXPECT_EQ(EndpointText(*endpoint), c.endpoint);
        }
    }
}

// The dashboard's address may be a host name; the split alone judges brackets and the port.
TEST(ListenAddress, SplitsAHostNameFromItsPort)
{
    std::string host, error;
    unsigned port = 1;
    ASSERT_TRUE(SplitHostPort("8080", "127.0.0.1", host, port, error)) << error;
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8080u);
    ASSERT_TRUE(SplitHostPort("buoys.example:0", "127.0.0.1", host, port, error)) << error;
    EXPECT_EQ(host, "buoys.example");
    EXPECT_EQ(port, 0u);
    EXPECT_FALSE(SplitHostPort("::1", "127.0.0.1", host, port, error));
    EXPECT_NE(error.find("brackets"), std::string::npos) << error;
    EXPECT_FALSE(SplitHostPort(":8080", "127.0.0.1", host, port, error));
}

TEST(PeerFilter, MatchesNetworksOfBothFamilies)
{
    PeerFilter filter;
    std::string error;
    for (const char* range : {"12.47.179.0/25", "10.1.2.3", "2001:db8::/33"}) {
        ASSERT_TRUE(filter.Add(range, error)) << range << ": " << error;
    }
    const struct {
        const char* peer;
        bool allowed;
    } kPeers[] = {
        {"12.47.179.11", true},     {"12.47.179.127", true},     {"12.47.179.128", false},
        {"10.1.2.3", true},         {"10.1.2.4", false},         {"::ffff:12.47.179.11", true},
        {"2001:db8:7fff::1", true}, {"2001:db8:8000::1", false}, {"::1", false},
    };
    for (const auto& p : kPeers) {
        EXPECT_EQ(filter.Allows(boost::asio::ip::make_address(p.peer)), p.allowed) << p.peer;
    }
    for (const char* bad : {"10.0.0.0/33", "2001:db8::/129", "10.0.0/8", "10.0.0.0/", "net"}) {
        EXPECT_FALSE(filter.Add(bad, error)) << bad;
    }
    EXPECT_TRUE(PeerFilter().Allows(boost::asio::ip::make_address("203.0.113.9")));
}

}  // namespace
