#pragma once
// The addresses on the server's command line: where to listen, and which peers may connect.

#include <boost/asio/ip/tcp.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace saltmark::server {

// Splits "[HOST:]PORT" into the host (`defaultHost` when only the port is given; an IPv6
// address stands in brackets, which are taken off) and the port number (0 to 65535). False
// with the reason in `error`.
bool SplitHostPort(std::string_view text, std::string_view defaultHost, std::string& host,
                   unsigned& port, std::string& error);

// "[ADDR:]PORT": an IPv4 address, or an IPv6 address in brackets ("[::1]:10800"); every IPv4
// interface (0.0.0.0) when only the port is given. Port 0 lets the system pick one.
std::optional<boost::asio::ip::tcp::endpoint> ParseListenAddress(std::string_view text,
                                                                 std::string& error);

// "ADDR:PORT" as the log shows a peer or the listening socket.
std::string EndpointText(const boost::asio::ip::tcp::endpoint& endpoint);

// The peers allowed to connect: any, until a range is added; then only those in a range.
// An IPv4 peer reaching an IPv6 socket (::ffff:a.b.c.d) is matched as the IPv4 address.
class PeerFilter {
public:
    // "10.0.0.0/8", "2001:db8::/32", or one address ("12.47.179.11"). False with `error`.
    bool Add(std::string_view cidr, std::string& error);
    bool Allows(const boost::asio::ip::address& peer) const;
    bool Empty() const { return m_ranges.empty(); }

private:
    struct Range {
        boost::asio::ip::address_v6::bytes_type bytes;  // IPv4 as IPv4-mapped IPv6
        unsigned prefixBits;
    };
    std::vector<Range> m_ranges;
};

}  // namespace saltmark::server
