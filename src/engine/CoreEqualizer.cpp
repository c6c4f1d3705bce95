// The Core's operations on the filters of a stream's parametric equalizer, by stream id.

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

int Core::addEQFilterToStream(unsigned int streamId, const std::string& type) {
    auto stream = getStreamById(streamId);
    const int result = stream ? stream->addEQFilter(type) : -1;
    if (result != 0) {
        Utilities::error("Stream not found", "addEQFilterToStream", __LINE__);
        return result;
    }
    return 0;
}

int Core::removeEQFilterFromStream(unsigned int streamId, unsigned int filterId) {
    auto stream = getStreamById(streamId);
    const int result = stream ? stream->removeEQFilter(filterId) : -1;
    if (result != 0) {
        Utilities::error("Stream not found", "removeEQFilterFromStream", __LINE__);
        return result;
    }
    return 0;
}

int Core::setEQFilterParameter(unsigned int streamId, unsigned int filterId, const std::string& parameter,
                               float value) {
    auto stream = findStream(streamId, "setEQFilterParameter");
    return stream ? stream->setEQFilterParameter(filterId, parameter, value) : -1;
}

int Core::getEQFilterInfo(unsigned int streamId) {
    auto stream = findStream(streamId, "getEQFilterInfo");
    return stream ? stream->getEQFilterInfo() : -1;
}
