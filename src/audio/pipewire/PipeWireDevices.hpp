#pragma once

// The audio nodes of a PipeWire graph as the engine sees them: sinks are outputs, sources are
// inputs, and each sink's monitor is an input too. Ids are keyed by the node's name (unique in the
// graph, unlike its description) and last for the process. Plain data, no libpipewire: the
// connection fills it from the registry.

#include "audio/BackEnd.hpp"
#include "audio/DeviceIds.hpp"
#include "audio/StandardRates.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace audio::detail {

// What the registry and the node's own properties say about one audio node.
struct PipeWireNode {
    std::uint32_t globalId{0};
    std::string name;        // node.name
    std::string description; // node.description
    std::string mediaClass;  // Audio/Sink, Audio/Source, ...
    unsigned int channels{0}; // audio.channels; 0 when the node does not say
    unsigned int rate{0};     // audio.rate; 0 when the node does not say
    // The channel names (FL, FR, MONO, ...) of its ports in port order, once its ports are known.
    std::vector<std::string> inputPorts;   // playback ports of a sink
    std::vector<std::string> outputPorts;  // capture ports of a source
    std::vector<std::string> monitorPorts; // monitor ports of a sink
};

struct PipeWireDevice {
    Device info;           // info.id is the engine's id
    std::string nodeName;  // what streams target
    bool isSink{false};
    bool isMonitor{false}; // an input that records what its sink plays
    std::vector<std::string> positions; // channel names, one per channel (may be empty)
};

using PipeWireDeviceList = std::vector<PipeWireDevice>;

// Node names to ids. A sink, its monitor and a source of the same name are three devices.
enum class NodeKind { Sink, Source, Monitor };
using PipeWireDeviceIds = DeviceIds<NodeKind>;

// Which media classes are devices, and in which direction.
bool isOutputClass(const std::string& mediaClass);
bool isInputClass(const std::string& mediaClass);

// The engine's list: outputs, then inputs (sources, then monitors); the default of each first,
// then in the graph's order. `graphRate` serves nodes that do not name a rate of their own.
PipeWireDeviceList listDevices(const std::vector<PipeWireNode>& nodes, const std::string& defaultSink,
                               const std::string& defaultSource, unsigned int graphRate, PipeWireDeviceIds& ids);

// The name in a "default" metadata value ({"name":"alsa_output..."}); empty when there is none.
std::string defaultNodeName(const char* json);

const PipeWireDevice* findDevice(const PipeWireDeviceList& devices, DeviceId id);

} // namespace audio::detail
