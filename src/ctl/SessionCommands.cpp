// Sessions: save the engine's set-up to a file, load one, start afresh.

#include "ctl/Commands.hpp"
#include "ctl/Failure.hpp"
#include "ctl/SessionFiles.hpp"
#include "ipc/Packet.hpp"

#include <iostream>

namespace Ctl {

namespace {

int saveSession(const Invocation& call) {
    const std::string path = absoluteSessionPath(call.args[0]);
    EngineSession engine;
    engine.client.command(EPacketType::SaveSession, IPC::Packet<std::string>::serialize(path),
                          "the engine did not save " + path);
    std::cout << "Saved session to " << path << "\n";
    return kOk;
}

int loadSession(const Invocation& call) {
    const std::string path = absoluteSessionPath(call.args[0]);
    // A load the engine refuses says why; one it takes is also compared with what the file lists,
    // as a stream the file holds may still fail to come back.
    const auto wanted = readSessionFile(path);
    EngineSession engine;
    const auto streams = EngineClient::streamsAmong(engine.client.command(
        EPacketType::LoadSession, IPC::Packet<std::string>::serialize(path), "the engine did not load " + path));
    if (const auto difference = loadDifference(wanted, streams))
        throw Failure(kRefused, "the engine did not load " + path + ": " + *difference);
    std::cout << "Loaded session " << path << " (" << streams.size() << (streams.size() == 1 ? " stream" : " streams")
              << ")\n";
    return kOk;
}

int newSession(const Invocation&) {
    EngineSession engine;
    const auto streams = EngineClient::streamsAmong(
        engine.client.command(EPacketType::NewSession, {}, "the engine kept its session"));
    if (!streams.empty()) throw Failure(kRefused, "the engine kept " + std::to_string(streams.size()) + " streams");
    std::cout << "New session: no streams\n";
    return kOk;
}

} // namespace

std::vector<Command> sessionCommands() {
    return {
        {"save", "FILE", "saves the engine's set-up to a session file", 1, 1, 0, saveSession},
        {"load", "FILE", "replaces the engine's set-up by a session file's", 1, 1, 0, loadSession},
        {"new", "", "starts a new, empty session", 0, 0, 0, newSession},
    };
}

} // namespace Ctl
