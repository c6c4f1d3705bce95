#include "engine/ChannelRouting.hpp"

#include "effects/SampleKernels.hpp"

#include <cstddef>
#include <cstring>

namespace {

// True when each output channel takes exactly its own input channel: the stereo default (0, 0), (1, 1).
// Pairs never repeat, so as many diagonal pairs as output channels cover each channel once.
bool isDiagonal(unsigned int inputChannels, unsigned int outputChannels, const ChannelRedirects& redirects) {
    if (inputChannels != outputChannels || redirects.size() != outputChannels) return false;
    for (const auto& [in, out] : redirects)
        if (in != out || out >= outputChannels) return false;
    return true;
}

} // namespace

void mixChannelRedirects(const float* input, float* output, unsigned int nFrames, unsigned int inputChannels,
                         unsigned int outputChannels, const ChannelRedirects& redirects) noexcept {
    // A stream without output channels gets no output buffer at all.
    if (output == nullptr || outputChannels == 0) return;
    const std::size_t count = std::size_t(nFrames) * outputChannels;
    if (input != nullptr && isDiagonal(inputChannels, outputChannels, redirects)) {
        addToSilence(input, output, count);
        return;
    }
    if (count != 0) std::memset(output, 0, sizeof(float) * count);
    if (input == nullptr) return;
    for (const auto& [in, out] : redirects) {
        // A redirect left over from other channel counts names a channel this period lacks.
        if (in >= inputChannels || out >= outputChannels) continue;
        for (unsigned int frame = 0; frame < nFrames; ++frame)
            output[frame * outputChannels + out] += input[frame * inputChannels + in];
    }
}
