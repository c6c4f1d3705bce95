// The Core's device lists, enumerated through a fresh audio instance on every refresh.

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include <algorithm>
#include <map>

namespace {

// Rebuilds one list; `channelsOf` picks the direction's channel count from a device's info.
template <class ChannelsOf>
int refreshList(RtAudio& rtAudio, DeviceList& list, std::map<unsigned int, std::string>& known,
                std::set<unsigned int>& announcedLost, ChannelsOf channelsOf, const std::string& addedPrefix,
                const std::string& channelsLabel, const std::string& noneFound, const char* context) {
    const auto ids = rtAudio.getDeviceIds();
    list.clear();
    if (ids.empty()) {
        Utilities::error("No audio devices found", context, __LINE__);
        return -1;
    }
    for (unsigned int id : ids) {
        const auto info = rtAudio.getDeviceInfo(id);
        const unsigned int channels = channelsOf(info);
        if (channels == 0) continue;
        list.emplace_back(id, info.name);
        known[id] = info.name;
        announcedLost.erase(id);
        Utilities::log(addedPrefix + info.name + " with id: " + std::to_string(id) + channelsLabel +
                       std::to_string(channels));
    }
    if (list.empty()) {
        Utilities::error(noneFound, context, __LINE__);
        return -1;
    }
    return 0;
}

} // namespace

int Core::updateInputDevicesList() {
    if (resetRtAudioInstance() == -1) {
        Utilities::error("Failed to reset RtAudio instance", "updateInputDevicesList", __LINE__);
        return -1;
    }
    return refreshList(
        *rtAudio, inputDevices, knownDeviceNames, lostInputs, [](const RtAudio::DeviceInfo& info) { return info.inputChannels; },
        "Added input device: ", " nInputChannels: ", "No input devices found", "updateInputDevicesList");
}

int Core::updateOutputDevicesList() {
    if (resetRtAudioInstance() == -1) {
        Utilities::error("Failed to reset RtAudio instance", "updateOutputDevicesList", __LINE__);
        return -1;
    }
    return refreshList(
        *rtAudio, outputDevices, knownDeviceNames, lostOutputs, [](const RtAudio::DeviceInfo& info) { return info.outputChannels; },
        "Added output device: ", " nOutputChannels: ", "No output devices found", "updateOutputDevicesList");
}

int Core::resetRtAudioInstance() {
    auto fresh = rtAudioFactory ? rtAudioFactory(nullptr) : nullptr;
    if (!fresh) {
        Utilities::error("RtAudio error while resetting instance", "resetRtAudioInstance", __LINE__);
        return -1;
    }
    if (rtAudio && rtAudio->isStreamOpen()) rtAudio->closeStream();
    rtAudio = std::move(fresh);
    inputDevices.clear();
    outputDevices.clear();
    Utilities::log("RtAudio instance reset successfully", "resetRtAudioInstance", __LINE__);
    return 0;
}

std::vector<int> Core::getAvailableSampleRates(unsigned int inputDeviceId, unsigned int outputDeviceId) {
    const auto inputRates = rtAudio ? rtAudio->getDeviceInfo(inputDeviceId).sampleRates : std::vector<unsigned>();
    const auto outputRates = rtAudio ? rtAudio->getDeviceInfo(outputDeviceId).sampleRates : std::vector<unsigned>();
    Utilities::log("Requested sample rates available for devices " + std::to_string(inputDeviceId) + " and " +
                       std::to_string(outputDeviceId),
                   "getAvailableSampleRates", __LINE__);
    std::vector<int> common;
    for (unsigned int inputRate : inputRates)
        for (unsigned int outputRate : outputRates)
            if (inputRate == outputRate) common.push_back(static_cast<int>(inputRate));
    return common;
}

