#include "utilities/Utf8.hpp"

namespace Utilities {

std::size_t utf8Sequence(std::string_view text, char32_t& codePoint) {
    if (text.empty()) return 0;
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if ((lead & 0xe0) == 0xc0) {
        length = 2;
        smallest = 0x80;
        codePoint = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3;
        smallest = 0x800;
        codePoint = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4;
        smallest = 0x10000;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xc0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (next & 0x3f);
    }
    if (codePoint < smallest || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff)) return 0;
    return length;
}

bool isUtf8(std::string_view text) {
    char32_t codePoint = 0;
    while (!text.empty()) {
        const std::size_t length = utf8Sequence(text, codePoint);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

} // namespace Utilities
