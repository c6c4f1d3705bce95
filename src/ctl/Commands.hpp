#pragma once

#include "ctl/Connection.hpp"
#include "ctl/EngineClient.hpp"

#include <memory>
#include <string>
#include <vector>

namespace Ctl {

// Options a subcommand takes besides its positional arguments.
enum Option : unsigned {
    kJsonOption = 1,     // --json
    kOnceOption = 2,     // --once
    kChannelsOption = 4, // --channels N
    kPortOption = 8,     // --port N
    kNoBrowserOption = 16, // --no-browser
};

struct Invocation {
    std::string command;
    std::vector<std::string> args;
    bool json{false};
    bool once{false};
    int channels{2};
    int port{0}; // 0: the command's default
    bool noBrowser{false};
};

struct Command {
    std::string name;
    std::string arguments; // as the usage line shows them
    std::string summary;
    std::size_t minArgs{0};
    std::size_t maxArgs{0};
    unsigned options{0};
    int (*run)(const Invocation&);
};

// Every subcommand, in the order the help lists them.
const std::vector<Command>& commandTable();
const Command* findCommand(const std::string& name);
// The command with its arguments and options, as the help and the usage line show it.
std::string synopsis(const Command& command);
std::string usageLine(const Command& command);

// Parses the command line into an invocation of a known subcommand; throws Failure(kUsage).
Invocation parseInvocation(const std::vector<std::string>& tokens, const Command*& command);

// Argument `index` as a whole-token number; a usage failure for `command` otherwise.
int integerArgument(const Invocation& call, std::size_t index);
float floatArgument(const Invocation& call, std::size_t index);
[[noreturn]] void usageFailure(const std::string& command, const std::string& problem);

// A connection to the engine at the socket path, open, and a client over it.
struct EngineSession {
    EngineSession();
    Connection connection;
    EngineClient client;
};

std::vector<Command> streamCommands();
std::vector<Command> effectCommands();
std::vector<Command> sessionCommands();
std::vector<Command> monitorCommands();
std::vector<Command> webCommands();

} // namespace Ctl
