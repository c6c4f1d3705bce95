#pragma once

#include <string>
#include <vector>

namespace Utilities {

// Splits at every delimiter and keeps empty tokens: "" gives {""}, "a  b" gives {"a", "", "b"}.
std::vector<std::string> split(const std::string& text, char delimiter);

} // namespace Utilities
