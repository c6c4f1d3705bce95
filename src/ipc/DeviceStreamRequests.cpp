// Device and stream requests, and the device-disconnect notification.

#include "commands/CommandDispatcher.hpp"
#include "effects/Effect.hpp"
#include "engine/Core.hpp"
#include "ipc/PacketFunction.hpp"
#include "ipc/SocketUtils.hpp"
#include "utilities/Log.hpp"

#include <iostream>

namespace IPC::PacketFunction {

namespace {

using SocketUtils::sendPacket;
using SocketUtils::serializeValues;

// Device list with each device's channel count in one direction, read from the engine's back end.
template <class ChannelsOf>
void sendDevices(int& clientSocket, Core* core, const DeviceList& devices, ChannelsOf channelsOf,
                 EPacketType type) {
    std::vector<char> payload;
    serializeValues(payload, static_cast<int>(devices.size()));
    audio::BackEnd* backEnd = core->audioBackEnd();
    for (const auto& [id, name] : devices) {
        const auto device = backEnd ? backEnd->device(id) : std::nullopt;
        const int channels = device ? static_cast<int>(channelsOf(*device)) : 0;
        serializeValues(payload, static_cast<int>(id), name, channels);
    }
    sendPacket(clientSocket, type, payload);
}

// A list of no entries: its count alone.
std::vector<char> emptyList() {
    std::vector<char> payload;
    serializeValues(payload, 0);
    return payload;
}

} // namespace

CommandResult printtest(int& /*clientSocket*/, Core* /*core*/, int a, int b) {
    std::cout << std::to_string(a) + " " + std::to_string(b) + "\n";
    return CommandResult::done();
}

CommandResult sendDeviceInputs(int& clientSocket, Core* core) {
    if (auto result = dispatchUnderLock(*core, command::UpdateInputDevices{}); !result.ok()) {
        Utilities::error("Error updating input devices list", "sendDeviceInputs", __LINE__);
        // Answered all the same: a client waiting for the list must not wait for the server.
        sendPacket(clientSocket, EPacketType::DeviceInputs, emptyList());
        return result;
    }
    const auto devices = core->getInputDevices();
    Utilities::log("Sending device inputs");
    sendDevices(
        clientSocket, core, devices, [](const audio::Device& info) { return info.inputChannels; },
        EPacketType::DeviceInputs);
    return CommandResult::done();
}

CommandResult sendDeviceOutputs(int& clientSocket, Core* core) {
    if (auto result = dispatchUnderLock(*core, command::UpdateOutputDevices{}); !result.ok()) {
        Utilities::error("Error updating output devices list", "sendDeviceOutputs", __LINE__);
        // Answered all the same: a client waiting for the list must not wait for the server.
        sendPacket(clientSocket, EPacketType::DeviceOutputs, emptyList());
        return result;
    }
    const auto devices = core->getOutputDevices();
    Utilities::log("Sending device output");
    sendDevices(
        clientSocket, core, devices, [](const audio::Device& info) { return info.outputChannels; },
        EPacketType::DeviceOutputs);
    return CommandResult::done();
}

CommandResult sendStreams(int& clientSocket, Core* core) {
    const auto streams = core->getStreams();
    if (streams.empty()) {
        // An empty table is an answer, not a failure.
        Utilities::error("No stream found, sending empty list", "sendStreams", __LINE__);
        sendPacket(clientSocket, EPacketType::StreamList, {});
        return CommandResult::done();
    }
    std::vector<char> payload;
    serializeValues(payload, static_cast<int>(streams.size()));
    for (const auto& stream : streams)
        serializeValues(payload, static_cast<int>(stream->getStreamId()),
                        static_cast<int>(stream->getInputParameters().deviceId),
                        static_cast<int>(stream->getOutputParameters().deviceId),
                        static_cast<int>(stream->getSampleRate()), static_cast<int>(stream->getBufferFrames()),
                        stream->getOptions().streamName);
    Utilities::log("Sending streams");
    sendPacket(clientSocket, EPacketType::StreamList, payload);
    for (const auto& stream : streams) sendFaderValue(clientSocket, core, static_cast<int>(stream->getStreamId()));
    return CommandResult::done();
}

CommandResult sendFaderValue(int& clientSocket, Core* core, int streamId) {
    Utilities::log("Getting fader value for stream: " + std::to_string(streamId));
    auto stream = core->getStreamById(static_cast<unsigned int>(streamId));
    if (!stream) {
        Utilities::error("Stream not found", "sendFaderValue", __LINE__);
        return CommandResult::refused();
    }
    const float volume = stream->getEffectParameterValue("VolumeEffect", "volume");
    std::vector<char> payload;
    serializeValues(payload, streamId, volume);
    Utilities::log("Sending fader value: " + std::to_string(volume));
    sendPacket(clientSocket, EPacketType::FaderValue, payload);
    return CommandResult::done();
}

CommandResult addStream(int& clientSocket, Core* core, int inputDeviceId, int outputDeviceId, int nInputChannels,
                        int nOutputChannels, int sampleRate, int bufferFrames) {
    Utilities::log("Adding stream with input device id: " + std::to_string(inputDeviceId) +
                   " output device id: " + std::to_string(outputDeviceId) +
                   " nInputChannels: " + std::to_string(nInputChannels) +
                   " nOutputChannels: " + std::to_string(nOutputChannels) +
                   " sampleRate: " + std::to_string(sampleRate) + " bufferFrames: " + std::to_string(bufferFrames));
    // A refused stream shows as its absence from the list that follows.
    const auto result = dispatchUnderLock(
        *core, command::AddStream{static_cast<unsigned int>(inputDeviceId), static_cast<unsigned int>(outputDeviceId),
                                  static_cast<unsigned int>(nInputChannels), static_cast<unsigned int>(nOutputChannels),
                                  static_cast<unsigned int>(sampleRate), static_cast<unsigned int>(bufferFrames)});
    sendStreams(clientSocket, core);
    return result;
}

CommandResult startStream(int& /*clientSocket*/, Core* core, int streamId) {
    Utilities::log("Starting stream: " + std::to_string(streamId));
    // Done means running: the stream's device streams have started by the time this returns.
    return dispatchUnderLock(*core, command::StartStream{static_cast<unsigned int>(streamId)});
}

CommandResult deleteStream(int& clientSocket, Core* core, int streamId) {
    Utilities::log("Deleting stream: " + std::to_string(streamId));
    const auto id = static_cast<unsigned int>(streamId);
    if (auto result = dispatchUnderLock(*core, command::RemoveStream{id}); !result.ok()) {
        Utilities::error("Stream not found", "deleteStream", __LINE__);
        return result;
    }
    return sendStreams(clientSocket, core);
}

CommandResult sendAvailableSampleRates(int& clientSocket, Core* core, int inputDeviceId, int outputDeviceId) {
    const auto rates = core->getAvailableSampleRates(static_cast<unsigned int>(inputDeviceId),
                                                     static_cast<unsigned int>(outputDeviceId));
    if (rates.empty()) {
        Utilities::error("No sample rates found, sending empty list", "sendAvailableSampleRates", __LINE__);
        sendPacket(clientSocket, EPacketType::AvailableSampleRates, {});
        return CommandResult::refused();
    }
    std::vector<char> payload;
    serializeValues(payload, static_cast<int>(rates.size()));
    for (int rate : rates) serializeValues(payload, rate, 0);
    Utilities::log("Sending available sample rates");
    sendPacket(clientSocket, EPacketType::AvailableSampleRates, payload);
    return CommandResult::done();
}

CommandResult editStream(int& clientSocket, Core* core, int streamId, int inputDeviceId, int outputDeviceId,
                         int nChannelsInput, int nChannelsOutput, int sampleRate, int bufferFrames,
                         std::string streamName) {
    // A stream that is not there has no list to answer with.
    const bool known = core->getStreamById(static_cast<unsigned int>(streamId)) != nullptr;
    const auto result = dispatchUnderLock(
        *core, command::EditStream{static_cast<unsigned int>(streamId), static_cast<unsigned int>(inputDeviceId),
                                   static_cast<unsigned int>(outputDeviceId), static_cast<unsigned int>(nChannelsInput),
                                   static_cast<unsigned int>(nChannelsOutput), static_cast<unsigned int>(sampleRate),
                                   static_cast<unsigned int>(bufferFrames), std::move(streamName)});
    if (!known) return result;
    if (result.ok())
        Utilities::log("Stream edited successfully");
    else
        Utilities::error("Error while editing stream", "editStream", __LINE__);
    // Either way the front end sees the stream as it now stands.
    sendStreams(clientSocket, core);
    return result;
}

void sendDeviceDisconnect(int& clientSocket, Core* /*core*/, int deviceId) {
    std::vector<char> payload;
    serializeValues(payload, deviceId, 0);
    Utilities::log("Sending device disconnect for device id: " + std::to_string(deviceId));
    sendPacket(clientSocket, EPacketType::DeviceDisconnect, payload);
}

} // namespace IPC::PacketFunction
