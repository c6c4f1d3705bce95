#pragma once

#include <string>
#include <string_view>

namespace Utilities {

// `text` as it may reach a terminal: names come from clients, files and other people's devices,
// and a control sequence in one would drive the operator's terminal. Control characters (C0, DEL,
// C1), the bidirectional overrides and isolates, and bytes that are not UTF-8 are written as \xHH,
// one per byte; everything else, other languages' letters included, is kept as it is.
std::string printable(std::string_view text);

} // namespace Utilities
