#pragma once

#include <optional>
#include <string>

// Who may use the panel: a request must name the panel's own address as its Host, come from the
// panel's own page when it says where it comes from (Origin), and carry the token printed at start.
// The Host check stops pages that rebind a name of their own to 127.0.0.1; the Origin check stops
// other pages' scripts; the token stops other local programs and users.
namespace Ctl::Web {

struct RequestFacts {
    std::string host;
    std::optional<std::string> origin;
    std::string token; // from the query or the X-Vantrell-Token header; empty when neither has one
};

// 0 when the request may be served, else the HTTP status to refuse it with: 403 for a foreign Host
// or Origin, 401 for a missing or wrong token.
int refusalStatus(const RequestFacts& request, const std::string& token, int port);

// 32 hexadecimal digits from the kernel's random source.
std::string makeToken();

} // namespace Ctl::Web
