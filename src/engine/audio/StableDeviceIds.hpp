#pragma once

// Device ids that stay the same for the life of the process: the library numbers devices by their
// position in the server's current list, which shifts whenever a device comes or goes.

#include "engine/audio/LibraryBackEnd.hpp"
#include "engine/audio/LibraryState.hpp"

#include <map>
#include <memory>
#include <mutex>
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
class StableDeviceIds {
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
            keepNativeRates(processApi(), info);
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

// The process's one set of ids; never destroyed, as late threads may still reach it during exit.
StableDeviceIds& registry();

const DeviceEntry* findById(const std::vector<DeviceEntry>& entries, unsigned int id);
RtAudio::DeviceInfo toDeviceInfo(const DeviceEntry& entry);

} // namespace audio::detail
