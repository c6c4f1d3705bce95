#include "audio/rtaudio/StableDeviceIds.hpp"

#include <algorithm>

namespace audio::detail {

StableDeviceIds& registry() {
    static StableDeviceIds* instance = new StableDeviceIds;
    return *instance;
}

std::vector<DeviceEntry> StableDeviceIds::enumerate() {
    // Taken before asking: a change announced while the library answers makes this list stale.
    const std::uint64_t generation = generation_.load();
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
    kept_ = entries;
    keptGeneration_ = generation;
    return entries;
}

std::vector<DeviceEntry> StableDeviceIds::current() {
    if (announced_.load() && keptGeneration_ == generation_.load()) return kept_;
    return enumerate();
}

void keepNativeRates(::RtAudio::Api api, ::RtAudio::DeviceInfo& info) {
    const unsigned int native = info.preferredSampleRate;
    if (api != ::RtAudio::LINUX_PULSE || native == 0) return;
    auto& rates = info.sampleRates;
    std::erase_if(rates, [native](unsigned int rate) { return rate > native; });
    if (std::find(rates.begin(), rates.end(), native) == rates.end()) rates.push_back(native);
    std::sort(rates.begin(), rates.end());
}

const DeviceEntry* findById(const std::vector<DeviceEntry>& entries, unsigned int id) {
    for (const DeviceEntry& entry : entries)
        if (entry.id == id) return &entry;
    return nullptr;
}

Device toDevice(const DeviceEntry& entry) {
    Device device;
    device.id = entry.id;
    device.name = entry.info.name;
    device.outputChannels = entry.info.outputChannels;
    device.inputChannels = entry.info.inputChannels;
    device.isDefaultOutput = entry.info.isDefaultOutput;
    device.isDefaultInput = entry.info.isDefaultInput;
    device.sampleRates = entry.info.sampleRates;
    // 5.2's preferred rate is the one the device runs at (Pulse: native).
    device.preferredSampleRate = entry.info.preferredSampleRate;
    return device;
}

} // namespace audio::detail
