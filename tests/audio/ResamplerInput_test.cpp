// What a period asks of the input while the clock follower resamples, against the resampler itself:
// offered exactly that, it always fills the period (a shortfall is heard as silence), and it leaves
// no more than a few frames behind (what it leaves waits in the ring instead of on the server).

#include "audio/ClockFollower.hpp"
#include "audio/pulse/ResamplerInput.hpp"

#include <zita-resampler/vresampler.h>

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using audio::detail::resamplerInputNeeded;

class ResamplerInputTest : public testing::TestWithParam<unsigned int> {};

TEST_P(ResamplerInputTest, APeriodIsAlwaysFilledAndLeavesAlmostNothingBehind) {
    constexpr unsigned int kHalfLength = 32, kChannels = 2;
    const unsigned int period = GetParam();
    VResampler resampler;
    ASSERT_EQ(resampler.setup(1.0, kChannels, kHalfLength), 0);
    // Primed with the frames just played, as a stream starting to follow is.
    std::vector<float> input(4 * 8192 * kChannels, 0.25f), output(std::size_t(period) * kChannels);
    resampler.inp_data = input.data();
    resampler.inp_count = static_cast<unsigned int>(resampler.inpsize() / 2 - 1);
    resampler.out_data = nullptr;
    resampler.out_count = 1u << 20;
    resampler.process();

    std::mt19937 random(period);
    std::uniform_real_distribution<double> offset(-audio::detail::ClockFollower::kMaxCorrection,
                                                  audio::detail::ClockFollower::kMaxCorrection);
    for (int run = 0; run < 5000; ++run) {
        // The follower's ratio, jumping anywhere in its range from period to period (it moves by ppm).
        resampler.set_rratio(1.0 / (1.0 + offset(random)));
        const std::size_t offered = resamplerInputNeeded(resampler.inpdist(), kHalfLength, period);
        resampler.inp_data = input.data();
        resampler.inp_count = static_cast<unsigned int>(offered);
        resampler.out_data = output.data();
        resampler.out_count = period;
        resampler.process();
        ASSERT_EQ(resampler.out_count, 0u) << "period " << run << " short, offered " << offered;
        // The first period also fills the filter's half length ahead; after it, a period takes a period.
        if (run > 0) ASSERT_LE(resampler.inp_count, 3u + period / 100) << "period " << run << ", offered " << offered;
    }
}

INSTANTIATE_TEST_SUITE_P(Periods, ResamplerInputTest, testing::Values(64u, 256u, 1024u));

} // namespace
