// Session requests: save, load and new session. A load or a new session always ends with the stream
// list, so the front end sees what the engine holds whatever happened; the result says whether it
// was done.

#include "commands/CommandDispatcher.hpp"
#include "ipc/PacketFunction.hpp"
#include "utilities/Log.hpp"

namespace IPC::PacketFunction {

CommandResult saveSession(int& /*clientSocket*/, Core* core, std::string name) {
    Utilities::log("Saving session: " + name);
    return dispatchUnderLock(*core, command::SaveSession{std::move(name)});
}

CommandResult loadSession(int& clientSocket, Core* core, std::string name) {
    Utilities::log("Loading session: " + name);
    const auto result = dispatchUnderLock(*core, command::LoadSession{std::move(name)});
    sendStreams(clientSocket, core);
    return result;
}

CommandResult newSession(int& clientSocket, Core* core) {
    Utilities::log("Creating new session");
    dispatchUnderLock(*core, command::NewSession{});
    return sendStreams(clientSocket, core);
}

} // namespace IPC::PacketFunction
