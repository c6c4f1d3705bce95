#include "ctl/Commands.hpp"

#include "ctl/Failure.hpp"
#include "ipc/SocketPath.hpp"

#include <charconv>
#include <cmath>

namespace Ctl {

namespace {

// Replies normally come in milliseconds; this only bounds a wait on an engine that has stopped.
constexpr std::chrono::milliseconds kReplyTimeout{3000};

std::string optionText(unsigned options) {
    std::string text;
    if (options & kJsonOption) text += " [--json]";
    if (options & kOnceOption) text += " [--once]";
    if (options & kChannelsOption) text += " [--channels N]";
    if (options & kPortOption) text += " [--port N]";
    if (options & kNoBrowserOption) text += " [--no-browser]";
    return text;
}

// The number an option takes, as "--name N" or "--name=N", within [lowest, highest]; `what` names it.
int optionNumber(const Invocation& call, const std::vector<std::string>& tokens, std::size_t& i, const std::string& name,
                 const std::string& what, int lowest, int highest) {
    const std::string& token = tokens[i];
    const std::string value =
        token.size() > name.size() ? token.substr(name.size() + 1) : (i + 1 < tokens.size() ? tokens[++i] : "");
    int number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size() || number < lowest || number > highest)
        usageFailure(call.command, name + " takes " + what + " from " + std::to_string(lowest) + " to " +
                                       std::to_string(highest) + ", not '" + value + "'");
    return number;
}

} // namespace

const std::vector<Command>& commandTable() {
    static const std::vector<Command> table = [] {
        std::vector<Command> all;
        for (auto family : {streamCommands(), effectCommands(), sessionCommands(), monitorCommands(), webCommands()})
            all.insert(all.end(), family.begin(), family.end());
        return all;
    }();
    return table;
}

const Command* findCommand(const std::string& name) {
    for (const auto& command : commandTable())
        if (command.name == name) return &command;
    return nullptr;
}

std::string synopsis(const Command& command) {
    std::string line = command.name;
    if (!command.arguments.empty()) line += " " + command.arguments;
    return line + optionText(command.options);
}

std::string usageLine(const Command& command) { return "usage: vantrellctl " + synopsis(command); }

void usageFailure(const std::string& command, const std::string& problem) {
    const Command* known = findCommand(command);
    throw Failure(kUsage, problem + "\n" + (known ? usageLine(*known) : "usage: vantrellctl COMMAND [ARGS...]; "
                                                                       "vantrellctl --help lists the commands"));
}

Invocation parseInvocation(const std::vector<std::string>& tokens, const Command*& command) {
    Invocation call;
    unsigned given = 0;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        if (token == "--json") {
            call.json = true;
            given |= kJsonOption;
        } else if (token == "--once") {
            call.once = true;
            given |= kOnceOption;
        } else if (token == "--channels" || token.rfind("--channels=", 0) == 0) {
            call.channels = optionNumber(call, tokens, i, "--channels", "a count", 1, 64);
            given |= kChannelsOption;
        } else if (token == "--port" || token.rfind("--port=", 0) == 0) {
            call.port = optionNumber(call, tokens, i, "--port", "a port number", 1, 65535);
            given |= kPortOption;
        } else if (token == "--no-browser") {
            call.noBrowser = true;
            given |= kNoBrowserOption;
        } else if (token.size() > 1 && token[0] == '-' && !std::isdigit(static_cast<unsigned char>(token[1]))) {
            usageFailure(call.command, "unknown option: " + token);
        } else if (call.command.empty()) {
            call.command = token;
        } else {
            call.args.push_back(token);
        }
    }
    if (call.command.empty()) usageFailure("", "no command given");
    command = findCommand(call.command);
    if (!command) usageFailure("", "unknown command: " + call.command);
    if (given & ~command->options) usageFailure(call.command, "option not taken by " + call.command);
    if (call.args.size() < command->minArgs) usageFailure(call.command, "missing arguments");
    if (call.args.size() > command->maxArgs) usageFailure(call.command, "too many arguments");
    return call;
}

int integerArgument(const Invocation& call, std::size_t index) {
    const std::string& text = call.args.at(index);
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        usageFailure(call.command, "not a whole number: '" + text + "'");
    return value;
}

float floatArgument(const Invocation& call, std::size_t index) {
    const std::string& text = call.args.at(index);
    float value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        usageFailure(call.command, "not a number: '" + text + "'");
    return value;
}

EngineSession::EngineSession() : connection(IPC::socketPath(), kReplyTimeout), client(connection) {
    connection.open();
}

} // namespace Ctl
