// The master chain, which every stream's output passes through after its own chain.

#include "effects/Effect.hpp"
#include "effects/EffectFactory.hpp"
#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include <algorithm>

int Core::addMasterEffect(const std::string& name) {
    if (name.empty()) {
        Utilities::error("Effect name is empty", "addMasterEffect", __LINE__);
        return -1;
    }
    for (const auto& effect : masterEffects)
        if (effect->getName() == name) {
            Utilities::error("Master effect " + name + " already exists", "addMasterEffect", __LINE__);
            return -1;
        }
    auto effect = createEffect(name);
    if (!effect) {
        Utilities::error("Effect creation failed", "addMasterEffect", __LINE__);
        return -1;
    }
    masterEffects.push_back(effect);
    publishMasterEffects();
    Utilities::success("Master effect " + name + " added", "addMasterEffect", __LINE__);
    if (socket) Utilities::log("Socket fd :" + std::to_string(socket->clientDescriptor()));
    pushEffectList(-1, "addMasterEffect");
    return 0;
}

int Core::setMasterEffectParameter(const std::string& effect, const std::string& parameter, float value) {
    for (const auto& candidate : masterEffects)
        if (candidate->getName() == effect) {
            if (!candidate->setEffectParameter(parameter, value)) return -1; // said why; nothing changed
            Utilities::QuietScope quiet; // the streams' instances repeat what the master just logged
            for (const auto& stream : streams)
                if (auto instance = stream->masterInstanceOf(candidate)) instance->setEffectParameter(parameter, value);
            return 0;
        }
    if (socket) {
        socket->masterEffectMissing(effect);
    } else {
        Utilities::error("Socket not initialized", "setMasterEffectParameter", __LINE__);
    }
    Utilities::error("Master effect not found", "setMasterEffectParameter", __LINE__);
    return -1;
}

int Core::setMasterEffectEnable(const std::string& name, bool enable) {
    for (const auto& effect : getMasterEffects())
        if (effect->getName() == name) {
            effect->setEnable(enable);
            {
                Utilities::QuietScope quiet;
                for (const auto& stream : streams)
                    if (auto instance = stream->masterInstanceOf(effect)) instance->setEnable(enable);
            }
            Utilities::log("Master effect " + name + " set to " + (enable ? "enabled" : "disabled"),
                           "setMasterEffectEnable", __LINE__);
            pushEffectList(-1, "setMasterEffectEnable");
            return 0;
        }
    Utilities::error("Master effect not found", "setMasterEffectEnable", __LINE__);
    return -1;
}

int Core::deleteMasterEffect(const std::string& name) {
    auto it = std::find_if(masterEffects.begin(), masterEffects.end(),
                           [&](const auto& effect) { return effect->getName() == name && !effect->isMandatory(); });
    if (it == masterEffects.end()) {
        Utilities::error("Master effect " + name + " not found or is mandatory", "deleteMasterEffect", __LINE__);
        return -1;
    }
    masterEffects.erase(it);
    publishMasterEffects();
    Utilities::log("Master effect " + name + " deleted", "deleteMasterEffect", __LINE__);
    pushEffectList(-1, "deleteMasterEffect");
    return 0;
}

int Core::clearMasterEffects() {
    masterEffects.clear();
    publishMasterEffects();
    int result = 0;
    for (const auto& name : masterEffectsNames)
        if (addMasterEffect(name) != 0) {
            Utilities::error("Master effect " + name + " could not be added", "clearMasterEffects", __LINE__);
            result = -1;
        }
    return result;
}

void Core::runMasterChain(const EffectChain& chain, float* input, float* output, unsigned int nChannels,
                          unsigned int nFrames, unsigned int sampleRate) {
    float* source = input;
    for (const auto& effect : chain) {
        if (!effect->getEnable()) continue;
        effect->process(source, output, nChannels, nFrames, sampleRate);
        source = output;
    }
}

void Core::publishMasterEffects() {
    for (const auto& stream : streams) stream->followMasterChain(masterEffects);
}
