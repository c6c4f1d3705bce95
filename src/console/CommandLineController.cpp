#include "console/CommandLineController.hpp"

#include "console/Arguments.hpp"
#include "commands/CommandDispatcher.hpp"
#include "utilities/Log.hpp"
#include "utilities/Printable.hpp"
#include "utilities/Split.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iostream>
#include <thread>

// Static so that `vantrell --help` lists the commands without an engine. Each command's action words
// name it in "Failed to ...": "%1" .. "%3" stand for its arguments, an absent one for its default.
const std::map<std::string, CommandLineController::Entry>& CommandLineController::commandTable() {
    static const std::map<std::string, Entry> table = {
        {"addChannelRedirect", {&CommandLineController::addChannelRedirect, "add a channel redirect to stream %1"}},
        {"removeEffectFromStreamGroupSync",
         {&CommandLineController::removeEffectFromStreamGroupSync, "stop sharing %2 in group %1"}},
        {"addEffectToStreamGroupSync", {&CommandLineController::addEffectToStreamGroupSync, "share %2 in group %1"}},
        {"setStreamGroupVolumeRatioSync",
         {&CommandLineController::setStreamGroupVolumeRatioSync, "set the ratio sync of group %1"}},
        {"setStreamGroupVolumeLevelSync",
         {&CommandLineController::setStreamGroupVolumeLevelSync, "set the level sync of group %1"}},
        {"addStreamToStreamGroupSync",
         {&CommandLineController::addStreamToStreamGroupSync, "add stream %2 to group %1"}},
        {"setStreamsGroupColor", {&CommandLineController::setStreamsGroupColor, "set the colour of group %1"}},
        {"unlinkStreams", {&CommandLineController::unlinkStreams, "unlink stream %1"}},
        {"linkStreams", {&CommandLineController::linkStreams, "link streams"}},
        {"addEQFilter", {&CommandLineController::addEQFilter, "add a %2 to stream %1"}},
        {"addEffect", {&CommandLineController::addEffect, "add %2 to stream %1"}},
        {"addMasterEffect", {&CommandLineController::addMasterEffect, "add master effect %1"}},
        {"addStream", {&CommandLineController::addStream, "add a stream"}},
        {"exit", {&CommandLineController::exit, ""}},
        {"getEQFilterInfo", {&CommandLineController::getEQFilterInfo, "list the filters of stream %1"}},
        {"getStreamInfo", {&CommandLineController::getStreamInfo, "show stream %1"}},
        {"help", {&CommandLineController::help, ""}},
        {"listStreams", {&CommandLineController::listStreams, "list the streams"}},
        {"loadSession", {&CommandLineController::loadSession, "load a session"}},
        {"printChannelsRedirects",
         {&CommandLineController::printChannelsRedirects, "print the channel redirects of stream %1"}},
        {"removeChannelRedirect",
         {&CommandLineController::removeChannelRedirect, "remove channel redirect %2 of stream %1"}},
        {"removeEQFilter", {&CommandLineController::removeEQFilter, "remove filter %2 of stream %1"}},
        {"removeEffect", {&CommandLineController::removeEffect, "remove %2 from stream %1"}},
        {"removeStream", {&CommandLineController::removeStream, "remove stream %1"}},
        {"s", {&CommandLineController::snapshot, "take snapshots"}},
        {"saveSession", {&CommandLineController::saveSession, "save the session"}},
        {"setEQFilterParameter", {&CommandLineController::setEQFilterParameter, "set %3 of filter %2 on stream %1"}},
        {"setEffectEnable", {&CommandLineController::setEffectEnable, "switch %2 on stream %1"}},
        {"setEffectParameter", {&CommandLineController::setEffectParameter, "set %2 %3 on stream %1"}},
        {"setMasterEffectParameter", {&CommandLineController::setMasterEffectParameter, "set master %1 %2"}},
        {"startStream", {&CommandLineController::startStream, "start stream %1"}},
        {"stopStream", {&CommandLineController::stopStream, "stop stream %1"}},
        {"updateInputDevicesList", {&CommandLineController::updateInputDevicesList, "update the input devices"}},
        {"updateOutputDevicesList", {&CommandLineController::updateOutputDevicesList, "update the output devices"}},
    };
    return table;
}

