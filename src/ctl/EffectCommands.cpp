// Effect chains of streams and (stream id -1) of the master chain.

#include "ctl/Commands.hpp"
#include "ctl/Failure.hpp"
#include "ctl/Output.hpp"
#include "ipc/Packet.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>

namespace Ctl {

namespace {

constexpr int kMasterChain = -1;

std::string chainName(int id) { return id == kMasterChain ? "the master chain" : "stream " + std::to_string(id); }

// The chain a command names; a stream id must exist.
int chainArgument(EngineSession& engine, const Invocation& call) {
    const int id = integerArgument(call, 0);
    if (id != kMasterChain) engine.client.requireStream(id);
    return id;
}

const EffectEntry* findEffect(const std::vector<EffectEntry>& chain, const std::string& name) {
    const auto found = std::find_if(chain.begin(), chain.end(), [&](const EffectEntry& e) { return e.name == name; });
    return found == chain.end() ? nullptr : &*found;
}

Failure noSuchEffect(int id, const std::string& name) {
    return Failure(kRefused, "no effect " + name + " on " + chainName(id));
}

int listEffects(const Invocation& call) {
    EngineSession engine;
    const int id = chainArgument(engine, call);
    const auto chain = engine.client.effects(id);
    const auto addable = engine.client.addableEffects(id);
    if (call.json) {
        Json effects = Json::array(), names = Json::array();
        for (const auto& e : chain) effects.push_back({{"name", e.name}, {"enabled", e.enabled}});
        for (const auto& e : addable) names.push_back(e.name);
        printJson({{"stream", id}, {"effects", effects}, {"addable", names}});
        return kOk;
    }
    std::vector<Row> rows;
    for (const auto& e : chain) rows.push_back({e.name, e.enabled ? "on" : "off"});
    printTable({"EFFECT", "ENABLED"}, rows);
    std::string offer;
    for (const auto& e : addable) offer += (offer.empty() ? "" : ", ") + e.name;
    std::cout << "can add: " << (offer.empty() ? "nothing" : escapeForTerminal(offer)) << "\n";
    return kOk;
}

int addEffect(const Invocation& call) {
    EngineSession engine;
    const int id = chainArgument(engine, call);
    const std::string& name = call.args[1];
    if (findEffect(engine.client.effects(id), name))
        throw Failure(kRefused, chainName(id) + " already has " + name);
    engine.client.command(EPacketType::AddEffectToStream, IPC::Packet<int, std::string>::serialize(id, name),
                          "the engine did not add " + name + " to " + chainName(id));
    std::cout << "Added " << name << " to " << chainName(id) << "\n";
    return kOk;
}

int removeEffect(const Invocation& call) {
    EngineSession engine;
    const int id = chainArgument(engine, call);
    const std::string& name = call.args[1];
    if (!findEffect(engine.client.effects(id), name)) throw noSuchEffect(id, name);
    engine.client.command(EPacketType::DeleteEffectFromStream, IPC::Packet<int, std::string>::serialize(id, name),
                          "the engine kept " + name + " on " + chainName(id));
    std::cout << "Removed " << name << " from " << chainName(id) << "\n";
    return kOk;
}

int enableEffect(const Invocation& call) {
    const std::string& state = call.args[2];
    if (state != "on" && state != "off") usageFailure(call.command, "say on or off, not '" + state + "'");
    const bool enable = state == "on";
    EngineSession engine;
    const int id = chainArgument(engine, call);
    const std::string& name = call.args[1];
    if (!findEffect(engine.client.effects(id), name)) throw noSuchEffect(id, name);
    engine.client.command(EPacketType::SetEffectEnable,
                          IPC::Packet<int, std::string, int>::serialize(id, name, enable ? 1 : 0),
                          "the engine did not switch " + name + " " + state + " on " + chainName(id));
    std::cout << name << " " << state << " on " << chainName(id) << "\n";
    return kOk;
}

std::vector<ParameterEntry> requireParameters(EngineSession& engine, int id, const std::string& effect) {
    auto parameters = engine.client.parameters(id, effect);
    if (!parameters) throw noSuchEffect(id, effect);
    return *parameters;
}

int listParameters(const Invocation& call) {
    EngineSession engine;
    const int id = chainArgument(engine, call);
    const auto parameters = requireParameters(engine, id, call.args[1]);
    if (call.json) {
        Json list = Json::array();
        for (const auto& p : parameters)
            list.push_back({{"name", p.name}, {"value", p.value}, {"min", p.min}, {"max", p.max}});
        printJson({{"stream", id}, {"effect", call.args[1]}, {"parameters", list}});
        return kOk;
    }
    std::vector<Row> rows;
    for (const auto& p : parameters) rows.push_back({p.name, fixed(p.value, 2), fixed(p.min, 2), fixed(p.max, 2)});
    printTable({"PARAMETER", "VALUE", "MIN", "MAX"}, rows);
    return kOk;
}

int setParameter(const Invocation& call) {
    const float value = floatArgument(call, 3);
    EngineSession engine;
    const int id = chainArgument(engine, call);
    const std::string &effect = call.args[1], &parameter = call.args[2];
    CommandOutcome outcome;
    engine.client.command(EPacketType::SetEffectParameter,
                          IPC::Packet<int, std::string, std::string, float>::serialize(id, effect, parameter, value),
                          outcome);
    // Read back either way: a refusal names the value kept, a success the value the engine holds.
    const auto parameters = requireParameters(engine, id, effect);
    const auto found = std::find_if(parameters.begin(), parameters.end(),
                                    [&](const ParameterEntry& p) { return p.name == parameter; });
    if (found == parameters.end()) {
        std::string known;
        for (const auto& p : parameters) known += (known.empty() ? "" : ", ") + p.name;
        throw Failure(kRefused, effect + " has no parameter " + parameter + " (it has: " + known + ")");
    }
    if (!outcome.done)
        throw Failure(kRefused, "the engine kept " + effect + " " + parameter + " at " + fixed(found->value, 2) +
                                    " (asked for " + fixed(value, 2) + ")" +
                                    (outcome.reason.empty() ? "" : ": " + outcome.reason));
    std::cout << effect << " " << parameter << " = " << fixed(found->value, 2) << " on " << chainName(id) << "\n";
    return kOk;
}

} // namespace

std::vector<Command> effectCommands() {
    return {
        {"effects", "ID", "a chain's effects (ID -1: the master chain) and those it can add", 1, 1, kJsonOption,
         listEffects},
        {"add-effect", "ID NAME", "adds an effect to a chain", 2, 2, 0, addEffect},
        {"remove-effect", "ID NAME", "removes an effect from a chain", 2, 2, 0, removeEffect},
        {"enable", "ID NAME on|off", "switches an effect on or off (off passes audio unchanged)", 3, 3, 0,
         enableEffect},
        {"params", "ID NAME", "an effect's parameters with their values and ranges", 2, 2, kJsonOption,
         listParameters},
        {"set", "ID NAME PARAM VALUE", "sets a parameter and reads it back", 4, 4, 0, setParameter},
    };
}

} // namespace Ctl
