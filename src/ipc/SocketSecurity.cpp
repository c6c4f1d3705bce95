#include "ipc/SocketSecurity.hpp"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace IPC::SocketSecurity {

std::string describeUser(uid_t uid) {
    const std::string number = "uid " + std::to_string(uid);
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> scratch(4096);
    if (::getpwuid_r(uid, &entry, scratch.data(), scratch.size(), &found) != 0 || !found) return number;
    return std::string(found->pw_name) + " (" + number + ")";
}

std::optional<uid_t> foreignOwner(const char* path) {
    struct stat info {};
    if (::lstat(path, &info) != 0 || info.st_uid == ::geteuid()) return std::nullopt;
    return info.st_uid;
}

std::optional<uid_t> peerUser(int socket) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof(credentials))
        return std::nullopt;
    return credentials.uid;
}

} // namespace IPC::SocketSecurity
