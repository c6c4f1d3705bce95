// Session requests: save, load and new session. A load or a new session always ends with the stream
// list, so the front end sees what the engine holds whatever happened; the result says whether it
// was done.

#include "ipc/PacketFunction.hpp"
#include "sessions/SessionsManager.hpp"
#include "utilities/Log.hpp"

namespace IPC::PacketFunction {

CommandResult saveSession(int& /*clientSocket*/, Core* core, std::string name) {
    Utilities::log("Saving session: " + name);
    return CommandResult::fromCode(SessionsManager(core).saveSession(name));
}

CommandResult loadSession(int& clientSocket, Core* core, std::string name) {
    Utilities::log("Loading session: " + name);
    const auto result = CommandResult::fromCode(SessionsManager(core).loadSession(name));
    sendStreams(clientSocket, core);
    return result;
}

CommandResult newSession(int& clientSocket, Core* core) {
    Utilities::log("Creating new session");
    SessionsManager(core).clearCurrentSession();
    return sendStreams(clientSocket, core);
}

} // namespace IPC::PacketFunction
