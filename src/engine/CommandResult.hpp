#pragma once

#include <cstdint>
#include <string>
#include <utility>

// How a control command ended: done, or refused with the reason the engine gives for it (the line
// its log holds). Every door of the engine (console, socket, panel) gets one of these back.
struct CommandResult {
    enum class Status : std::int32_t {
        Done = 0,
        Refused = 1, // the engine would not, or could not, do it; `reason` says why
        Unknown = 2, // no such command
    };

    Status status{Status::Done};
    std::string reason;

    static CommandResult done() { return {}; }
    static CommandResult refused(std::string why = {}) { return {Status::Refused, std::move(why)}; }
    static CommandResult unknown(std::string why) { return {Status::Unknown, std::move(why)}; }
    // From the engine's own convention: 0 is success, anything else a refusal said in the log.
    static CommandResult fromCode(int code) { return code == 0 ? done() : refused(); }

    bool ok() const { return status == Status::Done; }
};
