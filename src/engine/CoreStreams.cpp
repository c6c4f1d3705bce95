// The stream table: ids, adding and removing streams, and keeping the streams of one device at one rate.

#include "engine/Core.hpp"
#include "engine/StreamLimits.hpp"
#include "utilities/Log.hpp"

StreamServices Core::streamServices() {
    return StreamServices{this, backEnd, &Core::callback, deviceEventWorker, exportTag};
}

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
    if (const std::string refused = StreamLimits::refusal(nChannelsInput, nChannelsOutput, bufferFrames);
        !refused.empty()) {
        Utilities::error(refused, "addStream", __LINE__);
        return -1;
    }
    const unsigned int id = findFirstAvailableStreamId();
    auto stream = std::make_shared<Stream>(id, streamServices(), inputDeviceId, outputDeviceId, nChannelsInput,
                                           nChannelsOutput, sampleRate, bufferFrames);
    if (!stream) {
        Utilities::error("Stream creation failed", "addStream", __LINE__);
        return -1;
    }
    // A rate the devices do not list would be forced on every stream sharing them at the next sync.
    if (sampleRate != 0 && !stream->supportsSampleRate(sampleRate, stream->getInputDeviceId(),
                                                       stream->getOutputDeviceId(), "addStream"))
        return -1;
    stream->followMasterChain(masterEffects);
    streams.push_back(stream);
    Utilities::success("Stream " + stream->getOptions().streamName + " added", "addStream", __LINE__);
    return static_cast<int>(id);
}

std::shared_ptr<Stream> Core::getStreamById(unsigned int id) const {
    for (const auto& stream : streams)
        if (stream->getStreamId() == id) return stream;
    return nullptr;
}

int Core::startStream(unsigned int id) {
    auto stream = findStream(id, "startStream");
    // A stream that would not start has said why.
    if (!stream || stream->start() != 0) return -1;
    const int outputSync = syncSameOutputDeviceSampleRateAtLowest(stream->getOutputParameters().deviceId);
    const int inputSync = syncSameInputDeviceSampleRateAtLowest(stream->getInputParameters().deviceId);
    // What the caller asked for is this stream; the others' fate is logged where it happens.
    if (stream->isStarted()) return 0;
    return outputSync != 0 ? outputSync : (inputSync != 0 ? inputSync : -1);
}

int Core::stopStream(unsigned int id) {
    auto stream = findStream(id, "stopStream");
    return stream ? stream->stop() : -1;
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
    // Only running streams: one that never started, or failed to, must not drag the others down.
    auto takesPart = [&](const Stream& stream) {
        return deviceOf(stream) == deviceId && stream.getSampleRate() != 0 && stream.isStarted();
    };
    unsigned int lowest = 0;
    for (const auto& stream : streams)
        if (takesPart(*stream) && (lowest == 0 || stream->getSampleRate() < lowest)) lowest = stream->getSampleRate();
    if (lowest == 0) {
        Utilities::log(noStreamNotice, context, __LINE__);
        return 0;
    }
    int result = 0;
    for (const auto& stream : streams) {
        if (!takesPart(*stream)) continue;
        const unsigned int previous = stream->getSampleRate();
        const int changed = stream->changeSampleRate(lowest);
        if (changed == 0) continue;
        result = changed;
        // Back to the rate it played at rather than left silent.
        Utilities::error("Stream " + stream->getName() + " could not follow to " + std::to_string(lowest) +
                             " Hz; restarting it at " + std::to_string(previous) + " Hz",
                         context, __LINE__, changed);
        stream->setSampleRate(previous);
        if (!stream->isStarted() && stream->start() != 0)
            Utilities::error("Stream " + stream->getName() + " could not be restarted", context, __LINE__);
    }
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

