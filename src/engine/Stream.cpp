#include "engine/Stream.hpp"

#include "effects/Effect.hpp"
#include "effects/EffectFactory.hpp"
#include "engine/AudioFaults.hpp"
#include "engine/StreamLimits.hpp"
#include "utilities/ExportName.hpp"
#include "utilities/Log.hpp"
#include "utilities/Utf8.hpp"

#include <algorithm>
#include <exception>
#include <iterator>
#include <iostream>

namespace {

using StreamLimits::kMaxBufferFrames;
// Stopping a stream waits for the period in flight, and every stop runs under the engine lock: a
// longer period would hold the console and the socket for that long.
constexpr unsigned int kMaxPeriodMilliseconds = 1000;

} // namespace

Stream::Stream(unsigned int streamId, StreamServices services, unsigned int inputDeviceId, unsigned int outputDeviceId,
               unsigned int nChannelsInput, unsigned int nChannelsOutput, unsigned int sampleRate,
               unsigned int bufferFrames)
    : inputDeviceId(inputDeviceId),
      outputDeviceId(outputDeviceId),
      nChannelsInput(nChannelsInput),
      nChannelsOutput(nChannelsOutput),
      sampleRate(sampleRate),
      bufferFrames(bufferFrames),
      streamId(streamId),
      services(std::move(services)) {
    if (audio::BackEnd* backEnd = this->services.backEnd.get()) {
        // Every device's details are fetched for these lines alone.
        if (!Utilities::quiet()) logDevices();
        if (this->inputDeviceId == 0) this->inputDeviceId = backEnd->defaultInput();
        if (this->nChannelsInput == 0)
            this->nChannelsInput = backEnd->device(this->inputDeviceId).value_or(audio::Device{}).inputChannels;
        if (this->outputDeviceId == 0) this->outputDeviceId = backEnd->defaultOutput();
        if (this->nChannelsOutput == 0)
            this->nChannelsOutput = backEnd->device(this->outputDeviceId).value_or(audio::Device{}).outputChannels;
    }
    inputParameters = {this->inputDeviceId, this->nChannelsInput, 0};
    outputParameters = {this->outputDeviceId, this->nChannelsOutput, 0};
    options.streamName = "Stream" + std::to_string(this->inputDeviceId) + "-" + std::to_string(this->outputDeviceId);
    sharedMemory = SharedMemory(exportName());
    realtimeState.masterEffects.addReader(&realtimeState.masterSlot);
    realtimeState.redirects.addReader(&realtimeState.redirectsSlot);
    realtimeState.effects.addReader(&realtimeState.effectsSlot);
    realtimeState.effects.addReader(&snapshotEffectsSlot);
    realtimeState.effects.addReader(&unpreparedEffectsSlot);
    realtimeState.masterEffects.addReader(&unpreparedMasterSlot);
    for (const auto& name : mandatoryEffects) addEffect(name);
}

Stream::~Stream() {
    if (deviceStream) {
        const audio::Result result = deviceStream->stop();
        if (!result)
            Utilities::error("An error occurred while stopping the stream", "~Stream", __LINE__, resultCode(result));
        // Whatever the stop said, the audio thread must be gone before the members it reads are.
        deviceStream.reset();
    }
    snapshotWriter.stop(); // writes what the last periods captured, while the stream is whole
    Utilities::success("Stream " + options.streamName + " destroyed successfully", "~Stream", __LINE__);
    channelsRedirects.clear();
    effects.clear();
}

void Stream::logDevices() const {
    for (const audio::Device& info : services.backEnd->devices()) {
        Utilities::log("Device (" + std::to_string(info.id) + ": " + info.name +
                           " (Input Channels: " + std::to_string(info.inputChannels) +
                           ", Output Channels: " + std::to_string(info.outputChannels) + ")",
                       "Stream", __LINE__);
    }
}

audio::StreamReports Stream::reportsHandler() const {
    return [events = services.deviceEvents](const audio::Result& report) {
        errorCallback(report.fault(), report.reason());
        // The engine reacts on its own worker: this may be the back end's thread.
        if (report.fault() == audio::Fault::DeviceLost)
            if (auto worker = events.lock()) worker->post();
    };
}

int Stream::failed(const audio::Result& result, const char* what, const char* context) const {
    errorCallback(result.fault(), result.reason());
    const int code = resultCode(result);
    Utilities::error(std::string("An error occurred while ") + what + " the stream", context, __LINE__, code);
    return code;
}

