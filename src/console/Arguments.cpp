#include "console/Arguments.hpp"

#include <stdexcept>

namespace Arguments {

std::optional<int> toInt(const std::string& token) {
    try {
        return std::stoi(token);
    } catch (const std::logic_error&) {  // invalid_argument and out_of_range
        return std::nullopt;
    }
}

std::optional<unsigned int> toUnsigned(const std::string& token) {
    if (auto value = toInt(token)) return static_cast<unsigned int>(*value);
    return std::nullopt;
}

std::optional<float> toFloat(const std::string& token) {
    try {
        return std::stof(token);
    } catch (const std::logic_error&) {
        return std::nullopt;
    }
}

std::optional<bool> toBool(const std::string& token) {
    if (token == "true") return true;
    if (token == "false") return false;
    return std::nullopt;
}

} // namespace Arguments
