#pragma once

#include "engine/CommandResult.hpp"
#include "ipc/EPacketType.hpp"
#include "ipc/Packet.hpp"

#include <functional>
#include <map>
#include <utility>
#include <vector>

class Core;

namespace IPC {

// Decodes a payload into the handler's field types and calls it.
template <typename... Fields>
CommandResult handlePacketFunction(std::vector<char> payload, int& clientSocket, Core* core,
                                   CommandResult (*handler)(int&, Core*, Fields...)) {
    Packet<Fields...> packet;
    packet.deserialize(payload);
    return std::apply([&](const Fields&... fields) { return handler(clientSocket, core, fields...); },
                      packet.getData());
}

// The table from packet type to handler, and the descriptor every handler replies to.
class PacketsRegistry {
public:
    explicit PacketsRegistry(Core* core);
    // The table's entries hold `this`.
    PacketsRegistry(const PacketsRegistry&) = delete;
    PacketsRegistry& operator=(const PacketsRegistry&) = delete;

    void set_client_fd(int clientSocket) { _client_fd = clientSocket; }
    // Runs the handler of `type` and returns how it ended; a type without one is reported on
    // standard error and dropped (the result: Unknown).
    CommandResult handlePacket(EPacketType type, const std::vector<char>& payload);

private:
    using Entry = std::function<CommandResult(std::vector<char>)>;

    template <typename... Fields>
    Entry entry(CommandResult (*handler)(int&, Core*, Fields...)) {
        return [this, handler](std::vector<char> payload) {
            return handlePacketFunction<Fields...>(std::move(payload), _client_fd, _core, handler);
        };
    }

    std::map<EPacketType, Entry> makeTable();

    int _client_fd{-1};
    Core* _core;
    const std::map<EPacketType, Entry> _packets;
};

} // namespace IPC