int Stream::start() {
    if (!services.backEnd) {
        Utilities::error("No audio instance", "start", __LINE__);
        return -1;
    }
    // Its audio thread is reading the fields a start would write.
    if (isStarted()) {
        Utilities::log("Stream " + options.streamName + " is already running", "start", __LINE__);
        return 0;
    }
    // Left open by a stop that failed or a server that went away: opened afresh.
    deviceStream.reset();
    if (sampleRate == 0 && selectMatchingSampleRate() == -1) {
        Utilities::error("No matching sample rate found", "start", __LINE__);
        return -1;
    }
    if (bufferFrames == 0) bufferFrames = 1024;
    if (bufferFrames > kMaxBufferFrames) {
        Utilities::error("Buffer frames out of range: " + std::to_string(bufferFrames) + " (at most " +
                             std::to_string(kMaxBufferFrames) + ")",
                         "start", __LINE__);
        return -1;
    }
    if (static_cast<unsigned long long>(bufferFrames) * 1000 >
        static_cast<unsigned long long>(sampleRate) * kMaxPeriodMilliseconds) {
        Utilities::error("Period too long: " + std::to_string(bufferFrames) + " frames at " +
                             std::to_string(sampleRate) + " Hz (at most one second)",
                         "start", __LINE__);
        return -1;
    }
    Utilities::log("Buffer frames: " + std::to_string(bufferFrames), "", __LINE__);

    const audio::StreamConfig config{inputParameters, outputParameters, sampleRate, bufferFrames, options};
    audio::BackEnd::Opened opened = services.backEnd->open(config, services.callback, this, reportsHandler());
    const unsigned int frames = opened.stream ? opened.stream->periodFrames() : bufferFrames;
    Utilities::log("Buffer frames: " + std::to_string(frames), "", __LINE__);
    if (!opened.stream) return failed(opened.result, "opening", "start");
    deviceStream = std::move(opened.stream);
    settledBufferFrames = frames;
    // Only now: until the open succeeded, an earlier stream's thread could still be reading them.
    // The library's thread runs its first period after startStream below.
    realtimeState.nChannelsInput = inputParameters.nChannels;
    realtimeState.nChannelsOutput = outputParameters.nChannels;
    realtimeState.sampleRate = sampleRate;
    // A region another engine held when the export gave up may be free now: a start tries again.
    realtimeState.exportFailed = false;
    prepareForPeriods();
    prepareSnapshots();
    if (const audio::Result started = deviceStream->start(); !started) return failed(started, "starting", "start");
    awaited.reset();
    Utilities::success("Stream " + options.streamName + " started successfully", "start", __LINE__);
    return 0;
}

ProcessSpec Stream::processSpec() const {
    return {realtimeState.sampleRate, realtimeState.nChannelsOutput, settledBufferFrames};
}

void Stream::prepareEffect(Effect& effect) const {
    const ProcessSpec spec = processSpec();
    if (spec.sampleRate != 0) effect.prepare(spec);
}

std::string Stream::exportName() const { return Utilities::exportName(streamId, services.exportTag); }

void Stream::setStreamId(unsigned int id) {
    streamId = id;
    if (!isStarted()) nameExportAfterId();
}

void Stream::nameExportAfterId() {
    if (sharedMemory.getName() == exportName()) return;
    // The old name goes with the old region; a region that could not be made under the old name
    // may well be made under the new one.
    sharedMemory.release();
    sharedMemory = SharedMemory(exportName());
    realtimeState.exportFailed = false;
}

void Stream::prepareForPeriods() {
    nameExportAfterId();
    for (const auto& effect : effects)
        if (effect) prepareEffect(*effect);
    for (const auto& [master, instance] : masterInstances) prepareEffect(*instance);
    // The export region too: creating it takes system calls the audio thread must not make.
    const std::size_t bytes = std::size_t(settledBufferFrames) * realtimeState.nChannelsOutput * sizeof(float);
    if (!exportEnabled || sharedMemory.isStarted() || realtimeState.exportFailed || bytes == 0) return;
    try {
        sharedMemory.start(bytes, 5);
    } catch (const std::exception& failure) {
        // The stream plays all the same; only its export is off, and that is said once.
        realtimeState.exportFailed = true;
        Utilities::error(std::string("Shared memory export disabled: ") + failure.what(), "start", __LINE__);
    }
}

bool Stream::supportsSampleRate(unsigned int rate, unsigned int inputId, unsigned int outputId,
                                const char* context) const {
    auto listed = [&](unsigned int deviceId) {
        const auto rates = deviceRates(deviceId);
        return std::find(rates.begin(), rates.end(), rate) != rates.end();
    };
    if (listed(inputId) && listed(outputId)) return true;
    Utilities::error("Sample rate " + std::to_string(rate) + " is not supported by both devices " +
                         std::to_string(inputId) + " and " + std::to_string(outputId),
                     context, __LINE__);
    return false;
}