std::vector<std::string> CommandLineController::commandNames() {
    std::vector<std::string> names;
    for (const auto& [name, handler] : commandTable()) names.push_back(name);
    return names;
}

CommandLineController::CommandLineController(Core* core) : core(core), commands(commandTable()) {
    Utilities::log("CommandLineController constructor");
}

void CommandLineController::run() {
    dispatch(*core, command::UpdateInputDevices{});
    dispatch(*core, command::UpdateOutputDevices{});
    bool idle = false;
    std::string line;
    while (running) {
        // Idle after end of input: the process goes on serving the socket without filling its
        // output with prompts.
        if (!idle) std::cout << "> ";
        if (std::cin.fail()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (!std::getline(std::cin, line)) {
            if (!std::cin.eof()) {
                Utilities::error("Unexpected input error", "run", __LINE__);
                return;
            }
            Utilities::log("No stdin available, switching to idle mode");
            idle = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        // A command that throws is a fault to fix, but it must not end the engine and its streams.
        try {
            parseCommand(line);
            // An unknown name was said by parseCommand; a known command that failed says why.
            if (commands.count(args[0]) && !lastResult.ok())
                Utilities::error(failureMessage(lastResult.reason), "run", __LINE__);
        } catch (const std::exception& failure) {
            Utilities::error(std::string("Command failed: ") + failure.what(), "run", __LINE__);
        }
    }
}

int CommandLineController::parseCommand(const std::string& line) {
    args = Utilities::split(line, ' ');
    const auto command = commands.find(args[0]);
    if (command == commands.end()) {
        Utilities::error("Command not found", "parseCommand", __LINE__);
        lastResult = CommandResult::unknown("Command not found");
        return -1;
    }
    // The tokens are read off the engine lock; a handler takes it through the dispatcher, which says why
    // the engine refused. A token refused before that is the reason.
    Utilities::FirstErrorScope firstError;
    lastResult = CommandResult::done();
    const int code = (this->*command->second.handler)();
    if (commandFailed(code) && lastResult.ok()) lastResult = CommandResult::refused(firstError.message());
    return code;
}

int CommandLineController::execute(const Command& command) {
    lastResult = dispatch(*core, command);
    return lastResult.ok() ? 0 : -1;
}

// ---- Argument helpers ----

std::optional<unsigned int> CommandLineController::unsignedArgument(std::size_t index,
                                                                    const std::string& message) const {
    auto value = index < args.size() ? Arguments::toUnsigned(args[index]) : std::nullopt;
    if (!value) Utilities::error(message, args[0], __LINE__);
    return value;
}

std::optional<float> CommandLineController::floatArgument(std::size_t index, const std::string& message) const {
    auto value = index < args.size() ? Arguments::toFloat(args[index]) : std::nullopt;
    if (!value) Utilities::error(message, args[0], __LINE__);
    return value;
}

std::optional<bool> CommandLineController::boolArgument(std::size_t index, const std::string& message) const {
    auto value = index < args.size() ? Arguments::toBool(args[index]) : std::nullopt;
    if (!value) Utilities::error(message, args[0], __LINE__);
    return value;
}

bool CommandLineController::hasTokenCount(std::size_t count) const {
    if (args.size() == count) return true;
    Utilities::error("Invalid number of arguments", args[0], __LINE__);
    return false;
}

std::optional<unsigned int> CommandLineController::optionalStreamId() const {
    if (args.size() < 2) return 0u;
    return unsignedArgument(1, "Invalid stream id");
}

// ---- Devices and streams ----

int CommandLineController::addStream() {
    // Missing values ask for the defaults; a token that is not a number is refused by its role.
    static const char* const roles[] = {"Invalid input device id", "Invalid output device id",
                                        "Invalid number of input channels", "Invalid number of output channels",
                                        "Invalid sample rate", "Invalid buffer frames"};
    unsigned int values[6] = {0, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < 6 && i + 1 < args.size(); ++i) {
        auto value = unsignedArgument(i + 1, roles[i]);
        if (!value) return -1;
        values[i] = *value;
    }
    CommandPayload payload;
    lastResult = dispatch(*core, command::AddStream{values[0], values[1], values[2], values[3], values[4], values[5]},
                          &payload);
    return payload.newStreamId;
}

int CommandLineController::startStream() {
    auto id = optionalStreamId();
    return id ? execute(command::StartStream{*id}) : -1;
}

int CommandLineController::stopStream() {
    auto id = optionalStreamId();
    return id ? execute(command::StopStream{*id}) : -1;
}

int CommandLineController::removeStream() {
    auto id = optionalStreamId();
    return id ? execute(command::RemoveStream{*id}) : -1;
}

int CommandLineController::updateInputDevicesList() { return execute(command::UpdateInputDevices{}); }

int CommandLineController::updateOutputDevicesList() { return execute(command::UpdateOutputDevices{}); }

int CommandLineController::getStreamInfo() {
    const auto streams = listedStreams();
    if (streams.empty()) {
        Utilities::error("No stream found", "getStreamInfo", __LINE__);
        return -1;
    }
    if (args.size() < 2) {
        Utilities::error("No stream id provided", "getStreamInfo", __LINE__);
        return -1;
    }
    auto id = unsignedArgument(1, "Invalid stream id");
    if (!id) return -1;
    const auto stream = std::find_if(streams.begin(), streams.end(), [&](const auto& s) { return s.id == *id; });
    if (stream == streams.end()) return -1;
    // One write, so a line from an audio thread cannot land inside the block.
    std::cout << "Stream id: " + std::to_string(stream->id) + "\n" +
                     "Stream: " + Utilities::printable(stream->inputName) + " -> " +
                     Utilities::printable(stream->outputName) + "\n" +
                     "Input device id: " + std::to_string(stream->inputDevice) + "\n" +
                     "Output device id: " + std::to_string(stream->outputDevice) + "\n" +
                     "Sample rate: " + std::to_string(stream->sampleRate) + "\n" +
                     "Buffer frames: " + std::to_string(stream->bufferFrames) + "\n" +
                     "Input channels: " + std::to_string(stream->inputChannels) + "\n" +
                     "Output channels: " + std::to_string(stream->outputChannels) + "\n"
              << std::flush;
    return 0;
}

int CommandLineController::listStreams() {
    const auto streams = listedStreams();
    if (streams.empty()) {
        Utilities::error("No stream found", "listStreams", __LINE__);
        return -1;
    }
    std::string listing;
    for (const auto& stream : streams)
        listing += "Stream id: " + std::to_string(stream.id) + " : " + Utilities::printable(stream.inputName) +
                   " -> " + Utilities::printable(stream.outputName) + "\n";
    std::cout << listing << std::flush;
    return 0;
}

std::vector<StreamView> CommandLineController::listedStreams() {
    CommandPayload payload;
    dispatch(*core, command::ListStreams{}, &payload);
    return payload.streams;
}

// ---- Routing ----

int CommandLineController::printChannelsRedirects() {
    if (!hasTokenCount(2)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    return id ? execute(command::PrintChannelRedirects{*id}) : -1;
}

int CommandLineController::removeChannelRedirect() {
    if (!hasTokenCount(3)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    if (!id) return -1;
    auto index = unsignedArgument(2, "Invalid Channel Redirect Index");
    return index ? execute(command::RemoveChannelRedirect{*id, *index}) : -1;
}

int CommandLineController::addChannelRedirect() {
    if (!hasTokenCount(4)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    if (!id) return -1;
    auto input = unsignedArgument(2, "Invalid input channel ID");
    if (!input) return -1;
    auto output = unsignedArgument(3, "Invalid output channel ID");
    return output ? execute(command::AddChannelRedirect{*id, *input, *output}) : -1;
}

// ---- Console ----

int CommandLineController::help() {
    std::string listing = "Available commands:\n";
    for (const auto& [name, handler] : commands) listing += name + "\n";
    std::cout << listing << std::flush;
    return 0;
}

int CommandLineController::exit() {
    running = false;
    return 0;
}
