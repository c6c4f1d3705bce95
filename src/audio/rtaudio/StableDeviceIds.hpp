#pragma once

// Device ids that stay the same for the life of the process: the library numbers devices by their
// position in the server's current list, which shifts whenever a device comes or goes.

#include "audio/rtaudio/LibraryBackEnd.hpp"
#include "audio/rtaudio/LibraryState.hpp"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace audio::detail {

struct DeviceEntry {
    unsigned int id;
    unsigned int index;
    ::RtAudio::DeviceInfo info;
};

// A sound server (PulseAudio, PipeWire's PulseAudio) accepts every standard rate and resamples to
// the rate its device runs at, which the library reports as the preferred rate. Such a device lists
// the standard rates up to and including that one, so the highest common rate is the native one and
// the server resamples nothing. Other back ends keep the library's list.
void keepNativeRates(::RtAudio::Api api, ::RtAudio::DeviceInfo& info);

// Owns the library's device list. The Pulse back end keeps one device list for the whole process
// and every instance's openStream resolves indices against it, so enumerating and opening are
// serialised under one lock: an index found here is still the same device when the open uses it.
// On a server that announces every change of its devices the last list is kept and handed out
// until a change arrives: on PulseAudio each enumeration is a new server connection, and the
// library leaks some memory with each one.
class StableDeviceIds {
public:
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }

    // Caller holds lock(). Asks the library for the list as it is now. Throws what the library throws.
    std::vector<DeviceEntry> enumerate();
    // Caller holds lock(). The kept list while no change can have happened since it was taken, a
    // fresh one otherwise.
    std::vector<DeviceEntry> current();

    // From the server's event connection: while it is subscribed, every change is announced, so a
    // kept list stays true until invalidate(). Either call drops the kept list.
    void announceChanges(bool subscribed) {
        announced_.store(subscribed);
        invalidate();
    }
    void invalidate() { generation_.fetch_add(1); }

private:
    std::mutex mutex_;
    std::unique_ptr<::RtAudio> probe_;
    std::map<std::pair<std::string, unsigned int>, unsigned int> ids_;
    unsigned int nextId_{kFirstDeviceId};
    std::atomic<bool> announced_{false};
    std::atomic<std::uint64_t> generation_{0};
    std::optional<std::uint64_t> keptGeneration_;
    std::vector<DeviceEntry> kept_;
};

// The process's one set of ids; never destroyed, as late threads may still reach it during exit.
StableDeviceIds& registry();

const DeviceEntry* findById(const std::vector<DeviceEntry>& entries, unsigned int id);
Device toDevice(const DeviceEntry& entry);

} // namespace audio::detail
