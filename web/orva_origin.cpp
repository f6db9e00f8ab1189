// orva_origin.cpp: refuses changes that another site's page makes the
// operator's browser send.
//
// DESIGN: the browser attaches the session cookie to a form that any site
// posts here, and with no password there is no cookie to withhold. The one
// thing such a request cannot fake is the Origin (or Referer) the browser
// puts on it, so a change is taken only from this server's own page, or
// from a client that names no page at all.
#include "orva_origin.h"

#include <strings.h>

#include <cctype>
#include <charconv>
#include <cstring>
#include <string_view>

namespace {

struct Authority {
    std::string_view host;
    unsigned port = 0;
};

constexpr unsigned kHttpPort = 80;
constexpr unsigned kHttpsPort = 443;

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// "host", "host:port", "[v6]" or "[v6]:port"; false when malformed.
bool parseAuthority(std::string_view text, unsigned defaultPort, Authority& out) {
    size_t hostEnd = text.rfind(':');
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos)
            return false;
        hostEnd = close + 1 < text.size() ? close + 1 : std::string_view::npos;
        if (hostEnd != std::string_view::npos && text[hostEnd] != ':')
            return false;
    }
    out.host = text.substr(0, hostEnd);
    out.port = defaultPort;
    if (hostEnd != std::string_view::npos) {
        std::string_view digits = text.substr(hostEnd + 1);
        auto result = std::from_chars(digits.data(), digits.data() + digits.size(), out.port);
        if (digits.empty() || result.ec != std::errc() || result.ptr != digits.data() + digits.size())
            return false;
    }
    return !out.host.empty() && out.host.find_first_of("@/ ") == std::string_view::npos;
}

// The scheme and authority of an Origin or Referer; false for anything but
// an http or https address of the scheme the server speaks.
bool parseSource(std::string_view url, bool tls, Authority& out) {
    std::string_view scheme = tls ? "https://" : "http://";
    if (url.size() < scheme.size() || !equalsNoCase(url.substr(0, scheme.size()), scheme))
        return false;
    url.remove_prefix(scheme.size());
    std::string_view authority = url.substr(0, url.find_first_of("/?#"));
    return parseAuthority(authority, tls ? kHttpsPort : kHttpPort, out);
}

bool sameServer(std::string_view source, std::string_view host, bool tls) {
    Authority from, here;
    return parseSource(source, tls, from) && parseAuthority(host, tls ? kHttpsPort : kHttpPort, here) &&
           from.port == here.port && equalsNoCase(from.host, here.host);
}

bool isAction(const char* arguments) {
    for (const char* action : {"start", "stop", "remove"}) {
        if (strcasecmp(arguments, action) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool orvaChangesState(const char* url, const char* arguments, bool post) {
    if (post)
        return true;
    return url && strncasecmp(url, "/channel", 8) == 0 && arguments && isAction(arguments);
}

const char* orvaCrossSiteRefusal(const OrvaRequestOrigin& request) {
    const char* source = request.origin ? request.origin : request.referer;
    if (!source)
        return nullptr;
    if (request.origin && strcmp(request.origin, "null") == 0)
        return "Refused: a change from a page without an origin (Origin: null)";
    if (!request.host)
        return "Refused: a change from a web page needs a Host header";
    if (!sameServer(source, request.host, request.tls))
        return request.origin ? "Refused: a change from another site (Origin is not this server)"
                              : "Refused: a change from another site (Referer is not this server)";
    return nullptr;
}
