#include "EffectTestSupport.hpp"
#include "effects/PanEffect.hpp"
#include "effects/VolumeEffect.hpp"

#include <gmock/gmock.h>

#include <limits>

using effecttest::captureLogs;
using effecttest::LogLine;
using testing::Each;
using testing::ElementsAre;

namespace {

class VolumePanEffect : public effecttest::EffectTestBase {};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A change glides for GainRamp's time: a block of silence first lets it settle, so the block
// returned shows the value reached.
std::vector<float> run(Effect& effect, std::vector<float> signal, unsigned channels) {
    std::vector<float> settle(1024 * channels, 0.0f);
    effect.process(settle.data(), settle.data(), channels, 1024, 48000);
    effect.process(signal.data(), signal.data(), channels, unsigned(signal.size() / channels), 48000);
    return signal;
}

void expectScaled(const std::vector<float>& output, const std::vector<float>& input, float factor) {
    for (std::size_t i = 0; i < input.size(); ++i) ASSERT_NEAR(output[i], factor * input[i], 2e-6f) << i;
}

} // namespace

TEST_F(VolumePanEffect, VolumeScalesByItsPercentage) {
    VolumeEffect volume("VolumeEffect");
    const auto input = effecttest::noise(512);
    EXPECT_EQ(run(volume, input, 2), input);

    const auto logs = captureLogs([&] { volume.setVolume(50.0f); });
    EXPECT_THAT(logs.out, ElementsAre(LogLine{"LOG", "", "Volume set to 50.000000 dB: -6.020600 factor: 0.500000"}));
    expectScaled(run(volume, input, 2), input, 0.5f);
    volume.setVolume(200.0f);
    expectScaled(run(volume, input, 2), input, 2.0f);
    volume.setVolume(0.0f);
    EXPECT_THAT(run(volume, input, 2), Each(0.0f));

    // No real level: silence rather than NaN or infinite samples; the value itself is kept.
    for (const float level : {-20.0f, kNaN, std::numeric_limits<float>::infinity()}) {
        volume.setVolume(level);
        EXPECT_THAT(run(volume, input, 2), Each(0.0f)) << level;
    }
    EXPECT_EQ(volume.getVolume(), std::numeric_limits<float>::infinity());
}

TEST_F(VolumePanEffect, StereoPanAttenuatesOneSideLinearly) {
    PanEffect pan("PanEffect");
    const auto input = effecttest::noise(512);
    pan.setPanX(0.5f);
    EXPECT_EQ(pan.getPanX(), 0.5f);
    auto output = run(pan, input, 2);
    expectScaled(effecttest::channel(output, 2, 0), effecttest::channel(input, 2, 0), 0.5f);
    EXPECT_EQ(effecttest::channel(output, 2, 1), effecttest::channel(input, 2, 1));

    pan.setPanX(-1.0f);
    output = run(pan, input, 2);
    EXPECT_EQ(effecttest::channel(output, 2, 0), effecttest::channel(input, 2, 0));
    EXPECT_THAT(effecttest::channel(output, 2, 1), Each(0.0f));

    pan.setPanX(kNaN);  // acts as the centre instead of turning a side into NaN
    EXPECT_EQ(run(pan, input, 2), input);

    // Beyond an end the balance acts at that end: no side amplified, inverted or made infinite.
    for (const float beyond : {-7.0f, -std::numeric_limits<float>::infinity()}) {
        pan.setPanX(beyond);
        output = run(pan, input, 2);
        EXPECT_EQ(effecttest::channel(output, 2, 0), effecttest::channel(input, 2, 0)) << beyond;
        EXPECT_THAT(effecttest::channel(output, 2, 1), Each(0.0f)) << beyond;
    }
    pan.setPanX(std::numeric_limits<float>::infinity());
    EXPECT_THAT(effecttest::channel(run(pan, input, 2), 2, 0), Each(0.0f));
}

TEST_F(VolumePanEffect, PanCopiesMonoLeavesOtherLayoutsAndIgnoresPanY) {
    PanEffect pan("PanEffect");
    pan.setPanX(0.8f);
    auto input = effecttest::noise(64);
    std::vector<float> out(64, 9.0f);
    pan.process(input.data(), out.data(), 1, 64, 48000);
    EXPECT_EQ(out, input);
    std::fill(out.begin(), out.end(), 9.0f);
    pan.process(input.data(), out.data(), 4, 16, 48000);
    EXPECT_THAT(out, Each(9.0f));

    PanEffect centred("PanEffect");
    const auto logs = captureLogs([&] { centred.setEffectParameter("panY", 0.7f); });
    EXPECT_THAT(logs.out, ElementsAre(LogLine{"LOG", "", "Pan Y set to 0.700000"}));
    EXPECT_TRUE(logs.err.empty());
    EXPECT_EQ(centred.getGetters().count("panY"), 0u);
    EXPECT_NE(centred.getSnapshotDump().find("Pan Y: -0.700000\n"), std::string::npos);
    EXPECT_EQ(run(centred, input, 2), input);
}
