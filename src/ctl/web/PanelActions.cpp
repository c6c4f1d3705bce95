#include "ctl/web/PanelActions.hpp"

#include "ctl/Failure.hpp"
#include "ctl/SessionFiles.hpp"
#include "ipc/Packet.hpp"

#include <algorithm>
#include <cmath>
#include <map>

namespace Ctl::Web {

namespace {

using Json = nlohmann::json;
using Link = PanelEngine::Link;

constexpr std::size_t kLongestText = 4096;
// What a stream may ask of the engine (which refuses the rest): channels per side, sample rates
// the sound servers run at, frames per period.
constexpr int kMostChannels = 64;
constexpr int kLowestRate = 8000, kHighestRate = 384000;
constexpr int kFewestFrames = 1, kMostFrames = 65536;

[[noreturn]] void bad(const std::string& problem) { throw Failure(kUsage, problem); }

int integer(const Json& arguments, const char* key, int lowest, int fallback = -1, bool optional = false) {
    if (!arguments.contains(key)) {
        if (optional) return fallback;
        bad(std::string("missing '") + key + "'");
    }
    const Json& value = arguments[key];
    if (!value.is_number_integer() || value.get<long long>() < lowest || value.get<long long>() > 1'000'000'000)
        bad(std::string("'") + key + "' must be a whole number from " + std::to_string(lowest));
    return value.get<int>();
}

// A stream setting the engine can open: 0 (absent) asks for its default, anything else lies within
// [lowest, highest].
int setting(const Json& arguments, const char* key, int lowest, int highest) {
    const int value = integer(arguments, key, 0, 0, true);
    if (value != 0 && (value < lowest || value > highest))
        bad(std::string("'") + key + "' must be 0 (the default) or from " + std::to_string(lowest) + " to " +
            std::to_string(highest));
    return value;
}

std::string text(const Json& arguments, const char* key) {
    if (!arguments.contains(key) || !arguments[key].is_string()) bad(std::string("missing '") + key + "'");
    const auto value = arguments[key].get<std::string>();
    if (value.empty() || value.size() > kLongestText) bad(std::string("'") + key + "' must be 1 to 4096 bytes");
    return value;
}

bool flag(const Json& arguments, const char* key) {
    if (!arguments.contains(key) || !arguments[key].is_boolean()) bad(std::string("'") + key + "' must be true or false");
    return arguments[key].get<bool>();
}

float finite(const Json& arguments, const char* key) {
    if (!arguments.contains(key) || !arguments[key].is_number()) bad(std::string("'") + key + "' must be a number");
    const double value = arguments[key].get<double>();
    if (!std::isfinite(value) || std::fabs(value) > 1e9) bad(std::string("'") + key + "' must be a finite number");
    return static_cast<float>(value);
}

const StreamStateEntry& requireStream(Link& link, int id) {
    if (const auto* stream = link.stream(id)) return *stream;
    throw Failure(kRefused, "no such stream: " + std::to_string(id));
}

const EffectState* findEffect(Link& link, int streamId, const std::string& name) {
    const auto chain = link.state().chains.find(streamId);
    if (chain == link.state().chains.end()) return nullptr;
    for (const auto& effect : chain->second.effects)
        if (effect.name == name) return &effect;
    return nullptr;
}

// The chain read again once the engine has answered a change to it.
void rereadChain(Link& link, int streamId) {
    if (streamId != -1) requireStream(link, streamId);
    link.refreshChain(streamId);
}

Json addStream(Link& link, const Json& a) {
    const int input = integer(a, "input", 0, 0, true), output = integer(a, "output", 0, 0, true);
    const int inChannels = setting(a, "inputChannels", 1, kMostChannels);
    const int outChannels = setting(a, "outputChannels", 1, kMostChannels);
    const int rate = setting(a, "sampleRate", kLowestRate, kHighestRate);
    const int frames = setting(a, "bufferFrames", kFewestFrames, kMostFrames);
    std::vector<int> before;
    for (const auto& s : link.state().streams) before.push_back(s.stream.id);
    link.command(EPacketType::AddStream,
                 IPC::Packet<int, int, int, int, int, int>::serialize(input, output, inChannels, outChannels, rate, frames),
                 "the engine refused the stream");
    for (const auto& s : link.state().streams)
        if (std::find(before.begin(), before.end(), s.stream.id) == before.end()) return {{"id", s.stream.id}};
    throw Failure(kNoReply, "the engine added a stream but its states did not show it");
}

Json runStream(Link& link, const Json& a, bool start) {
    const int id = integer(a, "id", 0);
    requireStream(link, id);
    link.command(start ? EPacketType::StartStream : EPacketType::StopStream, IPC::Packet<int>::serialize(id),
                 "stream " + std::to_string(id) + (start ? " did not start" : " did not stop"));
    return {{"id", id}};
}

Json removeStream(Link& link, const Json& a) {
    const int id = integer(a, "id", 0);
    requireStream(link, id);
    link.command(EPacketType::DeleteStream, IPC::Packet<int>::serialize(id), "the engine kept stream " + std::to_string(id));
    return {{"id", id}};
}

Json route(Link& link, const Json& a) {
    const int id = integer(a, "id", 0), input = integer(a, "input", 0), output = integer(a, "output", 0);
    const bool on = flag(a, "on");
    requireStream(link, id);
    link.command(EPacketType::SetChannelRedirect, IPC::Packet<int, int, int, int>::serialize(id, input, output, on),
                 "the engine kept the route " + std::to_string(input) + " to " + std::to_string(output) + " as it was");
    return {{"id", id}};
}

Json changeEffect(Link& link, const Json& a, EPacketType type) {
    const int id = integer(a, "id", -1);
    const std::string effect = text(a, "effect");
    if (id != -1) requireStream(link, id);
    const bool enable = type == EPacketType::SetEffectEnable && flag(a, "on");
    const auto payload = type == EPacketType::SetEffectEnable
                             ? IPC::Packet<int, std::string, int>::serialize(id, effect, enable)
                             : IPC::Packet<int, std::string>::serialize(id, effect);
    try {
        link.command(type, payload, "the engine did not change " + effect);
    } catch (const Failure&) {
        rereadChain(link, id);
        throw;
    }
    rereadChain(link, id);
    return {{"id", id}};
}

Json setParameter(Link& link, const Json& a) {
    const int id = integer(a, "id", -1);
    const std::string effect = text(a, "effect"), parameter = text(a, "parameter");
    const float value = finite(a, "value");
    if (id != -1) requireStream(link, id);
    try {
        link.command(EPacketType::SetEffectParameter,
                     IPC::Packet<int, std::string, std::string, float>::serialize(id, effect, parameter, value),
                     "the engine kept " + parameter + " of " + effect);
    } catch (const Failure&) {
        rereadChain(link, id);
        throw;
    }
    rereadChain(link, id);
    // Other members of a group may have followed.
    if (const auto* stream = link.stream(id); stream && stream->groupId >= 0)
        for (const auto& other : link.state().streams)
            if (other.groupId == stream->groupId && other.stream.id != id) link.markChainStale(other.stream.id);
    if (const EffectState* found = findEffect(link, id, effect))
        for (const auto& p : found->parameters)
            if (p.name == parameter) return {{"value", p.value}};
    throw Failure(kRefused, "no parameter " + parameter + " on " + effect);
}

Json session(Link& link, const Json& a, EPacketType type) {
    Json result = Json::object();
    if (type == EPacketType::NewSession) {
        link.command(type, {}, "the engine kept its session");
    } else {
        const std::string path = absoluteSessionPath(text(a, "name"));
        result["path"] = path;
        if (type == EPacketType::SaveSession) {
            link.command(type, IPC::Packet<std::string>::serialize(path), "the engine did not save " + path);
            return result;
        }
        const auto wanted = readSessionFile(path);
        // Whatever the outcome, every chain and the groups are read again.
        link.markAllStale();
        link.command(type, IPC::Packet<std::string>::serialize(path), "the engine did not load " + path);
        std::vector<StreamEntry> held;
        for (const auto& s : link.state().streams) held.push_back(s.stream);
        if (const auto difference = loadDifference(wanted, held))
            throw Failure(kRefused, "the engine did not load " + path + ": " + *difference);
    }
    // A load or a new session rebuilds every chain and the groups.
    link.markAllStale();
    link.pollGroups();
    return result;
}

} // namespace

PanelEngine::Action parseAction(const std::string& name, const Json& arguments) {
    if (!arguments.is_object()) bad("the action's arguments must be a JSON object");
    using Run = Json (*)(Link&, const Json&);
    static const std::map<std::string, Run> table = {
        {"addStream", addStream},
        {"startStream", [](Link& l, const Json& a) { return runStream(l, a, true); }},
        {"stopStream", [](Link& l, const Json& a) { return runStream(l, a, false); }},
        {"removeStream", removeStream},
        {"route", route},
        {"addEffect", [](Link& l, const Json& a) { return changeEffect(l, a, EPacketType::AddEffectToStream); }},
        {"removeEffect", [](Link& l, const Json& a) { return changeEffect(l, a, EPacketType::DeleteEffectFromStream); }},
        {"enableEffect", [](Link& l, const Json& a) { return changeEffect(l, a, EPacketType::SetEffectEnable); }},
        {"setParameter", setParameter},
        {"saveSession", [](Link& l, const Json& a) { return session(l, a, EPacketType::SaveSession); }},
        {"loadSession", [](Link& l, const Json& a) { return session(l, a, EPacketType::LoadSession); }},
        {"newSession", [](Link& l, const Json& a) { return session(l, a, EPacketType::NewSession); }},
    };
    const auto found = table.find(name);
    if (found == table.end()) bad("unknown action: " + name);
    return [run = found->second, arguments](Link& link) { return run(link, arguments); };
}

} // namespace Ctl::Web
