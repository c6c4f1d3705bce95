// The Core's device lists, enumerated afresh from the back end on every refresh.

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include <algorithm>
#include <map>

namespace {

// Rebuilds one list; `channelsOf` picks the direction's channel count from a device's info.
template <class ChannelsOf>
int refreshList(const std::vector<audio::Device>& devices, DeviceList& list, std::map<unsigned int, std::string>& known,
                std::set<unsigned int>& announcedLost, ChannelsOf channelsOf, const std::string& addedPrefix,
                const std::string& channelsLabel, const std::string& noneFound, const char* context) {
    list.clear();
    if (devices.empty()) {
        Utilities::error("No audio devices found", context, __LINE__);
        return -1;
    }
    for (const audio::Device& info : devices) {
        const unsigned int id = info.id;
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
        backEnd->devices(), inputDevices, knownDeviceNames, lostInputs, [](const audio::Device& info) { return info.inputChannels; },
        "Added input device: ", " nInputChannels: ", "No input devices found", "updateInputDevicesList");
}

int Core::updateOutputDevicesList() {
    if (resetRtAudioInstance() == -1) {
        Utilities::error("Failed to reset RtAudio instance", "updateOutputDevicesList", __LINE__);
        return -1;
    }
    return refreshList(
        backEnd->devices(), outputDevices, knownDeviceNames, lostOutputs, [](const audio::Device& info) { return info.outputChannels; },
        "Added output device: ", " nOutputChannels: ", "No output devices found", "updateOutputDevicesList");
}

int Core::resetRtAudioInstance() {
    if (!backEnd) {
        Utilities::error("RtAudio error while resetting instance", "resetRtAudioInstance", __LINE__);
        return -1;
    }
    inputDevices.clear();
    outputDevices.clear();
    Utilities::log("RtAudio instance reset successfully", "resetRtAudioInstance", __LINE__);
    return 0;
}

std::vector<int> Core::getAvailableSampleRates(unsigned int inputDeviceId, unsigned int outputDeviceId) {
    auto ratesOf = [this](unsigned int id) {
        const auto device = backEnd ? backEnd->device(id) : std::nullopt;
        return device ? device->sampleRates : std::vector<unsigned int>();
    };
    const auto inputRates = ratesOf(inputDeviceId);
    const auto outputRates = ratesOf(outputDeviceId);
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
unsigned int deviceNamed(const std::vector<audio::Device>& present, const std::string& name, bool input) {
    for (const audio::Device& info : present)
        if (info.name == name && (input ? info.inputChannels : info.outputChannels) > 0) return info.id;
    return 0;
}

bool listed(const std::vector<audio::Device>& present, unsigned int id) {
    return std::any_of(present.begin(), present.end(), [id](const audio::Device& device) { return device.id == id; });
}

} // namespace

void Core::resumeHaltedStreams() {
    if (!backEnd) return;
    // Asked afresh: each list refresh empties the other direction's list.
    const std::vector<audio::Device> present = backEnd->devices();
    auto isListed = [&present](unsigned int id) { return listed(present, id); };
    // Open but not running: the library stopped it after an error. A stream the user stopped is closed.
    std::vector<unsigned int> halted;
    for (const auto& stream : streams) {
        if (stream->isStarted()) continue;
        if (const auto& awaited = stream->awaitedDevices()) {
            // Never opened: its devices were absent when its session loaded. Found by name when it
            // has one, as the session found the others.
            const unsigned int input = awaited->input.empty()
                                           ? stream->getInputDeviceId()
                                           : deviceNamed(present, awaited->input, true);
            const unsigned int output = awaited->output.empty()
                                            ? stream->getOutputDeviceId()
                                            : deviceNamed(present, awaited->output, false);
            if ((stream->getNChannelsInput() > 0 && !isListed(input)) ||
                (stream->getNChannelsOutput() > 0 && !isListed(output)))
                continue;
            stream->setInputDeviceId(input);
            stream->setOutputDeviceId(output);
            halted.push_back(stream->getStreamId());
            continue;
        }
        if (stream->isOpen() && (stream->getNChannelsInput() == 0 || isListed(stream->getInputDeviceId())) &&
            (stream->getNChannelsOutput() == 0 || isListed(stream->getOutputDeviceId())))
            halted.push_back(stream->getStreamId());
    }
    for (unsigned int id : halted) {
        if (startStream(id) == 0) {
            Utilities::log("Stream " + std::to_string(id) + " restarted: its devices are back", "resumeHaltedStreams",
                           __LINE__);
            continue;
        }
        // A device a server lists as it comes back may not take a stream yet (a graph's node whose
        // ports are still being set up): the stream, closed by the failed start, waits for the next
        // change instead of being taken for one its user stopped.
        auto stream = getStreamById(id);
        if (stream && !stream->isOpen() && !stream->awaitedDevices()) stream->awaitDevices({});
    }
}

int Core::startSavedStream(unsigned int id, const std::string& inputName, const std::string& outputName) {
    if (startStream(id) == 0) return 0;
    auto stream = getStreamById(id);
    if (!stream || !backEnd) return -1;
    const std::vector<audio::Device> present = backEnd->devices();
    auto absent = [&present](unsigned int channels, unsigned int deviceId) {
        return channels > 0 && !listed(present, deviceId);
    };
    if (!absent(stream->getNChannelsInput(), stream->getInputDeviceId()) &&
        !absent(stream->getNChannelsOutput(), stream->getOutputDeviceId()))
        return -1;
    stream->awaitDevices({inputName, outputName});
    Utilities::log("Stream " + std::to_string(id) + " will start when its devices are back", "startSavedStream",
                   __LINE__);
    return -1;
}
