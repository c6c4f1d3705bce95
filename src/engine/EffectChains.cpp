// The Core's effect operations: the master chain, which every stream's output passes through, and
// the per-stream operations that the console, the socket and sessions call by stream id.

#include "effects/Effect.hpp"
#include "effects/EffectFactory.hpp"
#include "engine/Core.hpp"
#include "ipc/PacketFunction.hpp"
#include "ipc/Socket.hpp"
#include "utilities/Log.hpp"

#include <algorithm>

void Core::pushEffectList(int streamId, const std::string& context) {
    // The front end hears about chain changes through its socket; without one there is no one to tell.
    if (!socket) {
        Utilities::error("Socket not initialized", context, __LINE__);
        return;
    }
    int clientSocket = socket->getClientSocket();
    IPC::PacketFunction::getEffects(clientSocket, this, streamId);
}

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
    auto effect = createEffect(name, this, nullptr);
    if (!effect) {
        Utilities::error("Effect creation failed", "addMasterEffect", __LINE__);
        return -1;
    }
    masterEffects.push_back(effect);
    publishMasterEffects();
    Utilities::success("Master effect " + name + " added", "addMasterEffect", __LINE__);
    if (socket) Utilities::log("Socket fd :" + std::to_string(socket->getClientSocket()));
    pushEffectList(-1, "addMasterEffect");
    return 0;
}

int Core::setMasterEffectParameter(const std::string& effect, const std::string& parameter, float value) {
    for (const auto& candidate : masterEffects)
        if (candidate->getName() == effect) {
            candidate->setEffectParameter(parameter, value);
            return 0;
        }
    if (socket) {
        int clientSocket = socket->getClientSocket();
        IPC::PacketFunction::getEffectParameters(clientSocket, this, -1, effect);
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
            Utilities::log("Master effect " + name + " set to " + (enable ? "enabled" : "disabled"),
                           "setMasterEffectEnable", __LINE__);
            pushEffectList(-1, "setMasterEffectEnable");
            return 0;
        }
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

// ---- Stream chains by id ----

int Core::addEffectToStream(unsigned int streamId, const std::string& name) {
    auto stream = getStreamById(streamId);
    const int result = stream ? stream->addEffect(name) : -1;
    if (result != 0) {
        Utilities::error("Stream not found", "addEffectToStream", __LINE__);
        return result;
    }
    pushEffectList(static_cast<int>(streamId), "addEffectToStream");
    return 0;
}

int Core::removeEffectFromStream(unsigned int streamId, const std::string& name) {
    auto stream = getStreamById(streamId);
    int result = -1;
    if (stream) {
        // The five-band equalizer works through the parametric one it added; they leave together.
        if (name == "EQDemoEffect") stream->removeEffect("EQEffect", false);
        result = stream->removeEffect(name, false);
    }
    if (result != 0) {
        Utilities::error("Stream not found", "removeEffectFromStream", __LINE__);
        return result;
    }
    return 0;
}

int Core::setEffectParameter(unsigned int streamId, const std::string& effect, const std::string& parameter,
                             float value) {
    auto stream = getStreamById(streamId);
    if (!stream) {
        Utilities::error("Stream not found", "setEffectParameter", __LINE__);
        return -1;
    }
    const int result = stream->setEffectParameter(effect, parameter, value);
    if (!socket) Utilities::error("Socket not initialized", "setEffectParameter", __LINE__);
    return result;
}

int Core::setEffectEnable(unsigned int streamId, const std::string& name, bool enable) {
    auto stream = getStreamById(streamId);
    if (!stream) {
        Utilities::error("Stream not found", "setEffectEnable", __LINE__);
        return -1;
    }
    if (name == "EQDemoEffect") stream->setEffectEnable("EQEffect", enable);
    stream->setEffectEnable(name, enable);
    pushEffectList(static_cast<int>(streamId), "setEffectEnable");
    return 0;
}
