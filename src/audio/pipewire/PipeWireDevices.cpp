#include "audio/pipewire/PipeWireDevices.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace audio::detail {

unsigned int PipeWireDeviceIds::idFor(Kind kind, const std::string& nodeName) {
    auto [it, added] = ids_.try_emplace({kind, nodeName}, nextId_);
    if (added) ++nextId_;
    return it->second;
}

bool isOutputClass(const std::string& mediaClass) { return mediaClass == "Audio/Sink" || mediaClass == "Audio/Duplex"; }

bool isInputClass(const std::string& mediaClass) {
    return mediaClass == "Audio/Source" || mediaClass == "Audio/Source/Virtual" || mediaClass == "Audio/Duplex";
}

namespace {

struct Candidate {
    std::uint32_t order;
    PipeWireDeviceIds::Kind kind;
    PipeWireDevice device;
};

PipeWireDevice describe(const PipeWireNode& node, PipeWireDeviceIds::Kind kind, unsigned int graphRate) {
    using Kind = PipeWireDeviceIds::Kind;
    const std::vector<std::string>& ports =
        kind == Kind::Sink ? node.inputPorts : kind == Kind::Source ? node.outputPorts : node.monitorPorts;
    PipeWireDevice device;
    device.nodeName = node.name;
    device.isSink = kind == Kind::Sink;
    device.isMonitor = kind == Kind::Monitor;
    // The ports are what a stream can link to; the property stands in until they are known.
    const unsigned int channels = ports.empty() ? node.channels : static_cast<unsigned int>(ports.size());
    if (ports.size() == channels) device.positions = ports;
    const std::string description = node.description.empty() ? node.name : node.description;
    device.info.name = kind == Kind::Monitor ? "Monitor of " + description : description;
    (device.isSink ? device.info.outputChannels : device.info.inputChannels) = channels;
    const unsigned int rate = node.rate != 0 ? node.rate : graphRate;
    device.info.sampleRates = standardRatesUpTo(rate);
    device.info.preferredSampleRate = rate;
    return device;
}

} // namespace

PipeWireDeviceList listDevices(const std::vector<PipeWireNode>& nodes, const std::string& defaultSink,
                               const std::string& defaultSource, unsigned int graphRate, PipeWireDeviceIds& ids) {
    using Kind = PipeWireDeviceIds::Kind;
    std::vector<Candidate> candidates;
    for (const PipeWireNode& node : nodes) {
        if (node.name.empty()) continue; // nothing to target a stream at
        if (isOutputClass(node.mediaClass)) {
            candidates.push_back({node.globalId, Kind::Sink, describe(node, Kind::Sink, graphRate)});
            if (!node.monitorPorts.empty() || node.mediaClass == "Audio/Sink")
                candidates.push_back({node.globalId, Kind::Monitor, describe(node, Kind::Monitor, graphRate)});
        }
        if (isInputClass(node.mediaClass))
            candidates.push_back({node.globalId, Kind::Source, describe(node, Kind::Source, graphRate)});
    }
    auto isDefault = [&](const Candidate& candidate) {
        return candidate.kind == Kind::Sink     ? candidate.device.nodeName == defaultSink
               : candidate.kind == Kind::Source ? candidate.device.nodeName == defaultSource
                                                : false;
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
        device.info.isDefaultOutput = candidate.kind == Kind::Sink && isDefault(candidate);
        device.info.isDefaultInput = candidate.kind == Kind::Source && isDefault(candidate);
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

std::vector<unsigned int> standardRatesUpTo(unsigned int nativeRate) {
    std::vector<unsigned int> rates;
    for (unsigned int rate : {8000u, 16000u, 22050u, 32000u, 44100u, 48000u, 88200u, 96000u, 192000u})
        if (rate <= nativeRate) rates.push_back(rate);
    if (nativeRate != 0 && std::find(rates.begin(), rates.end(), nativeRate) == rates.end()) {
        rates.push_back(nativeRate);
        std::sort(rates.begin(), rates.end());
    }
    return rates;
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
