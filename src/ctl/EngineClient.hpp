#pragma once

#include "ctl/Connection.hpp"
#include "ctl/Replies.hpp"

#include <optional>
#include <string>
#include <vector>

namespace Ctl {

// Typed requests over one connection. A change is sent inside a Command: the engine answers it
// with the request's own replies, then its result (done, or refused with the reason). Queries go
// bare, as any front end sends them.
class EngineClient {
public:
    explicit EngineClient(Connection& connection) : _connection(connection) {}

    std::vector<DeviceEntry> devices(EPacketType type);
    std::vector<StreamEntry> streams();
    // The stream a command names; throws Failure(kRefused, "no such stream: ID") when there is none.
    StreamEntry requireStream(int id);
    // The list (and its fader values) that answers a request already sent.
    std::vector<StreamEntry> awaitStreams();
    // The stream list (and its fader values) among a command's answers; empty when none came.
    static std::vector<StreamEntry> streamsAmong(const std::vector<Frame>& answers);

    std::vector<EffectEntry> effects(int streamId);
    std::vector<EffectEntry> addableEffects(int streamId);
    // Nothing when the chain has no effect of that name.
    std::optional<std::vector<ParameterEntry>> parameters(int streamId, const std::string& effect);
    std::vector<int> rates(int inputDevice, int outputDevice);

    // Sends a request inside a Command and returns what answered it before its result (pushes from
    // the engine included). A refusal throws Failure(kRefused, "<refusal>: <the engine's reason>").
    std::vector<Frame> command(EPacketType type, const std::vector<char>& payload, const std::string& refusal);
    // The same, the outcome returned instead of thrown.
    std::vector<Frame> command(EPacketType type, const std::vector<char>& payload, CommandOutcome& outcome);
    // An effect list for `streamId` answering a request already sent.
    std::vector<EffectEntry> awaitEffects(int streamId);

    Connection& connection() { return _connection; }

private:
    Connection& _connection;
    int _nextCommandId{1};
};

} // namespace Ctl
