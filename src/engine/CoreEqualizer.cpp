// The Core's operations on the filters of a stream's parametric equalizer, by stream id.

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

int Core::addEQFilterToStream(unsigned int streamId, const std::string& type) {
    auto stream = getStreamById(streamId);
    int result = -1;
    if (stream)
        for (const auto& reached : reachedStreams(stream)) result = reached->addEQFilter(type);
    if (result != 0) {
        Utilities::error("Stream not found", "addEQFilterToStream", __LINE__);
        return result;
    }
    return 0;
}

int Core::removeEQFilterFromStream(unsigned int streamId, unsigned int filterId) {
    auto stream = getStreamById(streamId);
    int result = -1;
    if (stream)
        for (const auto& reached : reachedStreams(stream)) result = reached->removeEQFilter(filterId);
    if (result != 0) {
        Utilities::error("Stream not found", "removeEQFilterFromStream", __LINE__);
        return result;
    }
    return 0;
}

int Core::setEQFilterParameter(unsigned int streamId, unsigned int filterId, const std::string& parameter,
                               float value) {
    auto stream = findStream(streamId, "setEQFilterParameter");
    if (!stream) return -1;
    // In a group the same filter id changes on every member, the origin included.
    if (stream->getGroupID() != -1)
        return setEQFilterParameterGroup(stream->getGroupID(), streamId, filterId, parameter, value);
    return stream->setEQFilterParameter(filterId, parameter, value);
}

int Core::getEQFilterInfo(unsigned int streamId) {
    auto stream = findStream(streamId, "getEQFilterInfo");
    return stream ? stream->getEQFilterInfo() : -1;
}
