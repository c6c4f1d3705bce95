#include "engine/audio/SystemRtAudio.hpp"

#include <RtAudio.h>
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace audio {

namespace detail {

// What the library's threads and the device worker need of an instance. It outlives the library
// object, so a report in flight never reaches freed memory.
struct InstanceState : std::enable_shared_from_this<InstanceState> {
    explicit InstanceState(RtAudioErrorCallback callback) : errorCallback(std::move(callback)) {}

    void deliver(RtAudioErrorType type, const std::string& text) const {
        if (!alive.load() || !errorCallback) return;
        try {
            errorCallback(type, text);
        } catch (...) {
            // A throwing handler must not unwind into the library or the worker.
        }
    }

    const RtAudioErrorCallback errorCallback;
    std::atomic<bool> alive{true};
    // Written only while no stream is open, read by the audio thread.
    RtAudioCallback userCallback{};
    void* userData{};
};

// One per opened stream: the devices it uses and whether their loss has been reported.
struct OpenStreamRecord {
    struct Device {
        unsigned int id;
        std::string name;
    };
    std::vector<Device> devices;
    std::atomic<bool> reported{false};
    std::atomic<bool> closed{false};
};

} // namespace detail

namespace {

using detail::InstanceState;
using detail::OpenStreamRecord;

constexpr unsigned int kFirstDeviceId = 129;
constexpr auto kPollInterval = std::chrono::seconds(1);
// A device must be missing from two enumerations this far apart before it counts as gone, so a
// server that briefly answers with an empty list does not tear streams down.
constexpr auto kConfirmDelay = std::chrono::milliseconds(100);
constexpr auto kExitJoinTimeout = std::chrono::seconds(2);

RtAudioErrorType toErrorType(RtAudioError::Type type) {
    switch (type) {
    case RtAudioError::WARNING:
    case RtAudioError::DEBUG_WARNING: return RTAUDIO_WARNING;
    case RtAudioError::UNSPECIFIED: return RTAUDIO_UNKNOWN_ERROR;
    case RtAudioError::NO_DEVICES_FOUND: return RTAUDIO_NO_DEVICES_FOUND;
    case RtAudioError::INVALID_DEVICE: return RTAUDIO_INVALID_DEVICE;
    case RtAudioError::MEMORY_ERROR: return RTAUDIO_MEMORY_ERROR;
    case RtAudioError::INVALID_PARAMETER: return RTAUDIO_INVALID_PARAMETER;
    case RtAudioError::INVALID_USE: return RTAUDIO_INVALID_USE;
    case RtAudioError::DRIVER_ERROR: return RTAUDIO_DRIVER_ERROR;
    case RtAudioError::SYSTEM_ERROR: return RTAUDIO_SYSTEM_ERROR;
    case RtAudioError::THREAD_ERROR: return RTAUDIO_THREAD_ERROR;
    }
    return RTAUDIO_UNKNOWN_ERROR;
}

struct Message {
    RtAudioErrorType type;
    std::string text;
};

// ---------------------------------------------------------------------------------------------
// Quiet probing

void silentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}
void silentJackHandler(const char*) {}

// Probing ALSA on a machine without cards, or JACK without a server, prints pages of diagnostics
// that mean nothing to the user; every failure we care about reaches the error callback anyway.
void silenceBackEnds() {
    snd_lib_error_set_handler(&silentAlsaHandler);
    jack_set_error_function(&silentJackHandler);
    jack_set_info_function(&silentJackHandler);
}

::RtAudio::Api processApi() {
    static std::once_flag once;
    static ::RtAudio::Api chosen = ::RtAudio::UNSPECIFIED;
    std::call_once(once, [] {
        silenceBackEnds();
        std::vector<::RtAudio::Api> apis;
        ::RtAudio::getCompiledApi(apis);
        for (::RtAudio::Api api : apis) {
            try {
                ::RtAudio probe(api);
                probe.showWarnings(false);
                if (probe.getDeviceCount() > 0) {
                    chosen = api;
                    return;
                }
            } catch (...) {
                // An API that cannot even be asked is as good as one without devices.
            }
        }
        if (!apis.empty()) chosen = apis.front();
    });
    return chosen;
}

// ---------------------------------------------------------------------------------------------
// Device ids

struct DeviceEntry {
    unsigned int id;
    unsigned int index;
    ::RtAudio::DeviceInfo info;
};

// Owns the library's device list. The Pulse back end keeps one device list for the whole process
// and every instance's openStream resolves indices against it, so enumerating and opening are
// serialised under one lock: an index found here is still the same device when the open uses it.
class DeviceRegistry {
public:
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }

    // Caller holds lock(). Throws what the library throws.
    std::vector<DeviceEntry> enumerate() {
        if (!probe_) {
            probe_ = std::make_unique<::RtAudio>(processApi());
            probe_->showWarnings(false);
        }
        std::vector<DeviceEntry> entries;
        std::map<std::string, unsigned int> seen;
        const unsigned int count = probe_->getDeviceCount();
        for (unsigned int index = 0; index < count; ++index) {
            ::RtAudio::DeviceInfo info = probe_->getDeviceInfo(index);
            if (info.name.empty()) continue; // nothing to key it by
            // Two devices may share a name; their order of appearance tells them apart.
            const unsigned int occurrence = seen[info.name]++;
            auto [it, added] = ids_.try_emplace({info.name, occurrence}, nextId_);
            if (added) ++nextId_;
            entries.push_back({it->second, index, std::move(info)});
        }
        return entries;
    }

private:
    std::mutex mutex_;
    std::unique_ptr<::RtAudio> probe_;
    std::map<std::pair<std::string, unsigned int>, unsigned int> ids_;
    unsigned int nextId_{kFirstDeviceId};
};

