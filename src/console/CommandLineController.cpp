#include "console/CommandLineController.hpp"

#include "console/Arguments.hpp"
#include "engine/CommandRunner.hpp"
#include "engine/Core.hpp"
#include "utilities/Log.hpp"
#include "utilities/Printable.hpp"
#include "utilities/Split.hpp"

#include <chrono>
#include <exception>
#include <iostream>
#include <thread>

// Static so that `vantrell --help` lists the commands without an engine.
const std::map<std::string, CommandLineController::Handler>& CommandLineController::commandTable() {
    static const std::map<std::string, Handler> table = {
        {"addChannelRedirect", &CommandLineController::addChannelRedirect},
        {"removeEffectFromStreamGroupSync", &CommandLineController::removeEffectFromStreamGroupSync},
        {"addEffectToStreamGroupSync", &CommandLineController::addEffectToStreamGroupSync},
        {"setStreamGroupVolumeRatioSync", &CommandLineController::setStreamGroupVolumeRatioSync},
        {"setStreamGroupVolumeLevelSync", &CommandLineController::setStreamGroupVolumeLevelSync},
        {"addStreamToStreamGroupSync", &CommandLineController::addStreamToStreamGroupSync},
        {"setStreamsGroupColor", &CommandLineController::setStreamsGroupColor},
        {"unlinkStreams", &CommandLineController::unlinkStreams},
        {"linkStreams", &CommandLineController::linkStreams},
        {"addEQFilter", &CommandLineController::addEQFilter},
        {"addEffect", &CommandLineController::addEffect},
        {"addMasterEffect", &CommandLineController::addMasterEffect},
        {"addStream", &CommandLineController::addStream},
        {"exit", &CommandLineController::exit},
        {"getEQFilterInfo", &CommandLineController::getEQFilterInfo},
        {"getStreamInfo", &CommandLineController::getStreamInfo},
        {"help", &CommandLineController::help},
        {"listStreams", &CommandLineController::listStreams},
        {"loadSession", &CommandLineController::loadSession},
        {"printChannelsRedirects", &CommandLineController::printChannelsRedirects},
        {"removeChannelRedirect", &CommandLineController::removeChannelRedirect},
        {"removeEQFilter", &CommandLineController::removeEQFilter},
        {"removeEffect", &CommandLineController::removeEffect},
        {"removeStream", &CommandLineController::removeStream},
        {"s", &CommandLineController::snapshot},
        {"saveSession", &CommandLineController::saveSession},
        {"setEQFilterParameter", &CommandLineController::setEQFilterParameter},
        {"setEffectEnable", &CommandLineController::setEffectEnable},
        {"setEffectParameter", &CommandLineController::setEffectParameter},
        {"setMasterEffectParameter", &CommandLineController::setMasterEffectParameter},
        {"startStream", &CommandLineController::startStream},
        {"stopStream", &CommandLineController::stopStream},
        {"updateInputDevicesList", &CommandLineController::updateInputDevicesList},
        {"updateOutputDevicesList", &CommandLineController::updateOutputDevicesList},
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
    {
        auto guard = core->lock();
        updateInputDevicesList();
        updateOutputDevicesList();
    }
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
    int code = 0;
    lastResult = runCommand(*core, [&] {
        code = (this->*command->second)();
        return commandFailed(code) ? CommandResult::refused() : CommandResult::done();
    });
    return code;
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
    return core->addStream(values[0], values[1], values[2], values[3], values[4], values[5]);
}

int CommandLineController::startStream() {
    auto id = optionalStreamId();
    return id ? core->startStream(*id) : -1;
}

int CommandLineController::stopStream() {
    auto id = optionalStreamId();
    return id ? core->stopStream(*id) : -1;
}

int CommandLineController::removeStream() {
    auto id = optionalStreamId();
    return id ? core->removeStream(*id) : -1;
}

int CommandLineController::updateInputDevicesList() { return core->updateInputDevicesList(); }

int CommandLineController::updateOutputDevicesList() { return core->updateOutputDevicesList(); }

int CommandLineController::getStreamInfo() {
    const auto streams = core->getStreams();
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
    auto stream = core->getStreamById(*id);
    if (!stream) return -1;
    // One write, so a line from an audio thread cannot land inside the block.
    std::cout << "Stream id: " + std::to_string(stream->getStreamId()) + "\n" +
                     "Stream: " + Utilities::printable(stream->getInputDeviceName()) + " -> " +
                     Utilities::printable(stream->getOutputDeviceName()) + "\n" +
                     "Input device id: " + std::to_string(stream->getInputParameters().deviceId) + "\n" +
                     "Output device id: " + std::to_string(stream->getOutputParameters().deviceId) + "\n" +
                     "Sample rate: " + std::to_string(stream->getSampleRate()) + "\n" +
                     "Buffer frames: " + std::to_string(stream->getBufferFrames()) + "\n" +
                     "Input channels: " + std::to_string(stream->getNChannelsInput()) + "\n" +
                     "Output channels: " + std::to_string(stream->getNChannelsOutput()) + "\n"
              << std::flush;
    return 0;
}

int CommandLineController::listStreams() {
    const auto streams = core->getStreams();
    if (streams.empty()) {
        Utilities::error("No stream found", "listStreams", __LINE__);
        return -1;
    }
    std::string listing;
    for (const auto& stream : streams)
        listing += "Stream id: " + std::to_string(stream->getStreamId()) + " : " +
                   Utilities::printable(stream->getInputDeviceName()) + " -> " +
                   Utilities::printable(stream->getOutputDeviceName()) + "\n";
    std::cout << listing << std::flush;
    return 0;
}

// ---- Routing ----

int CommandLineController::printChannelsRedirects() {
    if (!hasTokenCount(2)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    return id ? core->printChannelsRedirects(*id) : -1;
}

int CommandLineController::removeChannelRedirect() {
    if (!hasTokenCount(3)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    if (!id) return -1;
    auto index = unsignedArgument(2, "Invalid Channel Redirect Index");
    return index ? core->removeChannelRedirect(*id, *index) : -1;
}

int CommandLineController::addChannelRedirect() {
    if (!hasTokenCount(4)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    if (!id) return -1;
    auto input = unsignedArgument(2, "Invalid input channel ID");
    if (!input) return -1;
    auto output = unsignedArgument(3, "Invalid output channel ID");
    return output ? core->addChannelRedirect(*id, *input, *output) : -1;
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
