#include "EffectTestSupport.hpp"
#include "effects/DeviceDelayEffect.hpp"
#include "effects/EffectFactory.hpp"

#include <gmock/gmock.h>

#include <limits>

using testing::ElementsAre;

namespace {

class DeviceDelayEffectTest : public effecttest::EffectTestBase {};

// A nonzero output sample: where it landed and what it was.
struct Landing {
    std::size_t frame;
    unsigned channel;
    float value;
    bool operator==(const Landing&) const = default;
};

void PrintTo(const Landing& l, std::ostream* os) {
    *os << "frame " << l.frame << " channel " << l.channel << " value " << l.value;
}

// Frame 0 holds `impulses` (one value per channel), everything else is silence; the effect is
// prepared for the format first, as a stream does when it opens.
std::vector<Landing> impulseResponse(DeviceDelayEffect& delay, unsigned sampleRate, const std::vector<float>& impulses) {
    const auto channels = unsigned(impulses.size());
    delay.prepare({sampleRate, channels, 256});
    std::vector<float> signal(2048 * channels, 0.0f);
    std::copy(impulses.begin(), impulses.end(), signal.begin());
    effecttest::processInBlocks(delay, signal, channels, sampleRate);
    std::vector<Landing> landings;
    for (std::size_t i = 0; i < signal.size(); ++i)
        if (signal[i] != 0.0f) landings.push_back({i / channels, unsigned(i % channels), signal[i]});
    return landings;
}

} // namespace

TEST_F(DeviceDelayEffectTest, TenMillisecondsAt48kDelaysEveryChannel480FramesInPlace) {
    DeviceDelayEffect delay("DeviceDelayEffect");
    EXPECT_THAT(impulseResponse(delay, 48000, {1, 2}), ElementsAre(Landing{0, 0, 1}, Landing{0, 1, 2}));
    delay.setDelay(10.0f);
    EXPECT_THAT(impulseResponse(delay, 48000, {1, 2}), ElementsAre(Landing{480, 0, 1}, Landing{480, 1, 2}));

    DeviceDelayEffect mono("DeviceDelayEffect");
    mono.setDelay(10.0f);
    EXPECT_THAT(impulseResponse(mono, 48000, {1}), ElementsAre(Landing{480, 0, 1}));

    DeviceDelayEffect quad("DeviceDelayEffect");
    quad.setDelay(10.0f);
    EXPECT_THAT(impulseResponse(quad, 48000, {1, 2, 3, 4}),
                ElementsAre(Landing{480, 0, 1}, Landing{480, 1, 2}, Landing{480, 2, 3}, Landing{480, 3, 4}));
}

TEST_F(DeviceDelayEffectTest, NegativeDelaysCountAsPositiveAndNonFrameCountsPassAudio) {
    DeviceDelayEffect delay("DeviceDelayEffect");
    delay.setDelay(-5.0f);
    EXPECT_EQ(delay.getDelay(), -5.0f);
    EXPECT_THAT(impulseResponse(delay, 48000, {1, 1}), ElementsAre(Landing{240, 0, 1}, Landing{240, 1, 1}));

    // Below one frame, or NaN, infinite or absurdly long (refused, so the last delay stays): no delay.
    for (const float ms : {0.01f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1e30f}) {
        delay.setDelay(ms);
        EXPECT_THAT(impulseResponse(delay, 48000, {1, 2}), ElementsAre(Landing{0, 0, 1}, Landing{0, 1, 2})) << ms;
    }
}

TEST_F(DeviceDelayEffectTest, ANewRateRestartsFromSilenceOnceItIsPrepared) {
    DeviceDelayEffect delay("DeviceDelayEffect");
    delay.prepare({48000, 2, 256});
    delay.setDelay(10.0f);
    std::vector<float> ones(2 * 1024, 1.0f);
    effecttest::processInBlocks(delay, ones, 2, 48000);
    ASSERT_EQ(ones.back(), 1.0f);  // the ring is full of signal

    // A block in a format it was not prepared for passes undelayed: no ring is built on the audio side.
    std::vector<float> unprepared = effecttest::noise(2 * 256, 3);
    const auto expected = unprepared;
    effecttest::processInBlocks(delay, unprepared, 2, 44100);
    EXPECT_EQ(unprepared, expected);

    delay.prepare({44100, 2, 256});
    std::vector<float> signal(2 * 1024, 1.0f);
    effecttest::processInBlocks(delay, signal, 2, 44100);
    // 441 frames now; nothing of the old ring survives.
    for (std::size_t f = 0; f < 1024; ++f) {
        ASSERT_EQ(signal[2 * f], f >= 441 ? 1.0f : 0.0f) << f;
        ASSERT_EQ(signal[2 * f + 1], f >= 441 ? 1.0f : 0.0f) << f;
    }
}

TEST_F(DeviceDelayEffectTest, DeepCopyContinuesFromItsOwnCopyOfTheRing) {
    const auto source = createEffect("DeviceDelayEffect");
    source->prepare({48000, 2, 256});
    source->setEffectParameter("delay", 10.0f);
    const auto before = effecttest::noise(2 * 300, 5);
    auto first = before;
    effecttest::processInBlocks(*source, first, 2, 48000);

    const auto copy = makeDeepCopy(source);
    const auto input = effecttest::noise(2 * 600, 6);
    auto fromSource = input, fromCopy = input;
    effecttest::processInBlocks(*copy, fromCopy, 2, 48000);
    effecttest::processInBlocks(*source, fromSource, 2, 48000);
    EXPECT_EQ(fromCopy, fromSource);
    // What the source took in before the copy comes out of the copy, 480 frames later.
    EXPECT_EQ(fromCopy[2 * (480 - 300)], before[0]);
    EXPECT_EQ(fromCopy[2 * (480 - 300) + 1], before[1]);
}
