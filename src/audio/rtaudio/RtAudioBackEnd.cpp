#include "audio/rtaudio/RtAudioBackEnd.hpp"

#include "audio/DevicesChanged.hpp"
#include "audio/ReportGate.hpp"
#include "audio/rtaudio/DeviceWatch.hpp"
#include "audio/rtaudio/LibraryBackEnd.hpp"
#include "audio/rtaudio/LibraryErrors.hpp"
#include "audio/rtaudio/PulseBuffering.hpp"
#include "audio/rtaudio/PulseEvents.hpp"
#include "audio/rtaudio/StableDeviceIds.hpp"

#include <utility>

namespace audio {

namespace detail {

namespace {

// The call's result: its worst fault, with the library's words for it. Given a stream's state,
// the warnings of an open that succeeded go to its reports, through the watch's thread.
Result toResult(Outcome&& outcome, const std::shared_ptr<InstanceState>& reportWarningsTo = nullptr) {
    if (outcome.code == Fault::None) return {};
    if (outcome.code == Fault::Warning && reportWarningsTo) {
        for (Message& message : outcome.messages) deviceWatch().post(reportWarningsTo, std::move(message));
        return {};
    }
    std::string reason;
    for (const Message& message : outcome.messages)
        if (message.type == outcome.code) reason += (reason.empty() ? "" : "; ") + message.text;
    return Result::failure(outcome.code, reason.empty() ? "the audio library failed without saying why" : reason);
}

class RtAudioDeviceStream final : public DeviceStream {
public:
    RtAudioDeviceStream(StreamReports reports, ::RtAudio::Api api)
        : gate_(std::make_shared<ReportGate>(std::move(reports))),
          state_(std::make_shared<InstanceState>(
              [gate = gate_](Fault fault, const std::string& text) { gate->deliver(Result::failure(fault, text)); })) {
        auto lock = registry().lock(); // constructing a library object may touch the shared device list
        library_ = std::make_unique<::RtAudio>(api);
        library_->showWarnings(false);
        state_->library = library_.get();
    }

    ~RtAudioDeviceStream() override {
        gate_->close();
        state_->alive.store(false);
        if (record_) deviceWatch().unwatch(record_);
        try {
            auto lock = registry().lock();
            std::lock_guard<std::mutex> guard(state_->libraryMutex);
            // Closing joins the library's audio thread: no period runs after this.
            if (library_->isStreamOpen()) callLibrary([&] { library_->closeStream(); });
            state_->library = nullptr;
            library_.reset();
        } catch (...) {
        }
    }

    // Under registry().lock(), with `entries` just listed by it.
    Result open(const std::vector<DeviceEntry>& entries, const StreamConfig& config, PeriodCallback callback,
                void* userData) {
        Outcome outcome;
        std::vector<OpenStreamRecord::Device> used;
        auto translate = [&](const StreamParameters& ours, ::RtAudio::StreamParameters& theirs, const char* direction) {
            const DeviceEntry* entry = findById(entries, ours.deviceId);
            if (!entry) {
                outcome.fail(Fault::InvalidDevice, "the " + std::string(direction) + " device id " +
                                                       std::to_string(ours.deviceId) + " is not present.");
                return false;
            }
            theirs.deviceId = entry->index;
            theirs.nChannels = ours.nChannels;
            theirs.firstChannel = ours.firstChannel;
            used.push_back({entry->id, entry->info.name});
            return true;
        };
        const bool wantOutput = config.output.nChannels > 0;
        const bool wantInput = config.input.nChannels > 0;
        ::RtAudio::StreamParameters libraryOutput, libraryInput;
        if ((wantOutput && !translate(config.output, libraryOutput, "output")) ||
            (wantInput && !translate(config.input, libraryInput, "input")))
            return toResult(std::move(outcome));

        ::RtAudio::StreamOptions libraryOptions;
        libraryOptions.flags = config.options.flags;
        // Buffering the caller left to the back end: see PulseBuffering.hpp.
        libraryOptions.numberOfBuffers = libraryNumberOfBuffers(processApi(), config.options);
        libraryOptions.streamName = config.options.streamName;
        libraryOptions.priority = config.options.priority;
        frames_ = config.periodFrames;
        {
            std::lock_guard<std::mutex> guard(state_->libraryMutex);
            state_->userCallback = callback;
            state_->userData = userData;
            outcome = callLibrary([&] {
                library_->openStream(wantOutput ? &libraryOutput : nullptr, wantInput ? &libraryInput : nullptr,
                                     ::RTAUDIO_FLOAT32, config.sampleRate, &frames_, &audioTrampoline, state_.get(),
                                     &libraryOptions, &libraryErrorHook);
            });
            if (!library_->isStreamOpen()) {
                if (!outcome.failed()) outcome.fail(Fault::Unknown, "the audio library opened no stream");
                return toResult(std::move(outcome));
            }
        }
        record_ = std::make_shared<OpenStreamRecord>();
        record_->devices = std::move(used);
        deviceWatch().watch(state_, record_);
        return toResult(std::move(outcome), state_);
    }

