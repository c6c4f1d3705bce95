// The Core's routing operations by stream id.

#include "engine/Core.hpp"

int Core::addChannelRedirect(unsigned int streamId, unsigned int inputChannel, unsigned int outputChannel) {
    auto stream = findStream(streamId, "addChannelRedirect");
    return stream ? stream->addChannelRedirect(inputChannel, outputChannel) : -1;
}

int Core::removeChannelRedirect(unsigned int streamId, unsigned int index) {
    auto stream = findStream(streamId, "removeChannelRedirect");
    return stream ? stream->removeChannelRedirect(index) : -1;
}

int Core::printChannelsRedirects(unsigned int streamId) {
    auto stream = findStream(streamId, "printChannelsRedirects");
    return stream ? stream->printChannelsRedirects() : -1;
}
