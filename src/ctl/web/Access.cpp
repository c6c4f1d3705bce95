#include "ctl/web/Access.hpp"

#include "ctl/Failure.hpp"

#include <sys/random.h>

namespace Ctl::Web {

namespace {

bool ownHost(const std::string& host, int port) {
    const std::string suffix = ":" + std::to_string(port);
    return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

// Compares in time that does not depend on where the first difference lies.
bool sameSecret(const std::string& given, const std::string& expected) {
    if (given.size() != expected.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    return difference == 0;
}

} // namespace

int refusalStatus(const RequestFacts& request, const std::string& token, int port) {
    if (!ownHost(request.host, port)) return 403;
    if (request.origin && !(request.origin->rfind("http://", 0) == 0 && ownHost(request.origin->substr(7), port)))
        return 403;
    if (token.empty() || !sameSecret(request.token, token)) return 401;
    return 0;
}

std::string makeToken() {
    unsigned char bytes[16];
    if (::getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes)))
        throw Failure(kRefused, "no random bytes for the panel's token");
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += kDigits[byte >> 4];
        token += kDigits[byte & 0xf];
    }
    return token;
}

} // namespace Ctl::Web
