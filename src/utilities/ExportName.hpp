#pragma once

// Names of the streams' shared-memory exports, shared by the engine and vantrellctl. Header only:
// vantrellctl links no engine code.

#include <cstdint>
#include <cstdio>
#include <string>

namespace Utilities {

// Empty for the engine on the default socket, whose exports keep the names front ends know;
// otherwise 8 hex digits (FNV-1a) of the socket path, so engines on their own sockets never share
// an export name.
inline std::string exportTag(const std::string& socketPath, const std::string& defaultSocketPath) {
    if (socketPath == defaultSocketPath) return {};
    std::uint32_t hash = 2166136261u;
    for (const unsigned char byte : socketPath) hash = (hash ^ byte) * 16777619u;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(hash));
    return text;
}

// "/Stream<id>", or "/Stream<id>-<tag>".
inline std::string exportName(unsigned int streamId, const std::string& tag) {
    return "/Stream" + std::to_string(streamId) + (tag.empty() ? "" : "-" + tag);
}

} // namespace Utilities
