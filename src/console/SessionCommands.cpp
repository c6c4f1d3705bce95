// Console commands for sessions. The session manager reports its own failures, so these never
// return -1 and no "Failed to ..." follows a failed save or load.

#include "commands/CommandDispatcher.hpp"
#include "console/CommandLineController.hpp"

int CommandLineController::saveSession() {
    if (!hasTokenCount(2)) return -1;
    dispatch(*core, command::SaveSession{args[1]});
    return 0;
}

int CommandLineController::loadSession() {
    if (!hasTokenCount(2)) return -1;
    dispatch(*core, command::LoadSession{args[1]});
    return 0;
}
