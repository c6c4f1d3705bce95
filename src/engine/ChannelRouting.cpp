#include "engine/ChannelRouting.hpp"

#include <cstring>

void mixChannelRedirects(const float* input, float* output, unsigned int nFrames, unsigned int inputChannels,
                         unsigned int outputChannels, const ChannelRedirects& redirects) noexcept {
    // A stream without output channels gets no output buffer at all.
    if (output == nullptr || outputChannels == 0) return;
    std::memset(output, 0, sizeof(float) * nFrames * outputChannels);
    if (input == nullptr) return;
    for (const auto& [in, out] : redirects) {
        // A redirect left over from other channel counts names a channel this period lacks.
        if (in >= inputChannels || out >= outputChannels) continue;
        for (unsigned int frame = 0; frame < nFrames; ++frame)
            output[frame * outputChannels + out] += input[frame * inputChannels + in];
    }
}
