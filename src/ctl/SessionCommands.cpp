// Sessions: save the engine's set-up to a file, load one, start afresh.

#include "ctl/Commands.hpp"
#include "ctl/Failure.hpp"
#include "ipc/Packet.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sys/stat.h>

namespace Ctl {

namespace {

// The engine resolves a relative path against its own working directory, not the caller's.
std::string absolutePath(const std::string& path) { return std::filesystem::absolute(path).lexically_normal(); }

struct FileStamp {
    bool exists{false};
    ino_t inode{0};
    timespec modified{};
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && inode == o.inode && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec;
    }
};

FileStamp stampOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    return {true, info.st_ino, info.st_mtim};
}

int saveSession(const Invocation& call) {
    const std::string path = absolutePath(call.args[0]);
    EngineSession engine;
    const FileStamp before = stampOf(path);
    engine.client.exchange(EPacketType::SaveSession, IPC::Packet<std::string>::serialize(path));
    // The engine writes a new file and renames it over the old one: a save changes the stamp.
    const FileStamp after = stampOf(path);
    if (!after.exists || after == before)
        throw Failure(kRefused, "the engine did not save " + path + " (its log says why)");
    std::cout << "Saved session to " << path << "\n";
    return kOk;
}

int loadSession(const Invocation& call) {
    const std::string path = absolutePath(call.args[0]);
    // The engine answers a refused load like a good one (with the unchanged stream list), so what
    // can be checked here is checked first.
    std::ifstream file(path);
    if (!file) throw Failure(kRefused, "cannot read " + path);
    const auto document = nlohmann::json::parse(file, nullptr, false);
    if (document.is_discarded() || !document.is_array() || document.size() < 3)
        throw Failure(kRefused, "not a session file: " + path);
    EngineSession engine;
    engine.connection.send(EPacketType::LoadSession, IPC::Packet<std::string>::serialize(path));
    const auto streams = engine.client.awaitStreams();
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
