// The Core's operations on stream effect chains by stream id, and the list pushes that follow them.

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

void Core::pushEffectList(int streamId, const std::string& context) {
    // The front end hears about chain changes; without one attached there is no one to tell.
    if (!socket) {
        Utilities::error("Socket not initialized", context, __LINE__);
        return;
    }
    socket->effectChainChanged(streamId);
}

int Core::addEffectToStream(unsigned int streamId, const std::string& name) {
    const int result =
        forReachedStreams(streamId, "addEffectToStream", [&](Stream& stream) { return stream.addEffect(name); });
    if (result != 0) return result;
    pushEffectList(static_cast<int>(streamId), "addEffectToStream");
    return 0;
}

int Core::removeEffectFromStream(unsigned int streamId, const std::string& name) {
    auto stream = findStream(streamId, "removeEffectFromStream");
    if (!stream) return -1;
    int result = -1;
    for (const auto& member : reachedStreams(stream)) {
        const int outcome = member->removeEffect(name, false);
        // The five-band equalizer works through the parametric one it added; they leave together.
        if (outcome == 0 && name == "EQDemoEffect") member->removeEffect("EQEffect", false);
        if (member == stream) result = outcome;
    }
    if (result != 0) return result;
    if (socket) socket->effectRemoved(static_cast<int>(streamId));
    return 0;
}

int Core::setEffectParameter(unsigned int streamId, const std::string& effect, const std::string& parameter,
                             float value) {
    auto stream = findStream(streamId, "setEffectParameter");
    if (!stream) return -1;
    // Refused once here rather than once per member.
    if (!stream->acceptsEffectValue(effect, parameter, value)) return -1;
    // The group step sees the origin's value from before the change (ratio sync scales by it).
    if (stream->getGroupID() != -1)
        setEffectParameterGroup(stream->getGroupID(), streamId, effect, parameter, value);
    const int result = stream->setEffectParameter(effect, parameter, value);
    if (!socket) Utilities::error("Socket not initialized", "setEffectParameter", __LINE__);
    return result;
}

int Core::setEffectEnable(unsigned int streamId, const std::string& name, bool enable) {
    auto stream = findStream(streamId, "setEffectEnable");
    if (!stream) return -1;
    int result = 0;
    if (stream->getGroupID() != -1) {
        for (const auto& member : reachedStreams(stream)) {
            const int outcome = member->setEffectEnable(name, enable);
            if (member == stream) result = outcome;
        }
    } else {
        if (name == "EQDemoEffect") stream->setEffectEnable("EQEffect", enable);
        result = stream->setEffectEnable(name, enable);
    }
    // A stream without that effect has nothing new to show.
    if (result != 0) return -1;
    pushEffectList(static_cast<int>(streamId), "setEffectEnable");
    return 0;
}
