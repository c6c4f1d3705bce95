#include "audio/pulse/PulseRtAudio.hpp"

#include "audio/DeferredReports.hpp"
#include "audio/pulse/PulseConnection.hpp"
#include "audio/pulse/PulseStream.hpp"

#include <algorithm>

namespace audio {

namespace detail {

struct PulseInstanceShared {
    explicit PulseInstanceShared(RtAudioErrorCallback callback) : errorCallback(std::move(callback)) {}

    void deliver(RtAudioErrorType type, const std::string& text) const {
        if (!alive.load() || !errorCallback) return;
        try {
            errorCallback(type, text);
        } catch (...) {
            // A throwing handler must not unwind into the report thread.
        }
    }

    const RtAudioErrorCallback errorCallback;
    std::atomic<bool> alive{true};
};

namespace {

constexpr unsigned int kMaxRate = 384000;

std::string quotedList(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) text += (i ? ", '" : "'") + names[i] + "'";
    return text;
}

// On the connection's thread, when the server ended a running stream: once a fresh device list is
// in, a device missing from it is reported as lost (the engine reopens the stream when it returns);
// anything else is the server refusing the stream, reported as such and left halted.
PulseStream::FailureHandler failureReporter(std::weak_ptr<PulseInstanceShared> weakShared,
                                            std::vector<std::pair<std::string, std::string>> devices) {
    return [weakShared, devices](const std::string& why) {
        pulseConnection().afterFreshListing([weakShared, devices, why] {
            const auto present = pulseConnection().devices();
            std::vector<std::string> missing;
            for (const auto& used : devices)
                if (std::none_of(present->begin(), present->end(),
                                 [&](const PulseDevice& device) { return device.serverName == used.first; }))
                    missing.push_back(used.second);
            const RtAudioErrorType type = missing.empty() ? RTAUDIO_DRIVER_ERROR : RTAUDIO_DEVICE_DISCONNECT;
            const std::string text = missing.empty()
                                         ? "The sound server ended the stream: " + why + "."
                                         : "Device disconnected: " + quotedList(missing) +
                                               (missing.size() > 1 ? " are gone." : " is gone.");
            deferredReports().post([weakShared, type, text] {
                if (auto shared = weakShared.lock()) shared->deliver(type, text);
            });
        });
    };
}

RtAudio::DeviceInfo toDeviceInfo(const Device& device) {
    RtAudio::DeviceInfo info;
    info.ID = device.id;
    info.name = device.name;
    info.outputChannels = device.outputChannels;
    info.inputChannels = device.inputChannels;
    info.isDefaultOutput = device.isDefaultOutput;
    info.isDefaultInput = device.isDefaultInput;
    info.sampleRates = device.sampleRates;
    info.currentSampleRate = info.preferredSampleRate = device.preferredSampleRate;
    info.nativeFormats = RTAUDIO_FLOAT32;
    return info;
}

} // namespace

} // namespace detail

using namespace detail;

PulseRtAudio::PulseRtAudio(RtAudioErrorCallback errorCallback)
    : shared_(std::make_shared<PulseInstanceShared>(std::move(errorCallback))) {}

PulseRtAudio::~PulseRtAudio() {
    closeStream();
    shared_->alive.store(false);
}

RtAudioErrorType PulseRtAudio::fail(RtAudioErrorType type, const std::string& text) const {
    shared_->deliver(type, text);
    return type;
}

std::vector<unsigned int> PulseRtAudio::getDeviceIds() {
    // The list held here: the connection's thread may replace it meanwhile, and a range-for over
    // `*devices()` would keep only the reference, not the list, alive.
    const auto devices = pulseConnection().devices();
    std::vector<unsigned int> ids;
    for (const PulseDevice& device : *devices) ids.push_back(device.info.id);
    return ids;
}

RtAudio::DeviceInfo PulseRtAudio::getDeviceInfo(unsigned int deviceId) {
    const auto devices = pulseConnection().devices();
    if (const PulseDevice* device = findDevice(*devices, deviceId)) return toDeviceInfo(device->info);
    fail(RTAUDIO_INVALID_PARAMETER, "getDeviceInfo: no device with id " + std::to_string(deviceId) + ".");
    return {};
}

unsigned int PulseRtAudio::getDefaultInputDevice() {
    const auto devices = pulseConnection().devices();
    for (const PulseDevice& device : *devices)
        if (device.info.isDefaultInput) return device.info.id;
    return 0;
}

unsigned int PulseRtAudio::getDefaultOutputDevice() {
    const auto devices = pulseConnection().devices();
    for (const PulseDevice& device : *devices)
        if (device.info.isDefaultOutput) return device.info.id;
    return 0;
}

