#include "audio/rtaudio/SystemRtAudio.hpp"

#include "audio/rtaudio/DeviceWatch.hpp"
#include "audio/rtaudio/LibraryBackEnd.hpp"
#include "audio/rtaudio/LibraryErrors.hpp"
#include "audio/rtaudio/PulseEvents.hpp"
#include "audio/rtaudio/PulseBuffering.hpp"
#include "audio/rtaudio/StableDeviceIds.hpp"

#include <utility>

namespace audio {

using namespace detail;

namespace {

// The engine's numbering of the faults, in the same order.
RtAudioErrorType toErrorType(Fault fault) { return static_cast<RtAudioErrorType>(static_cast<int>(fault)); }

InstanceState::Reports numbered(RtAudioErrorCallback callback) {
    if (!callback) return {};
    return [callback = std::move(callback)](Fault fault, const std::string& text) { callback(toErrorType(fault), text); };
}

RtAudio::DeviceInfo toDeviceInfo(const DeviceEntry& entry) {
    RtAudio::DeviceInfo info;
    info.ID = entry.id;
    info.name = entry.info.name;
    info.outputChannels = entry.info.outputChannels;
    info.inputChannels = entry.info.inputChannels;
    info.duplexChannels = entry.info.duplexChannels;
    info.isDefaultOutput = entry.info.isDefaultOutput;
    info.isDefaultInput = entry.info.isDefaultInput;
    info.sampleRates = entry.info.sampleRates;
    // 5.2 has no current rate; its preferred rate is the one the device runs at (Pulse: native).
    info.currentSampleRate = entry.info.preferredSampleRate;
    info.preferredSampleRate = entry.info.preferredSampleRate;
    info.nativeFormats = entry.info.nativeFormats;
    return info;
}

} // namespace

SystemRtAudio::SystemRtAudio(RtAudioErrorCallback errorCallback)
    : state_(std::make_shared<InstanceState>(numbered(std::move(errorCallback)))) {
    const ::RtAudio::Api api = processApi();
    auto lock = registry().lock(); // constructing a back end may touch the shared device list
    library_ = std::make_unique<::RtAudio>(api);
    library_->showWarnings(false);
    state_->library = library_.get();
    lock.unlock();
    if (api == ::RtAudio::LINUX_PULSE) startPulseEvents();
}

SystemRtAudio::~SystemRtAudio() {
    closeStream();
    state_->alive.store(false);
    try {
        auto lock = registry().lock();
        std::lock_guard<std::mutex> guard(state_->libraryMutex);
        state_->library = nullptr;
        library_.reset();
    } catch (...) {
    }
}

std::vector<unsigned int> SystemRtAudio::getDeviceIds() {
    std::vector<unsigned int> ids;
    for (const DeviceEntry& entry : enumerateFor(*state_)) ids.push_back(entry.id);
    return ids;
}

RtAudio::DeviceInfo SystemRtAudio::getDeviceInfo(unsigned int deviceId) {
    const auto entries = enumerateFor(*state_);
    if (const DeviceEntry* entry = findById(entries, deviceId)) return toDeviceInfo(*entry);
    state_->deliver(Fault::InvalidParameter,
                    "getDeviceInfo: no device with id " + std::to_string(deviceId) + ".");
    return {};
}

unsigned int SystemRtAudio::getDefaultInputDevice() {
    for (const DeviceEntry& entry : enumerateFor(*state_))
        if (entry.info.isDefaultInput) return entry.id;
    return 0;
}

unsigned int SystemRtAudio::getDefaultOutputDevice() {
    for (const DeviceEntry& entry : enumerateFor(*state_))
        if (entry.info.isDefaultOutput) return entry.id;
    return 0;
}

RtAudioErrorType SystemRtAudio::openStream(StreamParameters* outputParameters, StreamParameters* inputParameters,
                                           RtAudioFormat format, unsigned int sampleRate,
                                           unsigned int* bufferFrames, RtAudioCallback callback, void* userData,
                                           StreamOptions* options) {
    auto refuse = [&](RtAudioErrorType type, const std::string& text) {
        state_->deliver(static_cast<Fault>(type), "openStream: " + text);
        return type;
    };
    // Checked here rather than by the library: its audio thread would be reading the callback we
    // are about to replace.
    if (isStreamOpen()) return refuse(RTAUDIO_INVALID_USE, "a stream is already open.");
    if (!callback) return refuse(RTAUDIO_INVALID_PARAMETER, "no callback given.");

    const bool wantOutput = outputParameters && outputParameters->nChannels > 0;
    const bool wantInput = inputParameters && inputParameters->nChannels > 0;
    unsigned int frames = bufferFrames ? *bufferFrames : 0;
    ::RtAudio::StreamOptions libraryOptions;
    if (options) {
        libraryOptions.flags = options->flags;
        libraryOptions.numberOfBuffers = options->numberOfBuffers;
        libraryOptions.streamName = options->streamName;
        libraryOptions.priority = options->priority;
    }
    // Buffering the caller left to the back end: see PulseBuffering.hpp. Handed back unchanged
    // unless the library itself settles on another count.
    const unsigned int askedBuffers =
        options ? libraryNumberOfBuffers(processApi(), audio::StreamOptions{options->flags, options->numberOfBuffers, {}, 0})
                : 0;
    libraryOptions.numberOfBuffers = askedBuffers;

    std::vector<OpenStreamRecord::Device> used;
    Outcome outcome;
    {
        auto lock = registry().lock();
        std::vector<DeviceEntry> entries;
        outcome = callLibrary([&] {
            if (!pulseServerDown()) entries = registry().enumerate();
        });
        if (outcome.code != Fault::None) {
            lock.unlock();
            return toErrorType(finish(*state_, std::move(outcome)));
        }

        auto translate = [&](const StreamParameters& ours, ::RtAudio::StreamParameters& theirs,
                             const char* direction) {
            const DeviceEntry* entry = findById(entries, ours.deviceId);
            if (!entry) {
                outcome.fail(Fault::InvalidDevice, "openStream: the " + std::string(direction) + " device id " +
                                                         std::to_string(ours.deviceId) + " is not present.");
                return false;
            }
            theirs.deviceId = entry->index;
            theirs.nChannels = ours.nChannels;
            theirs.firstChannel = ours.firstChannel;
            used.push_back({entry->id, entry->info.name});
            return true;
        };
        ::RtAudio::StreamParameters libraryOutput, libraryInput;
        if ((wantOutput && !translate(*outputParameters, libraryOutput, "output")) ||
            (wantInput && !translate(*inputParameters, libraryInput, "input"))) {
            lock.unlock();
            return toErrorType(finish(*state_, std::move(outcome)));
        }

        std::lock_guard<std::mutex> guard(state_->libraryMutex);
        state_->userCallback = callback;
        state_->userData = userData;
        state_->audioErrors.store(0);
        outcome = callLibrary([&] {
            library_->openStream(wantOutput ? &libraryOutput : nullptr, wantInput ? &libraryInput : nullptr,
                                 format, sampleRate, &frames, &audioTrampoline, state_.get(),
                                 options ? &libraryOptions : nullptr, &libraryErrorHook);
        });
    }

    if (bufferFrames) *bufferFrames = frames;
    if (options && libraryOptions.numberOfBuffers != askedBuffers) options->numberOfBuffers = libraryOptions.numberOfBuffers;
    if (libraryStreamOpen()) {
        openStream_ = std::make_shared<OpenStreamRecord>();
        openStream_->devices = std::move(used);
        deviceWatch().watch(state_, openStream_);
    }
    return toErrorType(finish(*state_, std::move(outcome)));
}

void SystemRtAudio::closeStream() {
    if (openStream_) {
        deviceWatch().unwatch(openStream_);
        openStream_.reset();
    }
    Outcome outcome;
    {
        std::lock_guard<std::mutex> guard(state_->libraryMutex);
        if (!library_ || !library_->isStreamOpen()) return;
        outcome = callLibrary([&] { library_->closeStream(); });
    }
    finish(*state_, std::move(outcome));
}

RtAudioErrorType SystemRtAudio::startStream() {
    Outcome outcome;
    {
        std::lock_guard<std::mutex> guard(state_->libraryMutex);
        outcome = callLibrary([&] { library_->startStream(); });
    }
    // A stream that fails to start or stop may have lost its device.
    if (outcome.failed() && openStream_) deviceWatch().requestSweep();
    return toErrorType(finish(*state_, std::move(outcome)));
}

RtAudioErrorType SystemRtAudio::stopStream() {
    Outcome outcome;
    {
        std::lock_guard<std::mutex> guard(state_->libraryMutex);
        if (!library_->isStreamRunning()) {
            outcome.fail(Fault::Warning, "stopStream: the stream is not running.");
        } else {
            // Abort rather than stop: stopping drains what the server still holds, and whoever
            // stops (a console command, a request) would wait for all of it to play out.
            outcome = callLibrary([&] { library_->abortStream(); });
        }
    }
    if (outcome.failed() && openStream_) deviceWatch().requestSweep();
    return toErrorType(finish(*state_, std::move(outcome)));
}

bool SystemRtAudio::isStreamOpen() const {
    // On JACK the library closes a running stream by itself when the server goes away. For the
    // caller it stays open, halted like a stream whose device is lost, until it closes it: that is
    // what lets the engine open it again when the server returns.
    return openStream_ != nullptr || libraryStreamOpen();
}

bool SystemRtAudio::libraryStreamOpen() const {
    std::lock_guard<std::mutex> guard(state_->libraryMutex);
    return library_->isStreamOpen();
}

bool SystemRtAudio::isStreamRunning() const {
    std::lock_guard<std::mutex> guard(state_->libraryMutex);
    return library_->isStreamRunning();
}

RtAudioFactory systemRtAudioFactory() {
    return [](RtAudioErrorCallback errorCallback) -> std::shared_ptr<RtAudio> {
        try {
            return std::make_shared<SystemRtAudio>(errorCallback);
        } catch (const std::exception& e) {
            if (errorCallback) {
                try {
                    errorCallback(RTAUDIO_UNKNOWN_ERROR, std::string("cannot create an audio instance: ") + e.what());
                } catch (...) {
                }
            }
        } catch (...) {
        }
        return nullptr;
    };
}

} // namespace audio