int Stream::selectMatchingSampleRate() {
    auto inputRates = deviceRates(inputDeviceId);
    auto outputRates = deviceRates(outputDeviceId);
    std::sort(inputRates.begin(), inputRates.end());
    std::sort(outputRates.begin(), outputRates.end());
    for (unsigned int rate : inputRates)
        if (std::binary_search(outputRates.begin(), outputRates.end(), rate)) sampleRate = rate;
    return sampleRate == 0 ? -1 : static_cast<int>(sampleRate);
}

int Stream::stop() {
    awaited.reset();
    const audio::Result result = deviceStream ? deviceStream->stop() : audio::Result();
    if (!result && result.fault() != audio::Fault::Warning) {
        const int code = failed(result, "stopping", "stop");
        // A stream the back end no longer runs (its server went away) is closed all the same, so
        // that the next start can open it again.
        if (!deviceStream->isRunning()) deviceStream.reset();
        return code;
    }
    deviceStream.reset();
    Utilities::success("Stream " + options.streamName + " stopped successfully", "stop", __LINE__);
    return 0;
}

int Stream::changeSampleRate(unsigned int rate) {
    if (rate == sampleRate) {
        Utilities::log("Sample rate already set to " + std::to_string(rate), "changeSampleRate", __LINE__);
        return 0;
    }
    if (!supportsSampleRate(rate, inputDeviceId, outputDeviceId, "changeSampleRate")) return -1;
    sampleRate = rate;
    const audio::Result stopped =
        deviceStream ? deviceStream->stop() : audio::Result::failure(audio::Fault::Warning, "no stream is open");
    if (!stopped) {
        Utilities::error("An error occurred while stopping the stream", "changeSampleRate", __LINE__,
                         resultCode(stopped));
        return resultCode(stopped);
    }
    deviceStream.reset();
    const int started = start();
    if (started != 0) {
        Utilities::error("An error occurred while starting the stream", "changeSampleRate", __LINE__, started);
        return started;
    }
    Utilities::success("Auto-synced sample rate to " + std::to_string(rate), "changeSampleRate", __LINE__);
    return 0;
}

int Stream::editStream(unsigned int newInputDeviceId, unsigned int newOutputDeviceId, unsigned int newNChannelsInput,
                       unsigned int newNChannelsOutput, unsigned int newSampleRate, unsigned int newBufferFrames,
                       const std::string& streamName) {
    // Refused before anything stops: the stream plays on as it was.
    if (streamName.size() > kMaxNameBytes) {
        Utilities::error("Stream name refused: " + std::to_string(streamName.size()) +
                             " bytes is beyond the limit of " + std::to_string(kMaxNameBytes),
                         "editStream", __LINE__);
        return -1;
    }
    // JSON text, and with it every session file and client that reads names, is UTF-8.
    if (!Utilities::isUtf8(streamName)) {
        Utilities::error("Stream name refused: it is not UTF-8 text", "editStream", __LINE__);
        return -1;
    }
    if (const std::string refused = StreamLimits::refusal(newNChannelsInput, newNChannelsOutput, newBufferFrames);
        !refused.empty()) {
        Utilities::error(refused, "editStream", __LINE__);
        return -1;
    }
    if (newSampleRate != 0 && !supportsSampleRate(newSampleRate, newInputDeviceId, newOutputDeviceId, "editStream"))
        return -1;
    if (resetRtAudioInstance() == -1) {
        Utilities::error("Failed to reset RtAudio instance", "editStream", __LINE__);
        return -1;
    }
    if (stop() != 0) {
        Utilities::error("An error occurred while stopping the stream", "editStream", __LINE__);
        return -1;
    }
    const unsigned int oldInput = inputDeviceId, oldOutput = outputDeviceId;
    const unsigned int oldChannelsInput = nChannelsInput, oldChannelsOutput = nChannelsOutput;
    const unsigned int oldRate = sampleRate, oldFrames = bufferFrames;
    const audio::StreamOptions oldOptions = options;

    if (newInputDeviceId != inputDeviceId) setInputDeviceId(newInputDeviceId);
    if (newOutputDeviceId != outputDeviceId) setOutputDeviceId(newOutputDeviceId);
    if (newNChannelsInput != nChannelsInput) setNChannelsInput(newNChannelsInput);
    if (newNChannelsOutput != nChannelsOutput) setNChannelsOutput(newNChannelsOutput);
    if (newSampleRate != sampleRate) setSampleRate(newSampleRate);
    if (newBufferFrames != bufferFrames) setBufferFrames(newBufferFrames);
    options = oldOptions;
    options.streamName = streamName;

    if (start() == 0) {
        Utilities::success("Stream " + oldOptions.streamName + " edited successfully", "editStream", __LINE__);
        return 0;
    }
    Utilities::error("An error occurred while starting the stream. Restarting with old parameters", "editStream",
                     __LINE__);
    // A half-opened stream (open succeeded, start failed) must be closed before reopening.
    deviceStream.reset();
    setInputDeviceId(oldInput);
    setOutputDeviceId(oldOutput);
    setNChannelsInput(oldChannelsInput);
    setNChannelsOutput(oldChannelsOutput);
    setSampleRate(oldRate);
    setBufferFrames(oldFrames);
    options = oldOptions;
    if (start() != 0)
        Utilities::error("An error occurred while restarting the stream with old parameters", "editStream", __LINE__);
    return -1;
}

