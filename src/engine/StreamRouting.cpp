// A stream's routing matrix: its list of (input channel, output channel) redirects, edited on the
// control side and published for the audio callback.

#include "engine/Stream.hpp"
#include "utilities/Log.hpp"

#include <algorithm>
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