RtAudioErrorType PulseRtAudio::openStream(StreamParameters* outputParameters, StreamParameters* inputParameters,
                                          RtAudioFormat format, unsigned int sampleRate, unsigned int* bufferFrames,
                                          RtAudioCallback callback, void* userData, StreamOptions* options) {
    auto refuse = [&](RtAudioErrorType type, const std::string& text) { return fail(type, "openStream: " + text); };
    if (stream_) return refuse(RTAUDIO_INVALID_USE, "a stream is already open.");
    if (!callback) return refuse(RTAUDIO_INVALID_PARAMETER, "no callback given.");
    if (format != RTAUDIO_FLOAT32) return refuse(RTAUDIO_INVALID_PARAMETER, "only 32-bit float samples are served.");
    if (sampleRate == 0 || sampleRate > kMaxRate)
        return refuse(RTAUDIO_INVALID_PARAMETER, "the server cannot run a stream at " + std::to_string(sampleRate) + " Hz.");
    const unsigned int frames = bufferFrames ? *bufferFrames : 0;
    if (frames == 0) return refuse(RTAUDIO_INVALID_PARAMETER, "a period of 0 frames.");
    const bool wantOutput = outputParameters && outputParameters->nChannels > 0;
    const bool wantInput = inputParameters && inputParameters->nChannels > 0;
    if (!wantOutput && !wantInput) return refuse(RTAUDIO_INVALID_PARAMETER, "no channels in either direction.");

    const auto devices = pulseConnection().devices();
    PulseStreamFormat streamFormat;
    std::vector<std::pair<std::string, std::string>> used; // server name, name
    std::string routeNames[2];
    auto resolve = [&](const StreamParameters& parameters, bool output) -> RtAudioErrorType {
        const char* direction = output ? "output" : "input";
        const PulseDevice* device = findDevice(*devices, parameters.deviceId);
        if (!device || device->isSink != output)
            return refuse(RTAUDIO_INVALID_DEVICE, std::string("the ") + direction + " device id " +
                                                      std::to_string(parameters.deviceId) + " is not present.");
        const unsigned int available = output ? device->info.outputChannels : device->info.inputChannels;
        const unsigned long long wanted = static_cast<unsigned long long>(parameters.nChannels) + parameters.firstChannel;
        if (wanted > available || parameters.nChannels > PA_CHANNELS_MAX)
            return refuse(RTAUDIO_INVALID_PARAMETER, std::string("the ") + direction + " device has " +
                                                         std::to_string(available) + " channels, not " +
                                                         std::to_string(wanted) + ".");
        // The device's own layout when the stream takes all of it; otherwise the server maps.
        pa_channel_map map = device->channelMap;
        if (parameters.nChannels != available || parameters.firstChannel != 0)
            pa_channel_map_init_extend(&map, parameters.nChannels, PA_CHANNEL_MAP_DEFAULT);
        (output ? streamFormat.sinkName : streamFormat.sourceName) = device->serverName;
        (output ? streamFormat.outputMap : streamFormat.inputMap) = map;
        (output ? streamFormat.outputChannels : streamFormat.inputChannels) = parameters.nChannels;
        routeNames[output ? 1 : 0] = device->info.name;
        used.emplace_back(device->serverName, device->info.name);
        return RTAUDIO_NO_ERROR;
    };
    if (wantInput)
        if (const auto code = resolve(*inputParameters, false); code != RTAUDIO_NO_ERROR) return code;
    if (wantOutput)
        if (const auto code = resolve(*outputParameters, true); code != RTAUDIO_NO_ERROR) return code;

    streamFormat.rate = sampleRate;
    streamFormat.periodFrames = frames;
    const unsigned int asked = options ? options->numberOfBuffers : 0;
    const bool minimize = options && (options->flags & RTAUDIO_MINIMIZE_LATENCY) != 0;
    streamFormat.periodsAhead = asked != 0 ? std::clamp(asked, 2u, 16u) : (minimize ? 2u : 3u);
    const std::string label = options && !options->streamName.empty() ? options->streamName : "Stream";
    streamFormat.mediaName = label + ": " + (wantInput ? routeNames[0] : "(no input)") + " \u2192 " +
                             (wantOutput ? routeNames[1] : "(no output)");

    stream_ = std::make_unique<PulseStream>(std::move(streamFormat), callback, userData,
                                            failureReporter(shared_, std::move(used)));
    return RTAUDIO_NO_ERROR;
}

void PulseRtAudio::closeStream() {
    if (!stream_) return;
    auto& connection = pulseConnection();
    connection.lock();
    stream_->stop();
    connection.unlock();
    stream_.reset();
}

RtAudioErrorType PulseRtAudio::startStream() {
    if (!stream_) return fail(RTAUDIO_INVALID_USE, "startStream: no stream is open.");
    if (stream_->running()) return fail(RTAUDIO_WARNING, "startStream: the stream is already running.");
    auto& connection = pulseConnection();
    std::string whyNot;
    connection.lock();
    pa_context* context = connection.readyContext();
    const bool started = context && stream_->start(context, whyNot);
    connection.unlock();
    if (!context) return fail(RTAUDIO_SYSTEM_ERROR, "startStream: the sound server is not answering.");
    if (!started) return fail(RTAUDIO_DRIVER_ERROR, "startStream: " + whyNot + ".");
    return RTAUDIO_NO_ERROR;
}

RtAudioErrorType PulseRtAudio::stopStream() {
    if (!stream_ || !stream_->running()) return fail(RTAUDIO_WARNING, "stopStream: the stream is not running.");
    auto& connection = pulseConnection();
    connection.lock();
    stream_->stop();
    connection.unlock();
    return RTAUDIO_NO_ERROR;
}

bool PulseRtAudio::isStreamOpen() const { return stream_ != nullptr; }

bool PulseRtAudio::isStreamRunning() const { return stream_ && stream_->running(); }

RtAudioFactory pulseRtAudioFactory() {
    // Returns at once once the connection is up (or was tried): then only the first call waits.
    pulseConnection().start(std::chrono::seconds(2), true);
    return [](RtAudioErrorCallback errorCallback) -> std::shared_ptr<RtAudio> {
        return std::make_shared<PulseRtAudio>(std::move(errorCallback));
    };
}

} // namespace audio
