#include "ctl/Output.hpp"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace Ctl {

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

void printTable(const Row& headers, const std::vector<Row>& rows) { std::cout << formatTable(headers, rows) << std::flush; }

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
