#include "ctl/EngineClient.hpp"

#include "ctl/Failure.hpp"
#include "ipc/Packet.hpp"

#include <algorithm>

namespace Ctl {

namespace {

// The engine pushes effect lists of any chain while a client is connected; an answer about
// `streamId` names it in every entry (an empty list names nothing).
bool aboutChain(const Frame& frame, int streamId) {
    const auto entries = decodeEffects(frame);
    return std::all_of(entries.begin(), entries.end(), [&](const EffectEntry& e) { return e.streamId == streamId; });
}

} // namespace

std::vector<DeviceEntry> EngineClient::devices(EPacketType type) {
    _connection.send(type);
    return decodeDevices(_connection.await(type));
}

std::vector<StreamEntry> EngineClient::awaitStreams() {
    auto list = decodeStreams(_connection.await(EPacketType::StreamList));
    // One fader value per stream follows, in list order.
    for (auto& stream : list) {
        const auto fader = decodeFader(_connection.await(EPacketType::FaderValue));
        if (fader.streamId == stream.id) stream.volume = fader.volume;
    }
    return list;
}

std::vector<StreamEntry> EngineClient::streamsAmong(const std::vector<Frame>& answers) {
    std::vector<StreamEntry> list;
    for (const auto& frame : answers) {
        if (frame.type == static_cast<std::uint16_t>(EPacketType::StreamList)) list = decodeStreams(frame);
        if (frame.type != static_cast<std::uint16_t>(EPacketType::FaderValue)) continue;
        const auto fader = decodeFader(frame);
        for (auto& stream : list)
            if (stream.id == fader.streamId) stream.volume = fader.volume;
    }
    return list;
}

std::vector<StreamEntry> EngineClient::streams() {
    _connection.send(EPacketType::StreamList);
    return awaitStreams();
}

StreamEntry EngineClient::requireStream(int id) {
    for (const auto& stream : streams())
        if (stream.id == id) return stream;
    throw Failure(kRefused, "no such stream: " + std::to_string(id));
}

std::vector<Frame> EngineClient::command(EPacketType type, const std::vector<char>& payload,
                                         CommandOutcome& outcome) {
    const int id = _nextCommandId++;
    _connection.sendCommand(id, type, payload);
    std::vector<Frame> answers;
    const auto deadline = _connection.replyDeadline();
    for (;;) {
        auto frame = _connection.receive(deadline);
        if (!frame) throw _connection.noReply();
        if (frame->type == static_cast<std::uint16_t>(EPacketType::CommandResult)) {
            outcome = decodeCommandOutcome(*frame);
            if (outcome.id == id) return answers;
            continue; // an earlier command's, given up on
        }
        answers.push_back(std::move(*frame));
    }
}

std::vector<Frame> EngineClient::command(EPacketType type, const std::vector<char>& payload,
                                         const std::string& refusal) {
    CommandOutcome outcome;
    auto answers = command(type, payload, outcome);
    if (!outcome.done)
        throw Failure(kRefused, refusal + (outcome.reason.empty() ? "" : ": " + outcome.reason));
    return answers;
}

std::vector<EffectEntry> EngineClient::awaitEffects(int streamId) {
    return decodeEffects(
        _connection.await(EPacketType::EffectList, [&](const Frame& f) { return aboutChain(f, streamId); }));
}

std::vector<EffectEntry> EngineClient::effects(int streamId) {
    _connection.send(EPacketType::EffectList, IPC::Packet<int>::serialize(streamId));
    return awaitEffects(streamId);
}

std::vector<EffectEntry> EngineClient::addableEffects(int streamId) {
    _connection.send(EPacketType::NotAddedEffects, IPC::Packet<int>::serialize(streamId));
    return decodeAddableEffects(_connection.await(EPacketType::NotAddedEffects));
}

std::optional<std::vector<ParameterEntry>> EngineClient::parameters(int streamId, const std::string& effect) {
    CommandOutcome outcome;
    const auto answers =
        command(EPacketType::EffectParameters, IPC::Packet<int, std::string>::serialize(streamId, effect), outcome);
    for (const auto& frame : answers) {
        if (frame.type != static_cast<std::uint16_t>(EPacketType::EffectParameters)) continue;
        auto list = decodeParameters(frame);
        // A push about a missing master effect names another effect.
        if (std::all_of(list.begin(), list.end(),
                        [&](const ParameterEntry& p) { return p.streamId == streamId && p.effect == effect; }))
            return list;
    }
    return std::nullopt;
}

std::vector<int> EngineClient::rates(int inputDevice, int outputDevice) {
    _connection.send(EPacketType::AvailableSampleRates, IPC::Packet<int, int>::serialize(inputDevice, outputDevice));
    return decodeRates(_connection.await(EPacketType::AvailableSampleRates));
}

} // namespace Ctl
