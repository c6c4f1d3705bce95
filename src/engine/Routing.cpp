// The routing matrix: each stream's list of (input channel, output channel) redirects, edited on the
// control side and applied by the audio callback.

#include "engine/Core.hpp"
#include "engine/Stream.hpp"
#include "utilities/Log.hpp"

#include <algorithm>
#include <cstring>
#include <iostream>

int Stream::addChannelRedirect(unsigned int inputChannel, unsigned int outputChannel) {
    if (inputChannel >= nChannelsInput) {
        Utilities::error("InputChannel not found", "addChannelRedirect", __LINE__, static_cast<int>(inputChannel));
        return -1;
    }
    if (outputChannel >= nChannelsOutput) {
        Utilities::error("OutputChannel not found", "addChannelRedirect", __LINE__, static_cast<int>(outputChannel));
        return -1;
    }
    const ChannelRedirect redirect{inputChannel, outputChannel};
    if (std::find(channelsRedirects.begin(), channelsRedirects.end(), redirect) != channelsRedirects.end()) {
        Utilities::error("ChannelRedirect already exists", "addChannelRedirect", __LINE__);
        return -1;
    }
    channelsRedirects.push_back(redirect);
    publishRedirects();
    Utilities::success("ChannelRedirect successfully created", "addChannelRedirect", __LINE__);
    return 0;
}

int Stream::removeChannelRedirect(unsigned int index) {
    if (static_cast<long long>(index) > static_cast<long long>(channelsRedirects.size()) - 1) {
        Utilities::error("ChannelRedirect not found", "removeChannelRedirect", __LINE__);
        return -1;
    }
    channelsRedirects.erase(channelsRedirects.begin() + index);
    publishRedirects();
    Utilities::success("ChannelRedirect successfully removed", "removeChannelRedirect", __LINE__);
    return 0;
}

int Stream::printChannelsRedirects() const {
    std::string listing;
    for (const auto& [input, output] : channelsRedirects)
        listing += std::to_string(input) + " - " + std::to_string(output) + "\n";
    std::cout << listing << std::flush;
    return 0;
}

int Core::applyRoutingChannels(float* input, float* output, unsigned int nFrames, Stream* stream) {
    auto& realtime = stream->realtime();
    const unsigned int inputChannels = realtime.nChannelsInput;
    const unsigned int outputChannels = realtime.nChannelsOutput;
    std::memset(output, 0, sizeof(float) * nFrames * outputChannels);
    const ChannelRedirects& redirects = realtime.redirects.acquire(realtime.redirectsSlot);
    for (const auto& [in, out] : redirects) {
        // A redirect left over from other channel counts names a channel this period lacks.
        if (in >= inputChannels || out >= outputChannels || input == nullptr) continue;
        for (unsigned int frame = 0; frame < nFrames; ++frame)
            output[frame * outputChannels + out] += input[frame * inputChannels + in];
    }
    RealtimeSnapshot<ChannelRedirects>::release(realtime.redirectsSlot);
    return 0;
}

int Core::addChannelRedirect(unsigned int streamId, unsigned int inputChannel, unsigned int outputChannel) {
    auto stream = getStreamById(streamId);
    if (!stream) {
        Utilities::error("Stream not found", "addChannelRedirect", __LINE__);
        return -1;
    }
    return stream->addChannelRedirect(inputChannel, outputChannel);
}

int Core::removeChannelRedirect(unsigned int streamId, unsigned int index) {
    auto stream = getStreamById(streamId);
    if (!stream) {
        Utilities::error("Stream not found", "removeChannelRedirect", __LINE__);
        return -1;
    }
    return stream->removeChannelRedirect(index);
}

int Core::printChannelsRedirects(unsigned int streamId) {
    auto stream = getStreamById(streamId);
    if (!stream) {
        Utilities::error("Stream not found", "printChannelsRedirects", __LINE__);
        return -1;
    }
    return stream->printChannelsRedirects();
}
