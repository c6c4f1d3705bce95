#pragma once

#include <string>

namespace IPC {

constexpr const char* kDefaultSocketPath = "/tmp/vantrell_sock";

// Where the engine listens and clients connect: VANTRELL_SOCKET when it is set and not empty,
// otherwise kDefaultSocketPath. The environment is read once per process, so a path never changes
// between the bind and the unlink at shutdown.
const std::string& socketPath();

} // namespace IPC
