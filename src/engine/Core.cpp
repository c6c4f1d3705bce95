#include "engine/Core.hpp"

#include "effects/Effect.hpp"
#include "effects/EffectFactory.hpp"
#include "utilities/Log.hpp"

#include <cstdlib>

Core* coreInstance = nullptr;

Core::Core(audio::RtAudioFactory factory) : rtAudioFactory(std::move(factory)) {
    rtAudio = rtAudioFactory ? rtAudioFactory(nullptr) : nullptr;
    masterEffectsSnapshot.addReader(&controlThreadMasterSlot);
    Utilities::log("Core constructor");

    for (const auto& name : masterEffectsNames) {
        if (addMasterEffect(name) == -1) {
            Utilities::error("Master effect " + name + " could not be added", "Core", __LINE__);
            std::exit(-1);
        }
    }

    // Open the default microphone once, so the system applies its permission decision at start-up.
    const unsigned int defaultInput = rtAudio ? rtAudio->getDefaultInputDevice() : 0;
    if (defaultInput == 0) {
        Utilities::error("No input device found", "Core", __LINE__);
    } else {
        const auto info = rtAudio->getDeviceInfo(defaultInput);
        const unsigned int firstRate = info.sampleRates.empty() ? 0 : info.sampleRates.front();
        const int probe = addStream(defaultInput, 0, info.inputChannels, 0, firstRate, 256);
        if (probe == -1) {
            Utilities::error("Failed to add stream for input device permission", "Core", __LINE__);
        } else {
            startStream(static_cast<unsigned int>(probe));
            stopStream(static_cast<unsigned int>(probe));
            removeStream(static_cast<unsigned int>(probe));
        }
    }

    if (updateInputDevicesList() == -1) {
        Utilities::error("Failed to update input devices list", "Core", __LINE__);
        std::exit(-1);
    }
    if (updateOutputDevicesList() == -1) {
        Utilities::error("Failed to update output devices list", "Core", __LINE__);
        std::exit(-1);
    }

    deviceEventWorker.start([this] {
        auto guard = lock();
        findDisconnectedDevice();
    });
    coreInstance = this;
}

Core::~Core() {
    // No device report may reach a half-destroyed engine.
    if (coreInstance == this) coreInstance = nullptr;
    deviceEventWorker.stop();
    Utilities::log("Core destructor");
    streamGroupSyncs.clear();
    masterEffects.clear();
    inputDevices.clear();
    outputDevices.clear();
    // Each stream stops its audio thread before it goes; the master chain it walked outlives it.
    streams.clear();
    rtAudio.reset();
}

// ---- Stream table ----

unsigned int Core::findFirstAvailableStreamId() const {
    unsigned int candidate = 0;
    for (;;) {
        bool used = false;
        for (const auto& stream : streams)
            if (stream->getStreamId() == candidate) {
                used = true;
                break;
            }
        if (!used) return candidate;
        ++candidate;
    }
}

int Core::addStream(unsigned int inputDeviceId, unsigned int outputDeviceId, unsigned int nChannelsInput,
                    unsigned int nChannelsOutput, unsigned int sampleRate, unsigned int bufferFrames) {
    const unsigned int id = findFirstAvailableStreamId();
    auto stream = std::make_shared<Stream>(id, this, inputDeviceId, outputDeviceId, nChannelsInput,
                                           nChannelsOutput, sampleRate, bufferFrames);
    if (!stream) {
        Utilities::error("Stream creation failed", "addStream", __LINE__);
        return -1;
    }
    streams.push_back(stream);
    Utilities::success("Stream " + stream->getOptions().streamName + " added", "addStream", __LINE__);
    return static_cast<int>(id);
}

std::shared_ptr<Stream> Core::getStreamById(unsigned int id) const {
    for (const auto& stream : streams)
        if (stream->getStreamId() == id) return stream;
    return nullptr;
}

std::shared_ptr<Stream> Core::getLastStream() const { return streams.empty() ? nullptr : streams.back(); }

int Core::startStream(unsigned int id) {
    auto stream = getStreamById(id);
    if (!stream || stream->start() != 0) {
        Utilities::error("Stream not found", "startStream", __LINE__);
        return -1;
    }
    const int outputSync = syncSameOutputDeviceSampleRateAtLowest(stream->getOutputParameters().deviceId);
    if (outputSync != 0) return outputSync;
    return syncSameInputDeviceSampleRateAtLowest(stream->getInputParameters().deviceId);
}

int Core::stopStream(unsigned int id) {
    auto stream = getStreamById(id);
    if (!stream) {
        Utilities::error("Stream not found", "stopStream", __LINE__);
        return -1;
    }
    return stream->stop();
}

int Core::removeStream(unsigned int id) {
    for (auto it = streams.begin(); it != streams.end(); ++it) {
        if ((*it)->getStreamId() != id) continue;
        streams.erase(it);
        Utilities::success("Stream " + std::to_string(id) + " removed", "removeStream", __LINE__);
        return 0;
    }
    Utilities::error("Stream not found", "removeStream", __LINE__);
    return -1;
}

int Core::clearStreams() {
    while (!streams.empty()) removeStream(streams.back()->getStreamId());
    return 0;
}

namespace {

// Brings every stream whose device (picked by `deviceOf`) is `deviceId` to the lowest rate among them.
template <class DeviceOf>
int syncAtLowest(const std::vector<std::shared_ptr<Stream>>& streams, unsigned int deviceId, DeviceOf deviceOf,
                 const std::string& noStreamNotice, const char* context) {
    unsigned int lowest = 0;
    for (const auto& stream : streams)
        if (deviceOf(*stream) == deviceId && stream->getSampleRate() != 0 &&
            (lowest == 0 || stream->getSampleRate() < lowest))
            lowest = stream->getSampleRate();
    if (lowest == 0) {
        Utilities::log(noStreamNotice, context, __LINE__);
        return 0;
    }
    int result = 0;
    for (const auto& stream : streams)
        if (deviceOf(*stream) == deviceId && stream->getSampleRate() != 0) result = stream->changeSampleRate(lowest);
    return result;
}

} // namespace

int Core::syncSameOutputDeviceSampleRateAtLowest(unsigned int outputDeviceId) {
    return syncAtLowest(
        getStreams(), outputDeviceId, [](const Stream& stream) { return stream.getOutputParameters().deviceId; },
        "No stream found with the output device id: " + std::to_string(outputDeviceId) +
            " or no stream with a sample rate",
        "syncSameOutputDeviceSampleRateAtLowest");
}

int Core::syncSameInputDeviceSampleRateAtLowest(unsigned int inputDeviceId) {
    return syncAtLowest(
        getStreams(), inputDeviceId, [](const Stream& stream) { return stream.getInputParameters().deviceId; },
        "No stream found with the input device id: " + std::to_string(inputDeviceId) +
            " or no stream with a sample rate",
        "syncSameInputDeviceSampleRateAtLowest");
}

int Core::doSnapshot() {
    for (const auto& stream : streams) stream->setMustDoSnapshot(true);
    Utilities::log("Snapshot requested", "doSnapshot", __LINE__);
    return 0;
}
