#pragma once

#include "commands/Commands.hpp"
#include "engine/CommandResult.hpp"

#include <string>
#include <vector>

class Core;

// A stream as a query shows it, copied under the engine lock so a door can print it after.
struct StreamView {
    unsigned int id{};
    std::string inputName, outputName;
    unsigned int inputDevice{}, outputDevice{}, sampleRate{}, bufferFrames{}, inputChannels{}, outputChannels{};
};

// What a command answers besides how it ended.
struct CommandPayload {
    int newStreamId{-1};             // AddStream, when done
    std::vector<StreamView> streams; // ListStreams
};

// Runs one command on the engine: Done, or Refused with the first reason the engine logged on the
// way. `payload`, when given, receives what the command answers.
// dispatch takes the engine lock (through runCommand, its only taker): for doors that do not hold it.
CommandResult dispatch(Core& core, const Command& command, CommandPayload* payload = nullptr);
// The same for a caller that already holds the lock (the socket's request handlers run under the one
// runCommand of their request): the lock is not recursive and must not be taken twice.
CommandResult dispatchUnderLock(Core& core, const Command& command, CommandPayload* payload = nullptr);