    Result start() override {
        Outcome outcome;
        {
            std::lock_guard<std::mutex> guard(state_->libraryMutex);
            if (!library_->isStreamOpen())
                // On JACK the library closes a running stream by itself when the server goes away;
                // the stream stays, halted like one whose device is lost, until its owner drops it.
                outcome.fail(Fault::DeviceLost, "the stream was closed by the sound server.");
            else
                outcome = callLibrary([&] { library_->startStream(); });
        }
        // A stream that fails to start may have lost its device.
        if (outcome.failed()) deviceWatch().requestSweep();
        return toResult(std::move(outcome)); // a warning: it was running already
    }

    Result stop() override {
        Outcome outcome;
        {
            std::lock_guard<std::mutex> guard(state_->libraryMutex);
            if (!library_->isStreamRunning())
                return Result::failure(Fault::Warning, "the stream is not running.");
            // Abort rather than stop: stopping drains what the server still holds, and whoever
            // stops (a console command, a request) would wait for all of it to play out.
            outcome = callLibrary([&] { library_->abortStream(); });
        }
        if (outcome.failed()) deviceWatch().requestSweep();
        return toResult(std::move(outcome));
    }

    bool isRunning() const override {
        std::lock_guard<std::mutex> guard(state_->libraryMutex);
        return library_->isStreamRunning();
    }

    unsigned int periodFrames() const override { return frames_; }

private:
    std::shared_ptr<ReportGate> gate_;
    // Reached from the library's threads and the device watch, hence shared.
    std::shared_ptr<InstanceState> state_;
    std::unique_ptr<::RtAudio> library_;
    std::shared_ptr<OpenStreamRecord> record_; // watched for lost devices while open
    unsigned int frames_{0};
};

// The present devices; none while the server is down (the library would answer its last list).
std::vector<DeviceEntry> presentEntries(Outcome& outcome) {
    std::vector<DeviceEntry> entries;
    if (pulseServerDown()) return entries;
    outcome = callLibrary([&] {
        auto lock = registry().lock();
        entries = registry().current();
    });
    return entries;
}

} // namespace

} // namespace detail

using namespace detail;

RtAudioBackEnd::RtAudioBackEnd() {
    if (processApi() == ::RtAudio::LINUX_PULSE) startPulseEvents();
}

std::vector<Device> RtAudioBackEnd::devices() {
    Outcome outcome;
    std::vector<Device> result;
    for (const DeviceEntry& entry : presentEntries(outcome)) result.push_back(toDevice(entry));
    return result;
}

void RtAudioBackEnd::setDevicesChangedListener(std::function<void()> listener) {
    detail::setDevicesChangedListener(std::move(listener));
}

BackEnd::Opened RtAudioBackEnd::open(const StreamConfig& config, PeriodCallback callback, void* userData,
                                     StreamReports reports) {
    if (!callback) return Opened{nullptr, Result::failure(Fault::InvalidParameter, "no callback given.")};
    std::unique_ptr<RtAudioDeviceStream> stream;
    Outcome made = callLibrary([&] { stream = std::make_unique<RtAudioDeviceStream>(std::move(reports), processApi()); });
    if (!stream) {
        if (!made.failed()) made.fail(Fault::Unknown, "cannot create an audio instance");
        return Opened{nullptr, toResult(std::move(made))};
    }

    Result opened;
    {
        // Listing and opening under one lock: an index found here is still the same device when
        // the library opens it.
        auto lock = registry().lock();
        std::vector<DeviceEntry> entries;
        Outcome listed = callLibrary([&] {
            if (!pulseServerDown()) entries = registry().enumerate();
        });
        if (listed.failed()) return Opened{nullptr, toResult(std::move(listed))};
        opened = stream->open(entries, config, callback, userData);
    }
    if (!opened) return Opened{nullptr, std::move(opened)};
    return Opened{std::move(stream), std::move(opened)};
}

std::shared_ptr<BackEnd> makeRtAudioBackEnd() { return std::make_shared<RtAudioBackEnd>(); }

} // namespace audio
