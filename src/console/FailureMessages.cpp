// What the console says after a command that ran and failed: what it tried, on what, and the first
// error it met, so a user does not go looking for a typo ("Command not found" is for unknown names).

#include "console/CommandLineController.hpp"

bool CommandLineController::commandFailed(int result) const {
    // addStream answers the new stream's id; every other command 0 for success.
    return args[0] == "addStream" ? result < 0 : result != 0;
}

std::string CommandLineController::failureMessage(const std::string& reason) const {
    const auto found = commands.find(args[0]);
    std::string action = found == commands.end() || !*found->second.action ? args[0] : found->second.action;
    for (char index = '1'; index <= '3'; ++index) {
        const std::string marker{'%', index};
        const auto at = action.find(marker);
        if (at == std::string::npos) continue;
        const std::size_t argument = static_cast<std::size_t>(index - '0');
        // The stream commands take stream 0 when no id is given.
        action.replace(at, marker.size(), argument < args.size() ? args[argument] : "0");
    }
    return "Failed to " + action + (reason.empty() ? "" : ": " + reason);
}
