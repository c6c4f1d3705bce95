#pragma once

#include "engine/CommandResult.hpp"
#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include <utility>

// The one door of control commands. Runs `command` (returning a CommandResult) under the engine
// lock, so commands from the console, the socket's clients and the panel never interleave, and
// gives a refusal the first reason the engine reported on the way when the command did not name one.
template <class Operation>
CommandResult runCommand(Core& core, Operation&& command) {
    auto guard = core.lock();
    Utilities::FirstErrorScope firstError;
    CommandResult result = std::forward<Operation>(command)();
    if (!result.ok() && result.reason.empty()) result.reason = firstError.message();
    return result;
}
