#pragma once

// The devices of a PulseAudio server (or PipeWire's PulseAudio server) as the engine sees them:
// sinks are outputs, sources (monitors included) are inputs, each under an id that stays the same
// for the life of the process.

#include "audio/BackEnd.hpp"

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

// Collects one answer of the server (its sinks, its sources, its defaults), then numbers it.
class PulseListing {
public:
    void addSink(const pa_sink_info& sink);
    void addSource(const pa_source_info& source);
    void setDefaults(const char* sinkName, const char* sourceName);

    // Devices in a stable order (sinks, then sources; each the default first, then by the server's
    // index), with their ids
    // and defaults. Ids come from `ids`, which keeps them for the process's life.
    PulseDeviceList finish(class PulseDeviceIds& ids);

private:
    struct Pending {
        uint32_t index;
        PulseDevice device;
    };
    std::vector<Pending> sinks_, sources_;
    std::string defaultSink_, defaultSource_;
};

// The server's own names for its devices (unique among sinks and among sources, unlike their
// descriptions) to ids from 129 up, so 0 keeps meaning "no device": a device keeps its id for the
// life of the process, gets it back when it returns, and no other device is ever given it.
class PulseDeviceIds {
public:
    unsigned int idFor(bool isSink, const std::string& serverName);

private:
    std::map<std::pair<bool, std::string>, unsigned int> ids_;
    unsigned int nextId_{129};
};

// The standard rates up to and including the one the device runs at: the server accepts every rate
// and resamples, so the highest rate two devices share is their native one.
std::vector<unsigned int> ratesUpTo(unsigned int nativeRate);

const PulseDevice* findDevice(const PulseDeviceList& devices, DeviceId id);

} // namespace audio::detail