// Never destroyed: the worker and late instance destructors may still reach it during exit.
DeviceRegistry& registry() {
    static DeviceRegistry* instance = new DeviceRegistry;
    return *instance;
}

const DeviceEntry* findById(const std::vector<DeviceEntry>& entries, unsigned int id) {
    for (const DeviceEntry& entry : entries)
        if (entry.id == id) return &entry;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Routing the library's errors

// Set around a library call made on a control thread: errors raised inside it belong to that call.
struct Capture {
    std::vector<std::pair<RtAudioError::Type, std::string>> errors;
};
thread_local Capture* tlCapture = nullptr;
// Set on a library audio thread by the callback trampoline: errors raised there belong to it.
thread_local InstanceState* tlAudioState = nullptr;

// Forwards what the library's threads report and watches open streams for lost devices. The
// thread runs only while some stream is open or a report is pending.
class DeviceWatch {
public:
    void post(std::weak_ptr<InstanceState> target, Message message) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!running_) return; // no open stream left to care about it
        reports_.push_back({std::move(target), std::move(message)});
        sweepRequested_ = true;
        wake_.notify_one();
    }

    void requestSweep() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!running_) return;
        sweepRequested_ = true;
        wake_.notify_one();
    }

    void watch(const std::shared_ptr<InstanceState>& state, const std::shared_ptr<OpenStreamRecord>& record) {
        std::lock_guard<std::mutex> guard(mutex_);
        watched_.push_back({state, record});
        if (running_ || stopping_) return;
        if (thread_.joinable()) thread_.join(); // the previous worker has already left its loop
        running_ = true;
        thread_ = std::thread([this] { run(); });
    }

    void unwatch(const std::shared_ptr<OpenStreamRecord>& record) {
        record->closed.store(true);
        std::lock_guard<std::mutex> guard(mutex_);
        std::erase_if(watched_, [&](const Watched& w) { return w.record == record; });
        wake_.notify_one();
    }

    // At exit. The object itself is never destroyed, so a worker stuck in a server call past the
    // timeout is left behind rather than hanging the process.
    void shutdown() {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
        if (!thread_.joinable()) return;
        const bool done = finished_.wait_for(lock, kExitJoinTimeout, [this] { return !running_; });
        std::thread thread = std::move(thread_);
        lock.unlock();
        if (done)
            thread.join();
        else
            thread.detach();
    }

