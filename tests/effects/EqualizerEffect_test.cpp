#include "EffectTestSupport.hpp"
#include "effects/EqualizerEffect.hpp"
#include "effects/StateChannels.hpp"

namespace {

class EqualizerEffectTest : public effecttest::EffectTestBase {};

// The three bands from their difference equations, in double precision:
//   low[n] = 0.1 x[n] + 0.9 low[n-1];  l = 0.1 x[n] + 0.9 mid[n-1];  mid[n] = 0.1 (x[n] - l) + 0.9 l;
//   high[n] = x[n] - 0.1 high[n-1]
std::vector<double> reference(const std::vector<float>& input, double lowGain, double midGain, double highGain) {
    double low = 0, mid = 0, high = 0;
    std::vector<double> output;
    for (const double x : input) {
        low = 0.1 * x + 0.9 * low;
        const double l = 0.1 * x + 0.9 * mid;
        mid = 0.1 * (x - l) + 0.9 * l;
        high = x - 0.1 * high;
        output.push_back(lowGain * low + midGain * mid + highGain * high);
    }
    return output;
}

void expectNear(const std::vector<float>& actual, const std::vector<double>& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) ASSERT_NEAR(actual[i], expected[i], tolerance) << i;
}

} // namespace

TEST_F(EqualizerEffectTest, ConstantOneSettlesNearTwoPointFiveFiveTwo) {
    EqualizerEffect equalizer("EqualizerEffect");
    std::vector<float> signal(3000, 1.0f);
    effecttest::processInBlocks(equalizer, signal, 1, 48000, 100);
    // Fixed points: low 1, mid 0.18 / 0.28, high 1 / 1.1.
    EXPECT_NEAR(signal.back(), 1.0 + 0.18 / 0.28 + 1.0 / 1.1, 1e-4);
    expectNear(signal, reference(std::vector<float>(3000, 1.0f), 1, 1, 1), 1e-4);
}

TEST_F(EqualizerEffectTest, SingleBandsAreTheirOwnFilters) {
    EqualizerEffect lowOnly("EqualizerEffect");
    lowOnly.setMidGain(0.0f);
    lowOnly.setHighGain(0.0f);
    auto signal = effecttest::noise(2000);
    std::vector<double> onePole;
    double previous = 0;
    for (const float x : signal) onePole.push_back(previous = 0.1 * x + 0.9 * previous);
    effecttest::processInBlocks(lowOnly, signal, 1, 48000, 64);
    expectNear(signal, onePole, 1e-5);

    EqualizerEffect highOnly("EqualizerEffect");
    highOnly.setLowGain(0.0f);
    highOnly.setMidGain(0.0f);
    std::vector<float> impulse(12, 0.0f);
    impulse[0] = 1.0f;
    highOnly.process(impulse.data(), impulse.data(), 1, 12, 44100);
    double expected = 1.0;  // 1, -0.1, 0.01, -0.001, ...
    for (std::size_t n = 0; n < impulse.size(); ++n, expected *= -0.1)
        EXPECT_NEAR(impulse[n], expected, 1e-6 * std::abs(expected)) << n;
}

TEST_F(EqualizerEffectTest, EveryChannelHasItsOwnStateUpToTheLimit) {
    EqualizerEffect equalizer("EqualizerEffect");
    equalizer.setLowGain(0.5f);
    equalizer.setHighGain(-1.0f);
    const unsigned channels = 6;
    auto signal = effecttest::noise(channels * 700, 11);
    const auto input = signal;
    effecttest::processInBlocks(equalizer, signal, channels, 48000, 128);
    for (unsigned c = 0; c < channels; ++c)
        expectNear(effecttest::channel(signal, channels, c),
                   reference(effecttest::channel(input, channels, c), 0.5, 1, -1), 1e-4);

    // One channel more than the state holds: the whole block passes, none of it half filtered.
    auto wide = effecttest::noise((kMaxStateChannels + 1) * 32, 12);
    const auto wideInput = wide;
    equalizer.process(wide.data(), wide.data(), kMaxStateChannels + 1, 32, 48000);
    EXPECT_EQ(wide, wideInput);
}
