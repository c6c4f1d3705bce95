// What a control panel shows beyond the stream list: each stream's running state, channel counts,
// group, volume and routing; stopping a stream; switching one route; the groups. The two queries
// log nothing: a panel asks for them several times a second and the log would fill with them.

#include "commands/CommandDispatcher.hpp"
#include "engine/Core.hpp"
#include "ipc/PacketFunction.hpp"
#include "ipc/SocketUtils.hpp"
#include "utilities/Log.hpp"

#include <algorithm>

namespace IPC::PacketFunction {

using SocketUtils::sendPacket;
using SocketUtils::serializeValues;

CommandResult sendStreamStates(int& clientSocket, Core* core) {
    const auto streams = core->getStreams();
    std::vector<char> payload;
    serializeValues(payload, static_cast<int>(streams.size()));
    for (const auto& stream : streams) {
        serializeValues(payload, static_cast<int>(stream->getStreamId()), static_cast<int>(stream->getInputDeviceId()),
                        static_cast<int>(stream->getOutputDeviceId()), static_cast<int>(stream->getSampleRate()),
                        static_cast<int>(stream->getBufferFrames()), stream->getName(),
                        stream->isStarted() ? 1 : 0, static_cast<int>(stream->getNChannelsInput()),
                        static_cast<int>(stream->getNChannelsOutput()), stream->getGroupID(),
                        stream->getEffectParameterValue("VolumeEffect", "volume"));
        const auto redirects = stream->getChannelsRedirects();
        serializeValues(payload, static_cast<int>(redirects.size()));
        for (const auto& [input, output] : redirects)
            serializeValues(payload, static_cast<int>(input), static_cast<int>(output));
    }
    sendPacket(clientSocket, EPacketType::StreamStates, payload);
    return CommandResult::done();
}

CommandResult stopStream(int& clientSocket, Core* core, int streamId) {
    Utilities::log("Stopping stream: " + std::to_string(streamId));
    const auto result = dispatchUnderLock(*core, command::StopStream{static_cast<unsigned int>(streamId)});
    sendStreamStates(clientSocket, core);
    return result;
}

CommandResult setChannelRedirect(int& clientSocket, Core* core, int streamId, int inputChannel, int outputChannel, int on) {
    Utilities::log("Setting channel redirect on stream: " + std::to_string(streamId) + " " +
                   std::to_string(inputChannel) + " - " + std::to_string(outputChannel) + (on ? " on" : " off"));
    const auto id = static_cast<unsigned int>(streamId);
    const auto input = static_cast<unsigned int>(inputChannel), output = static_cast<unsigned int>(outputChannel);
    auto result = CommandResult::refused();
    if (on) {
        // Refusals (no such stream or channel, a route already there) are logged by the engine.
        result = dispatchUnderLock(*core, command::AddChannelRedirect{id, input, output});
    } else if (auto stream = core->findStream(id, "setChannelRedirect")) {
        const auto redirects = stream->getChannelsRedirects();
        const auto found = std::find(redirects.begin(), redirects.end(), ChannelRedirect{input, output});
        if (found == redirects.end())
            Utilities::error("ChannelRedirect not found", "setChannelRedirect", __LINE__);
        else
            result = dispatchUnderLock(
                *core, command::RemoveChannelRedirect{id, static_cast<unsigned int>(found - redirects.begin())});
    }
    sendStreamStates(clientSocket, core);
    return result;
}

CommandResult sendStreamGroups(int& clientSocket, Core* core) {
    const auto groups = core->getStreamGroupSyncs();
    const auto streams = core->getStreams();
    std::vector<char> payload;
    serializeValues(payload, static_cast<int>(groups.size()));
    for (const auto& group : groups) {
        const auto [red, green, blue] = group->getColor();
        const auto effects = group->getEffects();
        serializeValues(payload, static_cast<int>(group->getGroupId()), static_cast<int>(red),
                        static_cast<int>(green), static_cast<int>(blue), group->getVolumeLevel() ? 1 : 0,
                        group->getVolumeRatio() ? 1 : 0, static_cast<int>(effects.size()));
        for (const auto& effect : effects) serializeValues(payload, effect);
        // Membership lives on the streams.
        std::vector<int> members;
        for (const auto& stream : streams)
            if (stream->getGroupID() == static_cast<int>(group->getGroupId()))
                members.push_back(static_cast<int>(stream->getStreamId()));
        serializeValues(payload, static_cast<int>(members.size()));
        for (int member : members) serializeValues(payload, member);
    }
    sendPacket(clientSocket, EPacketType::StreamGroups, payload);
    return CommandResult::done();
}

} // namespace IPC::PacketFunction