private:
    struct Watched {
        std::weak_ptr<InstanceState> state;
        std::shared_ptr<OpenStreamRecord> record;
    };
    struct Report {
        std::weak_ptr<InstanceState> target;
        Message message;
    };

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        auto nextPoll = std::chrono::steady_clock::now() + kPollInterval;
        while (!stopping_) {
            if (reports_.empty() && !sweepRequested_) {
                if (watched_.empty()) break;
                wake_.wait_until(lock, nextPoll, [this] {
                    return stopping_ || !reports_.empty() || sweepRequested_ || watched_.empty();
                });
                if (stopping_) break;
            }
            const bool pollDue = std::chrono::steady_clock::now() >= nextPoll;
            if (!pollDue && reports_.empty() && !sweepRequested_) continue;

            std::deque<Report> reports = std::move(reports_);
            reports_.clear();
            const bool sweep = sweepRequested_ || pollDue;
            sweepRequested_ = false;
            std::vector<Watched> watched = watched_;
            lock.unlock();

            for (const Report& report : reports)
                if (auto state = report.target.lock()) state->deliver(report.message.type, report.message.text);
            if (sweep && !watched.empty()) sweepForLostDevices(watched);
            watched.clear(); // drop the references before taking the lock again

            lock.lock();
            if (pollDue) nextPoll = std::chrono::steady_clock::now() + kPollInterval;
        }
        running_ = false;
        finished_.notify_all();
    }

    static bool presentIds(std::set<unsigned int>& ids) {
        try {
            auto lock = registry().lock();
            for (const DeviceEntry& entry : registry().enumerate()) ids.insert(entry.id);
            return true;
        } catch (...) {
            return false; // cannot tell; the next poll asks again
        }
    }

    static void sweepForLostDevices(const std::vector<Watched>& watched) {
        std::set<unsigned int> present;
        if (!presentIds(present)) return;
        auto missingFrom = [](const Watched& w, const std::set<unsigned int>& ids) {
            std::vector<const OpenStreamRecord::Device*> missing;
            for (const auto& device : w.record->devices)
                if (!ids.contains(device.id)) missing.push_back(&device);
            return missing;
        };
        bool anyMissing = false;
        for (const Watched& w : watched)
            if (!w.record->reported.load() && !missingFrom(w, present).empty()) anyMissing = true;
        if (!anyMissing) return;

        std::this_thread::sleep_for(kConfirmDelay);
        present.clear();
        if (!presentIds(present)) return;
        for (const Watched& w : watched) {
            if (w.record->closed.load()) continue;
            const auto missing = missingFrom(w, present);
            if (missing.empty() || w.record->reported.exchange(true)) continue;
            std::string text = "Device disconnected: ";
            for (std::size_t i = 0; i < missing.size(); ++i)
                text += (i ? ", '" : "'") + missing[i]->name + "'";
            text += missing.size() > 1 ? " are gone." : " is gone.";
            if (auto state = w.state.lock()) state->deliver(RTAUDIO_DEVICE_DISCONNECT, text);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::deque<Report> reports_;
    std::vector<Watched> watched_;
    bool sweepRequested_{false};
    bool running_{false};
    bool stopping_{false};
    std::thread thread_;
};

DeviceWatch& deviceWatch() {
    static DeviceWatch* instance = new DeviceWatch;
    return *instance;
}

// Stops the worker when the process exits, with a bounded wait.
struct DeviceWatchShutdown {
    ~DeviceWatchShutdown() { deviceWatch().shutdown(); }
} deviceWatchShutdown;

// The library's error callback. It has no user data, so the thread tells whose error it is.
void libraryErrorHook(RtAudioError::Type type, const std::string& text) {
    if (tlCapture) {
        tlCapture->errors.emplace_back(type, text);
        return;
    }
    if (tlAudioState) {
        // Never call out from the audio thread: the worker delivers it, then looks for lost devices.
        deviceWatch().post(tlAudioState->weak_from_this(), {toErrorType(type), text});
        return;
    }
    // A library thread that has not run a period yet; it can only matter as a lost device.
    deviceWatch().requestSweep();
}

int audioTrampoline(void* outputBuffer, void* inputBuffer, unsigned int nFrames, double streamTime,
                    RtAudioStreamStatus status, void* userData) {
    auto* state = static_cast<InstanceState*>(userData);
    tlAudioState = state; // stays set: the library reports write/read errors after we return
    return state->userCallback(outputBuffer, inputBuffer, nFrames, streamTime,
                               static_cast<audio::RtAudioStreamStatus>(status), state->userData);
}

// The outcome of a library call: its code and the messages still to hand to the error callback.
struct Outcome {
    RtAudioErrorType code{RTAUDIO_NO_ERROR};
    std::vector<Message> messages;

    void fail(RtAudioErrorType type, std::string text) {
        if (code == RTAUDIO_NO_ERROR || (code == RTAUDIO_WARNING && type != RTAUDIO_WARNING)) code = type;
        messages.push_back({type, std::move(text)});
    }
};

template <typename Call>
Outcome callLibrary(Call&& call) {
    Outcome outcome;
    Capture capture;
    Capture* const previous = tlCapture;
    tlCapture = &capture;
    try {
        call();
    } catch (const RtAudioError& e) {
        capture.errors.emplace_back(e.getType(), e.getMessage());
    } catch (const std::exception& e) {
        capture.errors.emplace_back(RtAudioError::UNSPECIFIED, e.what());
    } catch (...) {
        capture.errors.emplace_back(RtAudioError::UNSPECIFIED, "RtAudio: unknown failure");
    }
    tlCapture = previous;
    for (auto& [type, text] : capture.errors) outcome.fail(toErrorType(type), std::move(text));
    return outcome;
}

// Hands an outcome's messages to the instance's callback; never under a lock of this layer, so the
// callback may call back into the instance.
RtAudioErrorType finish(const InstanceState& state, Outcome&& outcome) {
    for (const Message& message : outcome.messages) state.deliver(message.type, message.text);
    return outcome.code;
}

std::vector<DeviceEntry> enumerateFor(const InstanceState& state) {
    std::vector<DeviceEntry> entries;
    Outcome outcome = callLibrary([&] {
        auto lock = registry().lock();
        entries = registry().enumerate();
    });
    finish(state, std::move(outcome));
    return entries;
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
    : state_(std::make_shared<InstanceState>(std::move(errorCallback))) {
    const ::RtAudio::Api api = processApi();
    auto lock = registry().lock(); // constructing a back end may touch the shared device list
    library_ = std::make_unique<::RtAudio>(api);
    library_->showWarnings(false);
}

SystemRtAudio::~SystemRtAudio() {
    closeStream();
    state_->alive.store(false);
    try {
        auto lock = registry().lock();
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
    state_->deliver(RTAUDIO_INVALID_PARAMETER,
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
        state_->deliver(type, "openStream: " + text);
        return type;
    };
    // Checked here rather than by the library: its audio thread would be reading the callback we
    // are about to replace.
    if (library_->isStreamOpen()) return refuse(RTAUDIO_INVALID_USE, "a stream is already open.");
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

    std::vector<OpenStreamRecord::Device> used;
    Outcome outcome;
    {
        auto lock = registry().lock();
        std::vector<DeviceEntry> entries;
        outcome = callLibrary([&] { entries = registry().enumerate(); });
        if (outcome.code != RTAUDIO_NO_ERROR) {
            lock.unlock();
            return finish(*state_, std::move(outcome));
        }

        auto translate = [&](const StreamParameters& ours, ::RtAudio::StreamParameters& theirs,
                             const char* direction) {
            const DeviceEntry* entry = findById(entries, ours.deviceId);
            if (!entry) {
                outcome.fail(RTAUDIO_INVALID_DEVICE, "openStream: the " + std::string(direction) + " device id " +
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
            return finish(*state_, std::move(outcome));
        }

        state_->userCallback = callback;
        state_->userData = userData;
        outcome = callLibrary([&] {
            library_->openStream(wantOutput ? &libraryOutput : nullptr, wantInput ? &libraryInput : nullptr,
                                 format, sampleRate, &frames, &audioTrampoline, state_.get(),
                                 options ? &libraryOptions : nullptr, &libraryErrorHook);
        });
    }

    if (bufferFrames) *bufferFrames = frames;
    if (options) options->numberOfBuffers = libraryOptions.numberOfBuffers;
    if (library_->isStreamOpen()) {
        openStream_ = std::make_shared<OpenStreamRecord>();
        openStream_->devices = std::move(used);
        deviceWatch().watch(state_, openStream_);
    }
    return finish(*state_, std::move(outcome));
}

void SystemRtAudio::closeStream() {
    if (openStream_) {
        deviceWatch().unwatch(openStream_);
        openStream_.reset();
    }
    if (!library_ || !library_->isStreamOpen()) return;
    finish(*state_, callLibrary([&] { library_->closeStream(); }));
}

RtAudioErrorType SystemRtAudio::startStream() {
    Outcome outcome = callLibrary([&] { library_->startStream(); });
    // A stream that fails to start or stop may have lost its device.
    if (outcome.code > RTAUDIO_WARNING && openStream_) deviceWatch().requestSweep();
    return finish(*state_, std::move(outcome));
}

RtAudioErrorType SystemRtAudio::stopStream() {
    if (!library_->isStreamRunning()) {
        state_->deliver(RTAUDIO_WARNING, "stopStream: the stream is not running.");
        return RTAUDIO_WARNING;
    }
    Outcome outcome = callLibrary([&] { library_->stopStream(); });
    if (outcome.code > RTAUDIO_WARNING && openStream_) deviceWatch().requestSweep();
    return finish(*state_, std::move(outcome));
}

bool SystemRtAudio::isStreamOpen() const { return library_->isStreamOpen(); }

bool SystemRtAudio::isStreamRunning() const { return library_->isStreamRunning(); }

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
