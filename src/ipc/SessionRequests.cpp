// Session requests: save, load and new session. Failures are reported by the session manager's
// log lines only; a load or a new session always ends with the stream list, so the front end sees
// what the engine holds whatever happened.

#include "ipc/PacketFunction.hpp"
#include "sessions/SessionsManager.hpp"
#include "utilities/Log.hpp"

namespace IPC::PacketFunction {

void saveSession(int& /*clientSocket*/, Core* core, std::string name) {
    Utilities::log("Saving session: " + name);
    SessionsManager(core).saveSession(name);
}

void loadSession(int& clientSocket, Core* core, std::string name) {
    Utilities::log("Loading session: " + name);
    SessionsManager(core).loadSession(name);
    sendStreams(clientSocket, core);
}

void newSession(int& clientSocket, Core* core) {
    Utilities::log("Creating new session");
    SessionsManager(core).clearCurrentSession();
    sendStreams(clientSocket, core);
}

} // namespace IPC::PacketFunction
