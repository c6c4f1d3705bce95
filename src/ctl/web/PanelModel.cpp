#include "ctl/web/PanelModel.hpp"

#include <cmath>
#include <cstdio>

namespace Ctl::Web {

namespace {

using Json = nlohmann::json;

// A device a stream names is shown by name; one the lists no longer hold is marked missing.
Json deviceRef(int id, const std::vector<DeviceEntry>& devices) {
    for (const auto& device : devices)
        if (device.id == id) return {{"id", id}, {"name", device.name}, {"missing", false}};
    return {{"id", id}, {"name", "device " + std::to_string(id)}, {"missing", true}};
}

Json deviceList(const std::vector<DeviceEntry>& devices) {
    Json list = Json::array();
    for (const auto& d : devices) list.push_back({{"id", d.id}, {"name", d.name}, {"channels", d.channels}});
    return list;
}

// JSON has no NaN or infinity; the page shows a missing value instead.
Json number(float value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

// `volume` overrides the VolumeEffect's value: the state poll reads it more often than the chain,
// and group sync changes it on streams nobody touched.
Json chainJson(const ChainState* chain, float volume) {
    Json effects = Json::array(), addable = Json::array();
    if (chain) {
        for (const auto& effect : chain->effects) {
            Json parameters = Json::array();
            for (const auto& p : effect.parameters) {
                const bool fader = effect.name == "VolumeEffect" && p.name == "volume" && volume >= 0;
                parameters.push_back({{"name", p.name}, {"value", number(fader ? volume : p.value)},
                                      {"min", number(p.min)}, {"max", number(p.max)}});
            }
            effects.push_back({{"name", effect.name}, {"enabled", effect.enabled}, {"parameters", parameters}});
        }
        for (const auto& name : chain->addable) addable.push_back(name);
    }
    return {{"effects", effects}, {"addable", addable}};
}

std::string hexColour(const GroupEntry& group) {
    char text[8];
    auto channel = [](int value) { return value < 0 ? 0 : value > 255 ? 255 : value; };
    std::snprintf(text, sizeof(text), "#%02x%02x%02x", channel(group.red), channel(group.green), channel(group.blue));
    return text;
}

} // namespace

Json panelJson(const PanelState& state) {
    Json streams = Json::array();
    for (const auto& entry : state.streams) {
        const auto& s = entry.stream;
        const auto chain = state.chains.find(s.id);
        Json routes = Json::array();
        for (const auto& [input, output] : entry.routes) routes.push_back({input, output});
        streams.push_back({{"id", s.id},
                           {"name", s.name},
                           {"input", deviceRef(s.inputDevice, state.inputs)},
                           {"output", deviceRef(s.outputDevice, state.outputs)},
                           {"sampleRate", s.sampleRate},
                           {"bufferFrames", s.bufferFrames},
                           {"running", entry.running},
                           {"inputChannels", entry.inputChannels},
                           {"outputChannels", entry.outputChannels},
                           {"group", entry.groupId},
                           {"routes", routes},
                           {"chain", chainJson(chain == state.chains.end() ? nullptr : &chain->second, s.volume)}});
    }
    Json groups = Json::array();
    for (const auto& g : state.groups)
        groups.push_back({{"id", g.id},
                          {"color", hexColour(g)},
                          {"volumeSync", g.volumeLevel ? "level" : g.volumeRatio ? "ratio" : "off"},
                          {"effects", g.effects},
                          {"members", g.members}});
    Json notices = Json::array();
    for (const auto& n : state.notices) notices.push_back({{"id", n.id}, {"text", n.text}});
    const auto master = state.chains.find(-1);
    return {{"engine", {{"connected", state.connected}, {"socket", state.socketPath}}},
            {"devices", {{"inputs", deviceList(state.inputs)}, {"outputs", deviceList(state.outputs)}}},
            {"streams", streams},
            {"master", chainJson(master == state.chains.end() ? nullptr : &master->second, -1)},
            {"groups", groups},
            {"notices", notices}};
}

} // namespace Ctl::Web