int Stream::resetRtAudioInstance() {
    if (!services.backEnd) {
        Utilities::error("RtAudio error while resetting instance", "resetRtAudioInstance", __LINE__);
        return -1;
    }
    // The back end is the engine's; what a stream resets is its open device stream.
    deviceStream.reset();
    Utilities::log("RtAudio instance reset successfully", "resetRtAudioInstance", __LINE__);
    return 0;
}

void Stream::errorCallback(audio::Fault fault, const std::string& errorText) {
    const int type = faultCode(fault);
    Utilities::error("RtAudio error: " + errorText, "errorCallback", __LINE__, type);
    struct Kind {
        const char* prefix;
        bool isError;
        bool withCode;
    };
    static const Kind kinds[] = {
        {nullptr, false, false},                          // 0 no error
        {"RtAudio warning: ", false, false},              // 1
        {"RtAudio unknown error: ", false, true},         // 2
        {"RtAudio no devices found: ", true, true},       // 3
        {"RtAudio invalid device: ", true, true},         // 4
        {"RtAudio device disconnect: ", false, false},    // 5
        {"RtAudio memory error: ", true, true},           // 6
        {"RtAudio invalid parameter: ", true, true},      // 7
        {"RtAudio invalid use: ", true, true},            // 8
        {"RtAudio driver error: ", true, true},           // 9
        {"RtAudio system error: ", true, true},           // 10
        {"RtAudio thread error: ", true, true},           // 11
    };
    if (type < 0 || type >= int(std::size(kinds)) || !kinds[type].prefix) return;
    const Kind& kind = kinds[type];
    const int code = kind.withCode ? type : 0;
    if (kind.isError)
        Utilities::error(kind.prefix + errorText, "errorCallback", __LINE__, code);
    else
        Utilities::log(kind.prefix + errorText, "errorCallback", __LINE__, code);
}

void Stream::setGroupID(int id) {
    groupID = id;
    Utilities::log("Stream " + options.streamName + " group ID set to " + std::to_string(id), "setGroupID", __LINE__);
}

bool Stream::isStarted() const { return deviceStream && deviceStream->isRunning(); }

std::optional<audio::Device> Stream::findDevice(unsigned int id) const {
    return services.backEnd ? services.backEnd->device(id) : std::nullopt;
}

std::vector<unsigned int> Stream::deviceRates(unsigned int id) const {
    const auto device = findDevice(id);
    return device ? device->sampleRates : std::vector<unsigned int>();
}

std::string Stream::deviceName(unsigned int id, LastListed& last) const {
    const auto device = findDevice(id);
    if (!device) return "";
    last = {id, device->name};
    return device->name;
}

std::string Stream::getInputDeviceName() const { return deviceName(inputDeviceId, lastInput); }

std::string Stream::getOutputDeviceName() const { return deviceName(outputDeviceId, lastOutput); }

std::string Stream::knownDeviceName(unsigned int id, LastListed& last, const std::string& awaitedName) const {
    // A stream that awaits a device by name may hold the id another device has in this engine.
    if (!awaitedName.empty()) return awaitedName;
    if (std::string listed = deviceName(id, last); !listed.empty()) return listed;
    return last.id == id ? last.name : "";
}

std::string Stream::knownInputDeviceName() const {
    return knownDeviceName(inputDeviceId, lastInput, awaited ? awaited->input : "");
}

std::string Stream::knownOutputDeviceName() const {
    return knownDeviceName(outputDeviceId, lastOutput, awaited ? awaited->output : "");
}

void Stream::setInputDeviceId(unsigned int id) {
    inputDeviceId = id;
    inputParameters.deviceId = id;
}

void Stream::setOutputDeviceId(unsigned int id) {
    outputDeviceId = id;
    outputParameters.deviceId = id;
}

void Stream::setNChannelsInput(unsigned int channels) {
    nChannelsInput = channels;
    inputParameters.nChannels = channels;
}

void Stream::setNChannelsOutput(unsigned int channels) {
    nChannelsOutput = channels;
    outputParameters.nChannels = channels;
}
