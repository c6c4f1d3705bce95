#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

// Who may reach the engine's socket: only processes of the user the engine runs as.
namespace IPC::SocketSecurity {

// "name (uid N)", or "uid N" when the user has no name.
std::string describeUser(uid_t uid);

// The user holding `path` when it exists and belongs to someone other than the engine's user.
std::optional<uid_t> foreignOwner(const char* path);

// The uid of the process at the other end of a connected Unix-domain socket, if the system says.
std::optional<uid_t> peerUser(int socket);

} // namespace IPC::SocketSecurity
