// The vector kernels of the default chain give every sample the bits of the one-at-a-time loops
// they replaced, on awkward values and on lengths that leave a tail.

#include "effects/SampleKernels.hpp"
#include "engine/ChannelRouting.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

std::vector<float> awkwardSignal(std::size_t count) {
    const float specials[] = {-0.0f, 0.0f, std::numeric_limits<float>::denorm_min(), -1e-40f,
                              std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::max(), 1.0f / 3.0f};
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> noise(-2.0f, 2.0f);
    std::vector<float> signal(count);
    for (std::size_t i = 0; i < count; ++i) signal[i] = i % 5 == 0 ? specials[(i / 5) % 8] : noise(generator);
    return signal;
}

void expectSameBits(const std::vector<float>& actual, const std::vector<float>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    if (!actual.empty()) EXPECT_EQ(std::memcmp(actual.data(), expected.data(), actual.size() * sizeof(float)), 0);
}

// The routing loop as it was: zero the period, then add each redirect frame by frame.
std::vector<float> referenceMix(const std::vector<float>& input, unsigned frames, unsigned inChannels,
                                unsigned outChannels, const ChannelRedirects& redirects) {
    std::vector<float> output(std::size_t(frames) * outChannels, 0.0f);
    for (const auto& [in, out] : redirects)
        if (in < inChannels && out < outChannels)
            for (unsigned f = 0; f < frames; ++f) output[f * outChannels + out] += input[f * inChannels + in];
    return output;
}

class SampleKernels : public ::testing::TestWithParam<unsigned> {};

TEST_P(SampleKernels, ScaleMatchesTheScalarProductInPlaceAndApart) {
    const auto source = awkwardSignal(GetParam());
    for (float factor : {1.0f, 0.0f, 0.794328f, -1.5f}) {
        std::vector<float> expected(source.size()), apart(source.size()), inPlace(source);
        for (std::size_t i = 0; i < source.size(); ++i) expected[i] = source[i] * factor;
        scaleSamples(source.data(), apart.data(), source.size(), factor);
        scaleSamples(inPlace.data(), inPlace.data(), inPlace.size(), factor);
        expectSameBits(apart, expected);
        expectSameBits(inPlace, expected);
    }
}

TEST_P(SampleKernels, RoutingMatchesTheZeroThenAddLoop) {
    const unsigned frames = GetParam();
    const struct { unsigned in, out; ChannelRedirects redirects; } layouts[] = {
        {2, 2, {{0, 0}, {1, 1}}}, {2, 2, {{1, 1}, {0, 0}}}, {4, 4, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}},
        {2, 2, {{0, 0}, {1, 0}}}, {2, 2, {{0, 1}, {1, 0}}}, {1, 2, {{0, 0}, {1, 1}}}, {2, 2, {{0, 0}}}};
    for (const auto& layout : layouts) {
        const auto input = awkwardSignal(std::size_t(frames) * layout.in);
        std::vector<float> output(std::size_t(frames) * layout.out, 5.0f);
        mixChannelRedirects(input.data(), output.data(), frames, layout.in, layout.out, layout.redirects);
        expectSameBits(output, referenceMix(input, frames, layout.in, layout.out, layout.redirects));
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, SampleKernels, ::testing::Values(0u, 1u, 7u, 8u, 17u, 256u, 1023u));

} // namespace
