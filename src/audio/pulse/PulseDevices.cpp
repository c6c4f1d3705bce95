#include "audio/pulse/PulseDevices.hpp"

#include <algorithm>

namespace audio::detail {

namespace {

PulseDevice describe(const char* name, const char* description, const pa_sample_spec& spec,
                     const pa_channel_map& map, bool isSink) {
    PulseDevice device;
    device.serverName = name ? name : "";
    device.isSink = isSink;
    device.channelMap = map;
    device.info.name = description && *description ? description : device.serverName;
    (isSink ? device.info.outputChannels : device.info.inputChannels) = spec.channels;
    device.info.preferredSampleRate = spec.rate;
    device.info.sampleRates = ratesUpTo(spec.rate);
    return device;
}

} // namespace

PulseDevice describeSink(const pa_sink_info& sink) {
    return describe(sink.name, sink.description, sink.sample_spec, sink.channel_map, true);
}

PulseDevice describeSource(const pa_source_info& source) {
    return describe(source.name, source.description, source.sample_spec, source.channel_map, false);
}

void PulseListing::addSink(const pa_sink_info& sink) { sinks_.push_back({sink.index, describeSink(sink)}); }

void PulseListing::addSource(const pa_source_info& source) {
    sources_.push_back({source.index, describeSource(source)});
}

void PulseListing::setDefaults(const char* sinkName, const char* sourceName) {
    defaultSink_ = sinkName ? sinkName : "";
    defaultSource_ = sourceName ? sourceName : "";
}

PulseDeviceList PulseListing::finish(PulseDeviceIds& ids) {
    // The default device first, as the library lists them, then in the server's order.
    auto order = [](const std::string& defaultName) {
        return [&defaultName](const Pending& a, const Pending& b) {
            const bool aFirst = a.device.serverName == defaultName, bFirst = b.device.serverName == defaultName;
            return aFirst != bFirst ? aFirst : a.index < b.index;
        };
    };
    std::sort(sinks_.begin(), sinks_.end(), order(defaultSink_));
    std::sort(sources_.begin(), sources_.end(), order(defaultSource_));
    PulseDeviceList devices;
    for (auto* group : {&sinks_, &sources_}) {
        for (Pending& pending : *group) {
            PulseDevice& device = pending.device;
            if (device.serverName.empty()) continue; // nothing to connect a stream to
            device.info.id = ids.idFor(device.isSink, device.serverName);
            device.info.isDefaultOutput = device.isSink && device.serverName == defaultSink_;
            device.info.isDefaultInput = !device.isSink && device.serverName == defaultSource_;
            devices.push_back(std::move(device));
        }
    }
    return devices;
}

const PulseDevice* findDevice(const PulseDeviceList& devices, DeviceId id) {
    for (const PulseDevice& device : devices)
        if (device.info.id == id) return &device;
    return nullptr;
}

bool listedAsIs(const PulseDeviceList& devices, const PulseDevice& device) {
    for (const PulseDevice& listed : devices) {
        if (listed.isSink != device.isSink || listed.serverName != device.serverName) continue;
        return listed.info.name == device.info.name && listed.info.inputChannels == device.info.inputChannels &&
               listed.info.outputChannels == device.info.outputChannels &&
               listed.info.preferredSampleRate == device.info.preferredSampleRate &&
               pa_channel_map_equal(&listed.channelMap, &device.channelMap);
    }
    return false;
}

} // namespace audio::detail
