#include "ipc/SocketPath.hpp"

#include <cstdlib>

namespace IPC {

const std::string& socketPath() {
    static const std::string path = [] {
        const char* chosen = std::getenv("VANTRELL_SOCKET");
        return std::string(chosen && *chosen ? chosen : kDefaultSocketPath);
    }();
    return path;
}

} // namespace IPC
