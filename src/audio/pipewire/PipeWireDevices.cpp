#include "audio/pipewire/PipeWireDevices.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace audio::detail {

bool isOutputClass(const std::string& mediaClass) { return mediaClass == "Audio/Sink" || mediaClass == "Audio/Duplex"; }

bool isInputClass(const std::string& mediaClass) {
    return mediaClass == "Audio/Source" || mediaClass == "Audio/Source/Virtual" || mediaClass == "Audio/Duplex";
}

namespace {

struct Candidate {
    std::uint32_t order;
    NodeKind kind;
    PipeWireDevice device;
};

PipeWireDevice describe(const PipeWireNode& node, NodeKind kind, unsigned int graphRate) {
    const std::vector<std::string>& ports =
        kind == NodeKind::Sink ? node.inputPorts : kind == NodeKind::Source ? node.outputPorts : node.monitorPorts;
    PipeWireDevice device;
    device.nodeName = node.name;
    device.isSink = kind == NodeKind::Sink;
    device.isMonitor = kind == NodeKind::Monitor;
    // The ports are what a stream can link to; the property stands in until they are known.
    const unsigned int channels = ports.empty() ? node.channels : static_cast<unsigned int>(ports.size());
    if (ports.size() == channels) device.positions = ports;
    const std::string description = node.description.empty() ? node.name : node.description;
    device.info.name = kind == NodeKind::Monitor ? "Monitor of " + description : description;
    (device.isSink ? device.info.outputChannels : device.info.inputChannels) = channels;
    const unsigned int rate = node.rate != 0 ? node.rate : graphRate;
    device.info.sampleRates = ratesUpTo(rate);
    device.info.preferredSampleRate = rate;
    return device;
}

} // namespace

PipeWireDeviceList listDevices(const std::vector<PipeWireNode>& nodes, const std::string& defaultSink,
                               const std::string& defaultSource, unsigned int graphRate, PipeWireDeviceIds& ids) {
    std::vector<Candidate> candidates;
    for (const PipeWireNode& node : nodes) {
        if (node.name.empty()) continue; // nothing to target a stream at
        if (isOutputClass(node.mediaClass)) {
            candidates.push_back({node.globalId, NodeKind::Sink, describe(node, NodeKind::Sink, graphRate)});
            if (!node.monitorPorts.empty() || node.mediaClass == "Audio/Sink")
                candidates.push_back({node.globalId, NodeKind::Monitor, describe(node, NodeKind::Monitor, graphRate)});
        }
        if (isInputClass(node.mediaClass))
            candidates.push_back({node.globalId, NodeKind::Source, describe(node, NodeKind::Source, graphRate)});
    }
    // A monitor made the default source is named after its sink, with or without ".monitor" (as
    // PipeWire's PulseAudio server names it).
    const bool sourceNamedSo = std::any_of(candidates.begin(), candidates.end(), [&](const Candidate& c) {
        return c.kind == NodeKind::Source && c.device.nodeName == defaultSource;
    });
    auto isDefault = [&](const Candidate& candidate) {
        const std::string& name = candidate.device.nodeName;
        switch (candidate.kind) {
        case NodeKind::Sink: return name == defaultSink;
        case NodeKind::Source: return name == defaultSource;
        case NodeKind::Monitor: return defaultSource == name + ".monitor" || (!sourceNamedSo && defaultSource == name);
        }
        return false;
    };
    std::stable_sort(candidates.begin(), candidates.end(), [&](const Candidate& a, const Candidate& b) {
        if (a.kind != b.kind) return a.kind < b.kind;
        if (isDefault(a) != isDefault(b)) return isDefault(a);
        return a.order < b.order;
    });
    PipeWireDeviceList devices;
    for (Candidate& candidate : candidates) {
        PipeWireDevice& device = candidate.device;
        if (device.info.inputChannels == 0 && device.info.outputChannels == 0) continue; // not configured yet
        device.info.id = ids.idFor(candidate.kind, device.nodeName);
        device.info.isDefaultOutput = candidate.kind == NodeKind::Sink && isDefault(candidate);
        device.info.isDefaultInput = candidate.kind != NodeKind::Sink && isDefault(candidate);
        devices.push_back(std::move(device));
    }
    // Without a session manager's word, the first of each direction.
    auto markFirst = [&](bool Device::*flag, bool output) {
        if (std::any_of(devices.begin(), devices.end(), [&](const PipeWireDevice& d) { return d.info.*flag; })) return;
        for (PipeWireDevice& device : devices)
            if ((output ? device.info.outputChannels : device.info.inputChannels) > 0 && !device.isMonitor) {
                device.info.*flag = true;
                return;
            }
    };
    markFirst(&Device::isDefaultOutput, true);
    markFirst(&Device::isDefaultInput, false);
    return devices;
}

std::string defaultNodeName(const char* json) {
    if (!json) return "";
    const auto value = nlohmann::json::parse(json, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return "";
    const auto name = value.find("name");
    return name != value.end() && name->is_string() ? name->get<std::string>() : "";
}

const PipeWireDevice* findDevice(const PipeWireDeviceList& devices, DeviceId id) {
    for (const PipeWireDevice& device : devices)
        if (device.info.id == id) return &device;
    return nullptr;
}

} // namespace audio::detail
