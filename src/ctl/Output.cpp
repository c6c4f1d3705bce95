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
        if (const std::size_t length = byte >= 0x80 ? printableSequence(text, i) : 0) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        out += escaped;
        ++i;
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

// Names from the engine need not be UTF-8: such bytes print as U+FFFD.
void printJson(const Json& value) {
    std::cout << value.dump(2, ' ', false, Json::error_handler_t::replace) << "\n" << std::flush;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

} // namespace Ctl
