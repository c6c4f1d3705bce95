// The Core's operations on the filters of a stream's parametric equalizer, by stream id.

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

int Core::addEQFilterToStream(unsigned int streamId, const std::string& type) {
    return forReachedStreams(streamId, "addEQFilterToStream",
                             [&](Stream& stream) { return stream.addEQFilter(type); });
}

int Core::removeEQFilterFromStream(unsigned int streamId, unsigned int filterId) {
    return forReachedStreams(streamId, "removeEQFilterFromStream",
                             [&](Stream& stream) { return stream.removeEQFilter(filterId); });
}

int Core::setEQFilterParameter(unsigned int streamId, unsigned int filterId, const std::string& parameter,
                               float value) {
    auto stream = findStream(streamId, "setEQFilterParameter");
    if (!stream) return -1;
    if (!stream->acceptsEQFilterValue(filterId, parameter, value)) return -1;
    // In a group the same filter id changes on every member, the origin included.
    if (stream->getGroupID() != -1)
        return setEQFilterParameterGroup(stream->getGroupID(), streamId, filterId, parameter, value);
    return stream->setEQFilterParameter(filterId, parameter, value);
}

int Core::getEQFilterInfo(unsigned int streamId) {
    auto stream = findStream(streamId, "getEQFilterInfo");
    return stream ? stream->getEQFilterInfo() : -1;
}
