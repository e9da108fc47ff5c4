#include "relay_server/proxy_header.hpp"

#include <boost/asio/ip/address.hpp>
#include <vector>

namespace td::relay_server {
namespace {

constexpr std::string_view PREFIX = "PROXY ";

// Split at each single space: two spaces, or one at the end, make an empty field.
std::vector<std::string_view> fieldsOf(std::string_view line) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t space = line.find(' ');
        fields.push_back(line.substr(0, space));
        if (space == std::string_view::npos) {
            return fields;
        }
        line = line.substr(space + 1);
    }
}

bool isPort(std::string_view text) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 65535;
}

// The address as the relay counts addresses, when `text` is one of the family named: no zone,
// and an IPv4 address written as IPv6 is the IPv4 address.
std::string addressOf(std::string_view family, std::string_view text) {
    if (text.find_first_not_of("0123456789abcdefABCDEF.:") != std::string_view::npos) {
        return {};
    }
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(std::string(text), ec);
    if (ec || (family == "TCP4") != address.is_v4()) {
        return {};
    }
    return canonicalAddress(address.to_string());
}

}  // namespace

std::string canonicalAddress(const std::string& text) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(text, ec);
    if (ec) {
        return text;
    }
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6())
            .to_string();
    }
    return address.to_string();
}

ProxyHeaderScan scanProxyHeader(std::string_view bytes) {
    ProxyHeaderScan scan;
    const std::size_t compared = std::min(bytes.size(), PREFIX.size());
    if (bytes.substr(0, compared) != PREFIX.substr(0, compared)) {
        return scan;
    }
    const std::size_t end = bytes.find("\r\n");
    if (end == std::string_view::npos) {
        scan.kind = bytes.size() < MAX_PROXY_HEADER_BYTES ? ProxyHeaderScan::Kind::incomplete
                                                          : ProxyHeaderScan::Kind::refused;
        return scan;
    }
    if (end + 2 > MAX_PROXY_HEADER_BYTES) {
        return scan;
    }
    const auto fields = fieldsOf(bytes.substr(PREFIX.size(), end - PREFIX.size()));
    if (!fields.empty() && fields[0] == "UNKNOWN") {
        scan.kind = ProxyHeaderScan::Kind::complete;  // the rest of its line says nothing
        scan.bytes = end + 2;
        return scan;
    }
    if (fields.size() != 5 || (fields[0] != "TCP4" && fields[0] != "TCP6") || !isPort(fields[3]) ||
        !isPort(fields[4]) || addressOf(fields[0], fields[2]).empty()) {
        return scan;
    }
    scan.client = addressOf(fields[0], fields[1]);
    if (scan.client.empty()) {
        return scan;
    }
    scan.kind = ProxyHeaderScan::Kind::complete;
    scan.bytes = end + 2;
    return scan;
}

}  // namespace td::relay_server
