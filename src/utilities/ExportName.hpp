#pragma once

// Names of the streams' shared-memory exports, shared by the engine and vantrellctl. Header only:
// vantrellctl links no engine code.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace Utilities {

// Empty for the engine on the default socket, whose exports keep the names front ends know;
// otherwise 8 hex digits (FNV-1a) of the socket's absolute path, so engines on their own sockets
// never share an export name, and an engine and a vantrellctl that name one socket differently
// ("sock" in /run/me, "/run/me/./sock") agree.
inline std::string exportTag(const std::string& socketPath, const std::string& defaultSocketPath) {
    std::error_code failed;
    const auto absolute = std::filesystem::absolute(socketPath, failed);
    const std::string path = failed ? socketPath : absolute.lexically_normal().string();
    if (path == defaultSocketPath || socketPath == defaultSocketPath) return {};
    std::uint32_t hash = 2166136261u;
    for (const unsigned char byte : path) hash = (hash ^ byte) * 16777619u;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(hash));
    return text;
}

// "/Stream<id>", or "/Stream<id>-<tag>".
inline std::string exportName(unsigned int streamId, const std::string& tag) {
    return "/Stream" + std::to_string(streamId) + (tag.empty() ? "" : "-" + tag);
}

} // namespace Utilities
