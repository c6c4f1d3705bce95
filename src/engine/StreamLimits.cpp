#include "engine/StreamLimits.hpp"

namespace StreamLimits {

namespace {

// As the client sent it: a count arrives as a signed 32-bit number, so -1 reads as -1.
std::string shown(unsigned int value) { return std::to_string(static_cast<int>(value)); }

} // namespace

std::string refusal(unsigned int nChannelsInput, unsigned int nChannelsOutput, unsigned int bufferFrames) {
    if (nChannelsInput > kMaxChannels)
        return "Input channels out of range: " + shown(nChannelsInput) + " (at most " +
               std::to_string(kMaxChannels) + ")";
    if (nChannelsOutput > kMaxChannels)
        return "Output channels out of range: " + shown(nChannelsOutput) + " (at most " +
               std::to_string(kMaxChannels) + ")";
    if (bufferFrames > kMaxBufferFrames)
        return "Buffer frames out of range: " + shown(bufferFrames) + " (at most " + std::to_string(kMaxBufferFrames) +
               ")";
    return {};
}

} // namespace StreamLimits
