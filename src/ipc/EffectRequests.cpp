// Effect requests: list, offer, add, enable, remove effects and read or set their parameters, on a
// stream's chain or (stream id -1) on the master chain.

#include "commands/CommandDispatcher.hpp"
#include "effects/Effect.hpp"
#include "engine/Core.hpp"
#include "ipc/PacketFunction.hpp"
#include "ipc/SocketUtils.hpp"
#include "utilities/Log.hpp"

#include <algorithm>
#include <optional>

namespace IPC::PacketFunction {

namespace {

using SocketUtils::sendPacket;
using SocketUtils::serializeValues;

constexpr int kMasterChain = -1;

// Effects a front end may add, in the order it offers them.
const std::vector<std::string> kAddableEffects{"VolumeEffect", "PanEffect", "DeviceDelayEffect", "ReverbEffect",
                                               "EQDemoEffect"};

// A copy of the chain the request names; nothing when the stream does not exist.
std::optional<EffectChain> chainOf(Core* core, int streamId) {
    if (streamId == kMasterChain) return core->getMasterEffects();
    auto stream = core->getStreamById(static_cast<unsigned int>(streamId));
    if (!stream) return std::nullopt;
    return stream->getEffects();
}

std::shared_ptr<Effect> findByName(const EffectChain& chain, const std::string& name) {
    for (const auto& effect : chain)
        if (effect && effect->getName() == name) return effect;
    return nullptr;
}

// One line per parameter that has a getter, in name order, each with the effect's one range.
std::vector<char> parametersPayload(int streamId, const Effect& effect) {
    const auto& getters = effect.getGetters();
    std::vector<char> payload;
    serializeValues(payload, static_cast<int>(getters.size()));
    for (const auto& [parameter, getter] : getters)
        serializeValues(payload, streamId, effect.getName(), parameter, (effect.*getter)(), effect.getMinValue(),
                        effect.getMaxValue());
    return payload;
}

std::string floatText(float value) { return std::to_string(value); }

} // namespace

CommandResult setEffectParameter(int& /*clientSocket*/, Core* core, int streamId, std::string effect, std::string parameter,
                        float value) {
    if (streamId == kMasterChain) {
        Utilities::log("Setting master effect parameter: " + effect + " parameter: " + parameter +
                       " value: " + floatText(value));
        return dispatchUnderLock(*core, command::SetMasterEffectParameter{effect, parameter, value});
    }
    Utilities::log("Setting effect parameter on stream: " + std::to_string(streamId) + " effect: " + effect +
                   " parameter: " + parameter + " value: " + floatText(value));
    return dispatchUnderLock(*core,
                             command::SetEffectParameter{static_cast<unsigned int>(streamId), effect, parameter, value});
}

CommandResult getEffects(int& clientSocket, Core* core, int streamId) {
    if (streamId == kMasterChain) Utilities::log("Sending master effects", "getEffects", __LINE__);
    auto chain = chainOf(core, streamId);
    if (!chain) {
        Utilities::error("Stream not found", "getEffects", __LINE__);
        return CommandResult::refused();
    }
    if (chain->empty()) {
        Utilities::error("No effects found sending empty list", "getEffects", __LINE__);
        sendPacket(clientSocket, EPacketType::EffectList, {});
        return CommandResult::done();
    }
    // The parametric equalizer behind a five-band one is its implementation, not a chain entry.
    std::erase_if(*chain, [](const auto& effect) { return !effect || effect->getName() == "EQEffect"; });
    std::vector<char> payload;
    serializeValues(payload, static_cast<int>(chain->size()));
    for (const auto& effect : *chain)
        serializeValues(payload, streamId, effect->getName(), effect->getEnable() ? 1 : 0);
    Utilities::log("Sending effects");
    sendPacket(clientSocket, EPacketType::EffectList, payload);
    return CommandResult::done();
}

CommandResult getNotAddedEffectsOnStream(int& clientSocket, Core* core, int streamId) {
    Utilities::log("Getting not added effects on stream: " + std::to_string(streamId), "getNotAddedEffectsOnStream",
                   __LINE__);
    const auto chain = chainOf(core, streamId);
    if (!chain) {
        Utilities::error("Stream not found", "getNotAddedEffectsOnStream", __LINE__);
        return CommandResult::refused();
    }
    std::vector<std::string> notAdded;
    for (const auto& candidate : kAddableEffects) {
        bool present = false;
        for (const auto& effect : *chain) {
            // The five-band equalizer needs a stream: a master chain with anything in it never offers it.
            if ((effect && effect->getName() == candidate) ||
                (streamId == kMasterChain && candidate == "EQDemoEffect")) {
                present = true;
                break;
            }
        }
        if (!present) notAdded.push_back(candidate);
    }
    std::vector<char> payload;
    serializeValues(payload, static_cast<int>(notAdded.size()));
    for (const auto& name : notAdded) serializeValues(payload, streamId, name);
    Utilities::log("Sending not added effects on stream: " + std::to_string(streamId));
    sendPacket(clientSocket, EPacketType::NotAddedEffects, payload);
    return CommandResult::done();
}

CommandResult addEffectToStream(int& clientSocket, Core* core, int streamId, std::string effect) {
    Utilities::log("Adding effect to stream: " + std::to_string(streamId) + " effect: " + effect);
    CommandResult result;
    if (streamId == kMasterChain) {
        result = dispatchUnderLock(*core, command::AddMasterEffect{effect});
        if (!result.ok())
            Utilities::error("Error while adding effect to master", "addEffectToStream", __LINE__);
        else
            Utilities::log("Master effect added successfully");
    } else {
        result = dispatchUnderLock(*core, command::AddEffect{static_cast<unsigned int>(streamId), effect});
        if (!result.ok())
            Utilities::error("Error while adding effect to stream", "addEffectToStream", __LINE__);
        else
            Utilities::log("Effect added successfully");
    }
    getEffects(clientSocket, core, streamId);
    return result;
}

CommandResult setEffectEnable(int& clientSocket, Core* core, int streamId, std::string effect, int enable) {
    CommandResult result;
    if (streamId == kMasterChain) {
        result = dispatchUnderLock(*core, command::SetMasterEffectEnable{effect, enable != 0});
        if (!result.ok())
            Utilities::error("Error while setting master effect enable", "setEffectEnable", __LINE__);
        else
            Utilities::log("Master effect enable set successfully");
    } else {
        result = dispatchUnderLock(
            *core, command::SetEffectEnable{static_cast<unsigned int>(streamId), effect, enable != 0});
        if (!result.ok())
            Utilities::error("Error while setting effect enable on stream", "setEffectEnable", __LINE__);
        else
            Utilities::log("Effect enable set successfully on stream: " + std::to_string(streamId));
    }
    getEffects(clientSocket, core, streamId);
    return result;
}

CommandResult getEffectParameters(int& clientSocket, Core* core, int streamId, std::string effect) {
    if (streamId == kMasterChain) {
        Utilities::log("Getting master effect parameters for effect: " + effect, "getEffectParameters", __LINE__);
        auto found = findByName(core->getMasterEffects(), effect);
        if (!found) {
            Utilities::error("Master effect not found", "getEffectParameters", __LINE__);
            return CommandResult::refused();
        }
        const auto payload = parametersPayload(streamId, *found);
        Utilities::log("Sending master effect parameters");
        sendPacket(clientSocket, EPacketType::EffectParameters, payload);
        return CommandResult::done();
    }
    Utilities::log("Getting stream effect parameters for stream: " + std::to_string(streamId) + " effect: " + effect,
                   "getEffectParameters", __LINE__);
    auto stream = core->getStreamById(static_cast<unsigned int>(streamId));
    if (!stream) {
        Utilities::error("Stream not found", "getEffectParameters", __LINE__);
        return CommandResult::refused();
    }
    auto found = findByName(stream->getEffects(), effect);
    if (!found) {
        Utilities::error("Stream effect not found", "getEffectParameters", __LINE__);
        return CommandResult::refused();
    }
    if (found->getGetters().empty()) {
        Utilities::error("No parameters found for effect: " + effect, "getEffectParameters", __LINE__);
        sendPacket(clientSocket, EPacketType::EffectParameters, {});
        return CommandResult::done();
    }
    const auto payload = parametersPayload(streamId, *found);
    Utilities::log("Sending stream effect parameters for stream: " + std::to_string(streamId));
    sendPacket(clientSocket, EPacketType::EffectParameters, payload);
    return CommandResult::done();
}

CommandResult deleteEffectFromStream(int& clientSocket, Core* core, int streamId, std::string effect) {
    if (streamId == kMasterChain) {
        Utilities::log("Removing master effect: " + effect);
        if (auto result = dispatchUnderLock(*core, command::RemoveMasterEffect{effect}); !result.ok()) {
            Utilities::error("Error while removing master effect", "deleteEffectFromStream", __LINE__);
            return result;
        }
        Utilities::log("Master effect removed successfully");
        getEffects(clientSocket, core, streamId);
        return CommandResult::done();
    }
    const auto result = dispatchUnderLock(*core, command::RemoveEffect{static_cast<unsigned int>(streamId), effect});
    if (!result.ok()) {
        Utilities::error("Error while removing effect from stream", "deleteEffectFromStream", __LINE__);
        // A stream that is not there has no list to answer with.
        if (!core->getStreamById(static_cast<unsigned int>(streamId))) return result;
    } else {
        Utilities::log("Effect removed successfully from stream: " + std::to_string(streamId));
    }
    getEffects(clientSocket, core, streamId);
    return result;
}

} // namespace IPC::PacketFunction
