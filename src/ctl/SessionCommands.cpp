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
    const FileStamp before = stampOf(path);
    engine.client.exchange(EPacketType::SaveSession, IPC::Packet<std::string>::serialize(path));
    const FileStamp after = stampOf(path);
    if (!after.exists || after == before)
        throw Failure(kRefused, "the engine did not save " + path + " (its log says why)");
    std::cout << "Saved session to " << path << "\n";
    return kOk;
}

int loadSession(const Invocation& call) {
    const std::string path = absoluteSessionPath(call.args[0]);
    // The engine answers a refused load like a good one (with the unchanged stream list): what it
    // holds afterwards is compared with what the file lists.
    const auto wanted = readSessionFile(path);
    EngineSession engine;
    engine.connection.send(EPacketType::LoadSession, IPC::Packet<std::string>::serialize(path));
    const auto streams = engine.client.awaitStreams();
    if (const auto difference = loadDifference(wanted, streams))
        throw Failure(kRefused, "the engine did not load " + path + ": " + *difference + " (its log says why)");
    std::cout << "Loaded session " << path << " (" << streams.size() << (streams.size() == 1 ? " stream" : " streams")
              << ")\n";
    return kOk;
}

int newSession(const Invocation&) {
    EngineSession engine;
    engine.connection.send(EPacketType::NewSession);
    const auto streams = engine.client.awaitStreams();
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
