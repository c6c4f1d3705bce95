// Keeping the members of a group in step: the effects a joining stream receives, and parameter,
// volume and equalizer-filter changes repeated on the other members.

#include "effects/Effect.hpp"
#include "effects/EffectFactory.hpp"
#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include <cmath>

int Core::syncEffectStack(unsigned int groupId, unsigned int streamId) {
    auto joining = findStream(streamId, "syncEffectStack");
    if (!joining) return -1;
    // The joining stream already carries the id, so its own effects are among those collected.
    EffectChain copies;
    for (const auto& member : streams) {
        if (member->getGroupID() != static_cast<int>(groupId)) continue;
        for (const auto& effect : member->getEffects())
            if (auto copy = makeDeepCopy(effect)) copies.push_back(copy);
    }
    for (const auto& copy : copies) joining->addEffectByInstance(copy);
    if (copies.empty()) {
        Utilities::error("Error while adding effects", "syncEffectStack", __LINE__);
        return -1;
    }
    return 0;
}

int Core::setEffectParameterGroup(int groupId, unsigned int streamId, const std::string& effectName,
                                  const std::string& parameterName, float value) {
    auto group = getStreamGroupSyncById(static_cast<unsigned int>(groupId));
    if (!group) {
        Utilities::error("Stream group not found", "setEffectParameterGroup", __LINE__);
        return -1;
    }
    const auto others = otherMembers(groupId, streamId);
    if (effectName == "VolumeEffect") {
        if (others.empty()) {
            Utilities::error("Stream not found", "setEffectParameterGroup", __LINE__);
            return -2;
        }
        if (setVolumeEffectParameterGroup(groupId, getStreamById(streamId), value) == -1) {
            Utilities::error("Effect not found", "setEffectParameterGroup", __LINE__);
            return -1;
        }
        return 0;
    }
    // A type the group does not share stays local to the origin.
    if (!group->sharesEffect(effectName)) return -1;
    int last = 0;
    for (const auto& member : others) last = member->setEffectParameter(effectName, parameterName, value);
    if (last == -2) {
        Utilities::error("Stream not found", "setEffectParameterGroup", __LINE__);
        return -2;
    }
    if (last == -1) {
        Utilities::error("Effect not found", "setEffectParameterGroup", __LINE__);
        return -1;
    }
    return 0;
}

int Core::setVolumeEffectParameterGroup(int groupId, std::shared_ptr<Stream> origin, float value) {
    auto group = getStreamGroupSyncById(static_cast<unsigned int>(groupId));
    if (!group || !origin) {
        Utilities::error("Stream group not found", "setVolumeEffectParameterGroup", __LINE__);
        return -1;
    }
    const auto others = otherMembers(groupId, origin->getStreamId());
    if (group->getVolumeRatio()) {
        // The origin still holds its volume from before the change: the ratio is new over old.
        const float current = origin->getEffectParameterValue("VolumeEffect", "volume");
        const float ratio = value / current;
        if (current <= 0.0f || !std::isfinite(ratio)) {
            // No factor carries a change from silence (or to an undefined volume): the others keep theirs.
            Utilities::error("Volume ratio undefined from volume " + std::to_string(current) + " to " +
                                 std::to_string(value) + ", other streams unchanged",
                             "setVolumeEffectParameterGroup", __LINE__);
            return 0;
        }
        Utilities::log("Ratio value: " + std::to_string(ratio), "setVolumeEffectParameterGroup", __LINE__);
        for (const auto& member : others) {
            const float volume = ratio * member->getEffectParameterValue("VolumeEffect", "volume");
            if (!std::isfinite(volume)) continue;
            Utilities::log("Ratio value: " + std::to_string(volume) + " for stream " + member->getName(),
                           "setVolumeEffectParameterGroup", __LINE__);
            member->setEffectParameter("VolumeEffect", "volume", volume);
        }
    } else if (group->getVolumeLevel()) {
        for (const auto& member : others) member->setEffectParameter("VolumeEffect", "volume", value);
    } else {
        Utilities::log("Volume level and volume ratio are not sync", "setVolumeEffectParameterGroup", __LINE__);
    }
    return 0;
}

int Core::setEQFilterParameterGroup(int groupId, unsigned int streamId, unsigned int filterId,
                                    const std::string& parameterName, float value) {
    (void)streamId; // the origin is a member like the others: the same filter id is set everywhere
    if (!getStreamGroupSyncById(static_cast<unsigned int>(groupId))) {
        Utilities::error("Stream group not found", "setEQFilterParameterGroup", __LINE__);
        return -1;
    }
    int last = -1;
    for (const auto& member : streams)
        if (member->getGroupID() == groupId) last = member->setEQFilterParameter(filterId, parameterName, value);
    if (last == -1) {
        Utilities::error("Filter not found", "setEQFilterParameterGroup", __LINE__);
        return -1;
    }
    return 0;
}
