#include "NetworkAddress.h"

#include <charconv>

namespace saltmark::server {

namespace {

namespace ip = boost::asio::ip;

// Every address as 16 bytes, so that one comparison serves both families.
ip::address_v6::bytes_type Mapped(const ip::address& address)
{
    if (address.is_v4()) {
        return ip::make_address_v6(ip::v4_mapped, address.to_v4()).to_bytes();
    }
    return address.to_v6().to_bytes();
}

std::optional<ip::address> ParseAddress(std::string_view text)
{
    boost::system::error_code error;
    ip::address address = ip::make_address(std::string(text), error);
    if (error) {
        return std::nullopt;
    }
    return address;
}

std::optional<unsigned> ParseDecimal(std::string_view text, unsigned largest)
{
    unsigned value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || status != std::errc() || end != text.data() + text.size() ||
        value > largest) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

bool SplitHostPort(std::string_view text, std::string_view defaultHost, std::string& host,
                   unsigned& port, std::string& error)
{
    std::string_view hostText = defaultHost, portText = text;
    if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        hostText = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (hostText.size() >= 2 && hostText.front() == '[' && hostText.back() == ']') {
            hostText = hostText.substr(1, hostText.size() - 2);
        } else if (hostText.find(':') != std::string_view::npos) {
            error = "an IPv6 address is written in brackets, the port after them: "
                    "[ADDR]:PORT, not '" + std::string(text) + "'";
            return false;
        }
        if (hostText.empty()) {
            error = "no address before the ':' of '" + std::string(text) + "'";
            return false;
        }
    }
    const std::optional<unsigned> portNumber = ParseDecimal(portText, 65535);
    if (!portNumber) {
        error = "'" + std::string(portText) + "' is no port number (0 to 65535)";
        return false;
    }
    host = hostText;
    port = *portNumber;
    return true;
}

std::optional<ip::tcp::endpoint> ParseListenAddress(std::string_view text, std::string& error)
{
    std::string host;
    unsigned port = 0;
    if (!SplitHostPort(text, "0.0.0.0", host, port, error)) {
        return std::nullopt;
    }
    const std::optional<ip::address> address = ParseAddress(host);
    if (!address) {
        error = "'" + host + "' is no IP address";
        return std::nullopt;
    }
    return ip::tcp::endpoint(*address, static_cast<unsigned short>(port));
}

std::string EndpointText(const ip::tcp::endpoint& endpoint)
{
    const ip::address address = endpoint.address();
    std::string host = address.to_string();
    if (address.is_v6()) {
        host = address.to_v6().is_v4_mapped()
                   ? ip::make_address_v4(ip::v4_mapped, address.to_v6()).to_string()
                   : "[" + host + "]";
    }
    return host + ":" + std::to_string(endpoint.port());
}

bool PeerFilter::Add(std::string_view cidr, std::string& error)
{
    const auto slash = cidr.find('/');
    const std::optional<ip::address> address = ParseAddress(cidr.substr(0, slash));
    if (!address) {
        error = "'" + std::string(cidr) + "' is no address or network (10.0.0.0/8)";
        return false;
    }
    const unsigned familyBits = address->is_v4() ? 32 : 128;
    unsigned prefix = familyBits;
    if (slash != std::string_view::npos) {
        const std::optional<unsigned> bits = ParseDecimal(cidr.substr(slash + 1), familyBits);
        if (!bits) {
            error = "'" + std::string(cidr) + "': the prefix length is 0 to " +
                    std::to_string(familyBits);
            return false;
        }
        prefix = *bits;
    }
    m_ranges.push_back({Mapped(*address), prefix + (128 - familyBits)});
    return true;
}

bool PeerFilter::Allows(const ip::address& peer) const
{
    if (m_ranges.empty()) {
        return true;
    }
    const ip::address_v6::bytes_type bytes = Mapped(peer);
    for (const Range& range : m_ranges) {
        unsigned bits = range.prefixBits;
        std::size_t i = 0;
        for (; bits >= 8 && bytes[i] == range.bytes[i]; ++i, bits -= 8) {
        }
        if (bits == 0 || (bits < 8 && ((bytes[i] ^ range.bytes[i]) >> (8 - bits)) == 0)) {
            return true;
        }
    }
    return false;
}

}  // namespace saltmark::server
