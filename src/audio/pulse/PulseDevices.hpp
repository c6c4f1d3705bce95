#pragma once

// The devices of a PulseAudio server (or PipeWire's PulseAudio server) as the engine sees them:
// sinks are outputs, sources (monitors included) are inputs, each under an id that stays the same
// for the life of the process.

#include "audio/BackEnd.hpp"
#include "audio/DeviceIds.hpp"
#include "audio/StandardRates.hpp"

#include <pulse/pulseaudio.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace audio::detail {

struct PulseDevice {
    Device info;            // info.id is the engine's id
    std::string serverName;   // what the server calls it, to connect streams by
    bool isSink{false};
    pa_channel_map channelMap{};
};

using PulseDeviceList = std::vector<PulseDevice>;

// Keyed by the server's own names (unique among sinks and among sources, unlike descriptions) and
// whether the device is a sink.
using PulseDeviceIds = DeviceIds<bool>;

// Collects one answer of the server (its sinks, its sources, its defaults), then numbers it.
class PulseListing {
public:
    void addSink(const pa_sink_info& sink);
    void addSource(const pa_source_info& source);
    void setDefaults(const char* sinkName, const char* sourceName);

    // Devices in a stable order (sinks, then sources; each the default first, then by the server's
    // index), with their ids
    // and defaults. Ids come from `ids`, which keeps them for the process's life.
    PulseDeviceList finish(PulseDeviceIds& ids);

private:
    struct Pending {
        uint32_t index;
        PulseDevice device;
    };
    std::vector<Pending> sinks_, sources_;
    std::string defaultSink_, defaultSource_;
};

const PulseDevice* findDevice(const PulseDeviceList& devices, DeviceId id);

// One device as the server describes it now (no id, not marked default).
PulseDevice describeSink(const pa_sink_info& sink);
PulseDevice describeSource(const pa_source_info& source);

// Whether the list shows `device` as it now is: its description, channels and their layout, and
// rate. What else the server announces a change of (the device starting or going idle, its volume,
// its latency) is not listed, and needs no new list.
bool listedAsIs(const PulseDeviceList& devices, const PulseDevice& device);

} // namespace audio::detail
