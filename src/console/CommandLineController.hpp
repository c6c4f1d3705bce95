#pragma once

#include "commands/Commands.hpp"
#include "engine/CommandResult.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

class Core;
struct StreamView;

// The operator console on standard input: one command per line, tokens separated by single
// blanks, the first token looked up in a table of handlers. A handler reads its tokens, then hands
// one command to the dispatcher, which runs it under the engine lock, so it never interleaves with a
// front-end request; what a command prints is printed after.
class CommandLineController {
public:
    explicit CommandLineController(Core* core);

    // Reads and executes lines until "exit" or an input error; at end of input it idles forever.
    void run();
    // Runs one line; the command's own result (addStream: the new id). How it ended, with the
    // engine's reason, is in lastResult.
    int parseCommand(const std::string& line);
    // The console's command names, in the order `help` lists them.
    static std::vector<std::string> commandNames();

    // Devices and streams.
    int addStream();
    int startStream();
    int stopStream();
    int removeStream();
    int updateInputDevicesList();
    int updateOutputDevicesList();
    int getStreamInfo();
    int listStreams();
    // Routing.
    int printChannelsRedirects();
    int removeChannelRedirect();
    int addChannelRedirect();
    // Effects, equalizer filters, the master chain and snapshots.
    int setEffectParameter();
    int addEffect();
    int removeEffect();
    int setEffectEnable();
    int setEQFilterParameter();
    int addEQFilter();
    int removeEQFilter();
    int getEQFilterInfo();
    int setMasterEffectParameter();
    int addMasterEffect();
    int snapshot();
    // Stream groups.
    int linkStreams();
    int unlinkStreams();
    int setStreamsGroupColor();
    int addStreamToStreamGroupSync();
    int setStreamGroupVolumeLevelSync();
    int setStreamGroupVolumeRatioSync();
    int addEffectToStreamGroupSync();
    int removeEffectFromStreamGroupSync();
    // Sessions.
    int saveSession();
    int loadSession();
    // Console.
    int help();
    int exit();

private:
    using Handler = int (CommandLineController::*)();
    struct Entry {
        Handler handler;
        const char* action; // what "Failed to ..." says it tried
    };
    static const std::map<std::string, Entry>& commandTable();

    // Token `index` as an unsigned id; logs `message` (context: the command) when it does not parse.
    std::optional<unsigned int> unsignedArgument(std::size_t index, const std::string& message) const;
    std::optional<float> floatArgument(std::size_t index, const std::string& message) const;
    std::optional<bool> boolArgument(std::size_t index, const std::string& message) const;
    // Logs "Invalid number of arguments" unless there are exactly `count` tokens, name included.
    bool hasTokenCount(std::size_t count) const;
    // The optional stream id of startStream, stopStream and removeStream: 0 when absent.
    std::optional<unsigned int> optionalStreamId() const;
    // Dispatches `command` and keeps its result in lastResult: 0 when done, -1 when refused.
    int execute(const Command& command);
    // The stream table as a query shows it.
    std::vector<StreamView> listedStreams();
    // Whether the command in `args` failed, by its result.
    bool commandFailed(int result) const;
    // "Failed to start stream 3: <reason>": the command in `args` and the first error it logged.
    std::string failureMessage(const std::string& reason) const;

    Core* core;
    bool running{true};
    std::vector<std::string> args;
    std::map<std::string, Entry> commands;
    CommandResult lastResult;
};
