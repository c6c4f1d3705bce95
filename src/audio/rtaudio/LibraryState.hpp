#pragma once

// What the adapter over the installed audio library shares between its parts: the per-instance
// state that the library's threads reach, the record of an open stream, and the library's error
// kinds in the engine's terms. Included only by the adapter's own files.

#include "audio/BackEnd.hpp"

#include <RtAudio.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace audio::detail {

// What the library's threads and the device worker need of an instance. It outlives the library
// object, so a report in flight never reaches freed memory.
struct InstanceState : std::enable_shared_from_this<InstanceState> {
    using Reports = std::function<void(Fault fault, const std::string& text)>;
    explicit InstanceState(Reports callback) : errorCallback(std::move(callback)) {}

    void deliver(Fault fault, const std::string& text) const {
        if (!alive.load() || !errorCallback) return;
        try {
            errorCallback(fault, text);
        } catch (...) {
            // A throwing handler must not unwind into the library or the worker.
        }
    }

    const Reports errorCallback;
    std::atomic<bool> alive{true};
    // Written only while no stream is open, read by the audio thread.
    PeriodCallback userCallback{};
    void* userData{};

    // The library object, for the device watch to stop a stream off the audio thread. Every call
    // into it is made under libraryMutex, which the audio thread never takes.
    std::mutex libraryMutex;
    ::RtAudio* library{nullptr};
    // Errors raised on the audio thread since the stream opened: the first is reported and stops
    // the stream, the rest are only counted.
    std::atomic<unsigned long> audioErrors{0};
};

// One per opened stream: the devices it uses, whether their loss has been reported and whether
// their return has.
struct OpenStreamRecord {
    struct Device {
        unsigned int id;
        std::string name;
    };
    std::vector<Device> devices;
    std::atomic<bool> reported{false};
    // Its devices were seen again after the loss and the engine was told.
    std::atomic<bool> announcedBack{false};
    std::atomic<bool> closed{false};
};

struct Message {
    Fault type;
    std::string text;
};

// Reports from the library's threads waiting for the watch; more than this are counted, not kept.
inline constexpr std::size_t kMaxPendingReports = 64;

inline constexpr unsigned int kFirstDeviceId = 129;
inline constexpr auto kPollInterval = std::chrono::seconds(1);
// A device must be missing from two enumerations this far apart before it counts as gone, so a
// server that briefly answers with an empty list does not tear streams down.
inline constexpr auto kConfirmDelay = std::chrono::milliseconds(100);
inline constexpr auto kExitJoinTimeout = std::chrono::seconds(2);

Fault toFault(::RtAudioError::Type type);

} // namespace audio::detail
