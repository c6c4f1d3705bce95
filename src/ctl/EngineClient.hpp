#pragma once

#include "ctl/Connection.hpp"
#include "ctl/Replies.hpp"

#include <optional>
#include <string>
#include <vector>

namespace Ctl {

// Typed requests over one connection. The protocol has no error reply: a request that fails is
// either not answered or answered with the unchanged state, so requests that may go unanswered are
// followed by a stream-list request, whose answer marks the point where theirs would have been.
class EngineClient {
public:
    explicit EngineClient(Connection& connection) : _connection(connection) {}

    std::vector<DeviceEntry> devices(EPacketType type);
    std::vector<StreamEntry> streams();
    // The stream a command names; throws Failure(kRefused, "no such stream: ID") when there is none.
    StreamEntry requireStream(int id);
    // The list (and its fader values) that answers a request already sent.
    std::vector<StreamEntry> awaitStreams();

    std::vector<EffectEntry> effects(int streamId);
    std::vector<EffectEntry> addableEffects(int streamId);
    // Nothing when the chain has no effect of that name.
    std::optional<std::vector<ParameterEntry>> parameters(int streamId, const std::string& effect);
    std::vector<int> rates(int inputDevice, int outputDevice);

    // Sends a request and returns what answers it (possibly nothing), read up to the marker.
    std::vector<Frame> exchange(EPacketType type, const std::vector<char>& payload);
    // An effect list for `streamId` answering a request already sent.
    std::vector<EffectEntry> awaitEffects(int streamId);

    Connection& connection() { return _connection; }

private:
    Connection& _connection;
};

} // namespace Ctl
