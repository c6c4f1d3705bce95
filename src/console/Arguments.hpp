#pragma once

#include <optional>
#include <string>

// Number parsing for console tokens: leading blanks and a sign are accepted and parsing stops at
// the first character that does not belong to the number ("2x" is 2), but at least one digit is
// needed ("x2" is refused). A value out of range for its type is refused too, never thrown.
namespace Arguments {

std::optional<int> toInt(const std::string& token);
// Integers as the engine's unsigned ids: a negative number becomes its 32-bit unsigned equivalent.
std::optional<unsigned int> toUnsigned(const std::string& token);
std::optional<float> toFloat(const std::string& token);
// Exactly "true" or "false".
std::optional<bool> toBool(const std::string& token);

} // namespace Arguments