int Core::findDisconnectedDevice() {
    std::map<unsigned int, std::string> inputSnapshot, outputSnapshot;
    for (const auto& [id, name] : inputDevices) inputSnapshot.emplace(id, name);
    for (const auto& [id, name] : outputDevices) outputSnapshot.emplace(id, name);
    // A device an open stream uses is checked whichever list happens to be filled.
    auto addUsed = [this](std::map<unsigned int, std::string>& snapshot, const std::set<unsigned int>& lost,
                          unsigned int id) {
        const auto known = knownDeviceNames.find(id);
        if (known != knownDeviceNames.end() && !lost.contains(id)) snapshot.emplace(id, known->second);
    };
    for (const auto& stream : streams) {
        if (!stream->isOpen()) continue;
        if (stream->getNChannelsInput() > 0) addUsed(inputSnapshot, lostInputs, stream->getInputDeviceId());
        if (stream->getNChannelsOutput() > 0) addUsed(outputSnapshot, lostOutputs, stream->getOutputDeviceId());
    }

    auto reportGone = [this](const std::map<unsigned int, std::string>& before, const DeviceList& now,
                             std::set<unsigned int>& lost, const std::string& direction) {
        for (const auto& [id, name] : before) {
            bool present = false;
            for (const auto& entry : now)
                if (entry.second == name) present = true;
            // Told once per loss, until a refresh sees the device again.
            if (present || !lost.insert(id).second) continue;
            Utilities::log(direction + " device " + name + " (" + std::to_string(id) + ") disconnected",
                           "findDisconnectedDevice", __LINE__);
            // Without a front end there is nobody to tell.
            if (socket) socket->deviceLost(static_cast<int>(id));
        }
    };

    if (updateInputDevicesList() != 0)
        Utilities::error("Failed to update input devices list", "findDisconnectedDevice", __LINE__);
    reportGone(inputSnapshot, inputDevices, lostInputs, "Input");
    if (updateOutputDevicesList() != 0)
        Utilities::error("Failed to update output devices list", "findDisconnectedDevice", __LINE__);
    reportGone(outputSnapshot, outputDevices, lostOutputs, "Output");
    return 0;
}

namespace {

// The present device of that name with channels in the direction, or 0.
unsigned int deviceNamed(RtAudio& rtAudio, const std::vector<unsigned int>& present, const std::string& name,
                         bool input) {
    for (unsigned int id : present) {
        const auto info = rtAudio.getDeviceInfo(id);
        if (info.name == name && (input ? info.inputChannels : info.outputChannels) > 0) return id;
    }
    return 0;
}

} // namespace

void Core::resumeHaltedStreams() {
    if (!rtAudio) return;
    // Asked afresh: each list refresh empties the other direction's list.
    const std::vector<unsigned int> present = rtAudio->getDeviceIds();
    auto listed = [&present](unsigned int id) { return std::find(present.begin(), present.end(), id) != present.end(); };
    // Open but not running: the library stopped it after an error. A stream the user stopped is closed.
    std::vector<unsigned int> halted;
    for (const auto& stream : streams) {
        if (stream->isStarted()) continue;
        if (const auto& awaited = stream->awaitedDevices()) {
            // Never opened: its devices were absent when its session loaded. Found by name when it
            // has one, as the session found the others.
            const unsigned int input = awaited->input.empty()
                                           ? stream->getInputDeviceId()
                                           : deviceNamed(*rtAudio, present, awaited->input, true);
            const unsigned int output = awaited->output.empty()
                                            ? stream->getOutputDeviceId()
                                            : deviceNamed(*rtAudio, present, awaited->output, false);
            if ((stream->getNChannelsInput() > 0 && !listed(input)) ||
                (stream->getNChannelsOutput() > 0 && !listed(output)))
                continue;
            stream->setInputDeviceId(input);
            stream->setOutputDeviceId(output);
            halted.push_back(stream->getStreamId());
            continue;
        }
        if (stream->isOpen() && (stream->getNChannelsInput() == 0 || listed(stream->getInputDeviceId())) &&
            (stream->getNChannelsOutput() == 0 || listed(stream->getOutputDeviceId())))
            halted.push_back(stream->getStreamId());
    }
    for (unsigned int id : halted)
        if (startStream(id) == 0)
            Utilities::log("Stream " + std::to_string(id) + " restarted: its devices are back", "resumeHaltedStreams",
                           __LINE__);
}

int Core::startSavedStream(unsigned int id, const std::string& inputName, const std::string& outputName) {
    if (startStream(id) == 0) return 0;
    auto stream = getStreamById(id);
    if (!stream || !rtAudio) return -1;
    const std::vector<unsigned int> present = rtAudio->getDeviceIds();
    auto absent = [&present](unsigned int channels, unsigned int deviceId) {
        return channels > 0 && std::find(present.begin(), present.end(), deviceId) == present.end();
    };
    if (!absent(stream->getNChannelsInput(), stream->getInputDeviceId()) &&
        !absent(stream->getNChannelsOutput(), stream->getOutputDeviceId()))
        return -1;
    stream->awaitDevices({inputName, outputName});
    Utilities::log("Stream " + std::to_string(id) + " will start when its devices are back", "startSavedStream",
                   __LINE__);
    return -1;
}
