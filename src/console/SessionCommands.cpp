// Console commands for sessions. The session manager reports its own failures, so these never
// return -1 and no "Command not found" follows a failed save or load.

#include "console/CommandLineController.hpp"
#include "sessions/SessionsManager.hpp"

int CommandLineController::saveSession() {
    if (!hasTokenCount(2)) return -1;
    SessionsManager(core).saveSession(args[1]);
    return 0;
}

int CommandLineController::loadSession() {
    if (!hasTokenCount(2)) return -1;
    SessionsManager(core).loadSession(args[1]);
    return 0;
}
