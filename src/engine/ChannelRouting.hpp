#pragma once

#include <utility>
#include <vector>

using ChannelRedirect = std::pair<unsigned int, unsigned int>;
using ChannelRedirects = std::vector<ChannelRedirect>;

// One period of the routing matrix: zeroes `output` (nFrames x outputChannels, interleaved), then adds
// each redirect's input channel into its output channel. Redirects naming a channel the period lacks
// are skipped, a null input leaves silence and a null output (no output channels) is left alone.
// Real-time safe.
void mixChannelRedirects(const float* input, float* output, unsigned int nFrames, unsigned int inputChannels,
                         unsigned int outputChannels, const ChannelRedirects& redirects) noexcept;
