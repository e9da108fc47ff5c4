#include "common/web_url.hpp"

#include <boost/url/parse.hpp>

namespace td {

bool isWebUrl(std::string_view text) {
    auto parsed = boost::urls::parse_uri(text);
    if (!parsed) {
        return false;
    }
    std::string scheme(parsed->scheme());
    for (char& c : scheme) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    return scheme == "http" || scheme == "https";
}

bool isHttpsUrl(std::string_view text) {
    auto parsed = boost::urls::parse_uri(text);
    return parsed && parsed->scheme() == "https" && parsed->has_authority() &&
           !parsed->host().empty() && !parsed->has_userinfo();
}

}  // namespace td
