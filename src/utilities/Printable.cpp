#include "utilities/Printable.hpp"

#include "utilities/Utf8.hpp"

namespace Utilities {

namespace {

bool isHidden(char32_t codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7f && codePoint <= 0x9f) ||
           (codePoint >= 0x202a && codePoint <= 0x202e) || (codePoint >= 0x2066 && codePoint <= 0x2069);
}

void appendEscaped(std::string& out, std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        out += "\\x";
        out += kDigits[value >> 4];
        out += kDigits[value & 0xf];
    }
}

} // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char32_t codePoint = 0;
    while (!text.empty()) {
        std::size_t length = utf8Sequence(text, codePoint);
        if (length == 0) {
            appendEscaped(out, text.substr(0, 1));
            length = 1;
        } else if (isHidden(codePoint)) {
            appendEscaped(out, text.substr(0, length));
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

} // namespace Utilities
