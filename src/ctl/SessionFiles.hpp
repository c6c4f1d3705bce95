#pragma once

#include "ctl/Replies.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// What the client checks of session files itself: the engine answers a refused save or load as it
// answers a good one.
namespace Ctl {

// The largest session file the client reads, the engine's own bound: a file above it is refused
// without being sent. A session of 40 streams is some 50 kB.
constexpr std::size_t kLargestSessionFile = 4 << 20;

// The engine resolves a relative path against its own working directory, not the caller's.
std::string absoluteSessionPath(const std::string& path);

// A stream as a session file lists it: what the engine's stream list shows after a load.
struct SessionStream {
    int id{0};
    std::string name;
    std::optional<float> volume; // its VolumeEffect's, when the file sets one
};

// The streams `path` lists. Only a regular file is read, opened without blocking (a FIFO or a
// device would hold the caller until someone writes to it); throws Failure(kRefused) naming what
// is wrong: not a regular file, unreadable, too large, not a session file.
std::vector<SessionStream> readSessionFile(const std::string& path);

// Why the engine's streams after a load are not those the file lists; nothing when they are.
std::optional<std::string> loadDifference(const std::vector<SessionStream>& file,
                                          const std::vector<StreamEntry>& engine);

} // namespace Ctl
