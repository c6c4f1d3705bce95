#pragma once

#include <cstddef>
#include <string_view>

namespace Utilities {

// The length of the well-formed UTF-8 sequence at the start of `text` (1 to 4) and its code point,
// or 0 when it is not one: a stray or missing continuation byte, an overlong form, a surrogate or a
// code point past U+10FFFF.
std::size_t utf8Sequence(std::string_view text, char32_t& codePoint);

// Whether every byte of `text` belongs to a well-formed UTF-8 sequence.
bool isUtf8(std::string_view text);

} // namespace Utilities
