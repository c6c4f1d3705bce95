// vantrellctl: controls a running engine over its socket and meters its streams.

#include "ctl/Commands.hpp"
#include "ctl/Failure.hpp"
#include "ipc/SocketPath.hpp"

#include <exception>
#include <iostream>

namespace {

void printHelp() {
    std::string text = "usage: vantrellctl COMMAND [ARGS...] [--json]\n\n"
                       "Controls a running vantrell engine over its socket (" + IPC::socketPath() +
                       "; VANTRELL_SOCKET\nchanges it). Stream id -1 names the master chain in effect commands.\n\n";
    // Two blanks at least between a synopsis and its summary, so the shell completion can split them.
    constexpr std::size_t kSummaryColumn = 40;
    for (const auto& command : Ctl::commandTable()) {
        std::string line = "  " + Ctl::synopsis(command);
        // A synopsis too long for the column puts its summary on the next line.
        if (line.size() + 2 > kSummaryColumn) {
            text += line + "\n";
            line.clear();
        }
        text += line + std::string(kSummaryColumn - line.size(), ' ') + command.summary + "\n";
    }
    text += "\nOptions: --json (listings, meter --once), --once and --channels N (meter, default 2),\n"
            "--port N (web, default 8732 or the next free port) and --no-browser (web).\n"
            "Exit status: 0 done, 1 refused or not found, 2 bad arguments, 3 engine not running,\n"
            "4 no reply in time or connection lost.\n\n"
            "Guides: /usr/share/doc/vantrell/docs/ (vantrellctl.md.gz: the commands, the panel, the user\n"
            "service), or docs/ in the source.\n";
    std::cout << text;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> tokens(argv + 1, argv + argc);
    if (tokens.size() == 1 && (tokens[0] == "--help" || tokens[0] == "-h" || tokens[0] == "help")) {
        printHelp();
        return Ctl::kOk;
    }
    if (tokens.size() == 1 && tokens[0] == "--version") {
        std::cout << "vantrellctl " VANTRELL_VERSION "\n";
        return Ctl::kOk;
    }
    try {
        const Ctl::Command* command = nullptr;
        const Ctl::Invocation call = Ctl::parseInvocation(tokens, command);
        return command->run(call);
    } catch (const Ctl::Failure& failure) {
        std::cerr << "vantrellctl: " << failure.what() << "\n";
        return failure.status();
    } catch (const std::exception& failure) {
        std::cerr << "vantrellctl: " << failure.what() << "\n";
        return Ctl::kNoReply;
    }
}
