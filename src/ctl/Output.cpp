#include "ctl/Output.hpp"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace Ctl {

namespace {

// Length of the well-formed UTF-8 sequence at `at` (U+00A0 and above), or 0.
std::size_t printableSequence(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = byte(at);
    const auto continuation = [&](std::size_t i) { return (byte(i) & 0xc0u) == 0x80u; };
    if (lead >= 0xc2 && lead <= 0xdf) return continuation(at + 1) && !(lead == 0xc2 && byte(at + 1) < 0xa0) ? 2 : 0;
    if (lead >= 0xe0 && lead <= 0xef) {
        if (!continuation(at + 1) || !continuation(at + 2)) return 0;
        if (lead == 0xe0 && byte(at + 1) < 0xa0) return 0;  // overlong
        if (lead == 0xed && byte(at + 1) >= 0xa0) return 0; // surrogates
        return 3;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        if (!continuation(at + 1) || !continuation(at + 2) || !continuation(at + 3)) return 0;
        if ((lead == 0xf0 && byte(at + 1) < 0x90) || (lead == 0xf4 && byte(at + 1) >= 0x90)) return 0;
        return 4;
    }
    return 0;
}

// The code point of the well-formed sequence of `length` bytes at `at`.
char32_t codePoint(const std::string& text, std::size_t at, std::size_t length) {
    const auto byte = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(text[at + i])); };
    static constexpr char32_t kLeadBits[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    char32_t value = byte(0) & kLeadBits[length];
    for (std::size_t i = 1; i < length; ++i) value = (value << 6) | (byte(i) & 0x3f);
    return value;
}

// Characters that print as nothing yet change what the text around them shows: bidirectional
// overrides, embeddings, isolates and marks (a name can read backwards, or hide its end), zero-width
// spaces and joiners, line and paragraph separators, the byte-order mark, tags.
bool invisibleFormat(char32_t c) {
    return c == 0xad || c == 0x61c || c == 0x180e || (c >= 0x200b && c <= 0x200f) || (c >= 0x2028 && c <= 0x202e) ||
           (c >= 0x2060 && c <= 0x206f) || c == 0xfeff || (c >= 0xfff9 && c <= 0xfffb) ||
           (c >= 0xe0000 && c <= 0xe007f);
}

} // namespace

std::string escapeForTerminal(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            out += text[i++];
            continue;
        }
        const std::size_t length = byte >= 0x80 ? printableSequence(text, i) : 0;
        if (length && !invisibleFormat(codePoint(text, i, length))) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        // Every byte of an invisible character is written out, as is a lone byte.
        for (const std::size_t end = i + std::max<std::size_t>(length, 1); i < end; ++i) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[i]));
            out += escaped;
        }
    }
    return out;
}

std::string formatTable(const Row& headers, const std::vector<Row>& rows) {
    std::vector<std::size_t> widths(headers.size(), 0);
    auto measure = [&](const Row& row) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    };
    measure(headers);
    for (const auto& row : rows) measure(row);
    std::string text;
    auto line = [&](const Row& row) {
        std::string out;
        for (std::size_t i = 0; i < row.size(); ++i) {
            out += row[i];
            if (i + 1 < row.size()) out += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        text += out + "\n";
    };
    line(headers);
    for (const auto& row : rows) line(row);
    return text;
}

void printTable(const Row& headers, const std::vector<Row>& rows) {
    // Names come from the engine and, through it, from any client: never raw to the terminal.
    std::vector<Row> escaped = rows;
    for (auto& row : escaped)
        for (auto& cell : row) cell = escapeForTerminal(cell);
    std::cout << formatTable(headers, escaped) << std::flush;
}

std::string escapeInvisibleInJson(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte >= 0x80 ? printableSequence(text, i) : 0;
        // DEL and the C1 controls, which the JSON writer leaves as they are, drive terminals too.
        if (byte == 0x7f) length = 1;
        if (byte == 0xc2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xe0u) == 0x80u) length = 2;
        const char32_t c = length ? codePoint(text, i, length) : 0;
        if (!length || !(c < 0xa0 || invisibleFormat(c))) {
            out.append(text, i, std::max<std::size_t>(length, 1));
            i += std::max<std::size_t>(length, 1);
            continue;
        }
        // Such characters only occur inside strings, where \u escapes mean the same.
        char escaped[16];
        if (c > 0xffff)
            std::snprintf(escaped, sizeof escaped, "\\u%04x\\u%04x", 0xd800 + ((c - 0x10000) >> 10),
                          0xdc00 + ((c - 0x10000) & 0x3ff));
        else
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
        out += escaped;
        i += length;
    }
    return out;
}

// Names from the engine need not be UTF-8: such bytes print as U+FFFD.
void printJson(const Json& value) {
    std::cout << escapeInvisibleInJson(value.dump(2, ' ', false, Json::error_handler_t::replace)) << "\n"
              << std::flush;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

} // namespace Ctl
