#include "EffectTestSupport.hpp"
#include "effects/EffectFactory.hpp"
#include "effects/ReverbEffect.hpp"

namespace {

class ReverbEffectTest : public effecttest::EffectTestBase {};

// The nonzero samples must be exactly these (index, value) pairs, values within 1e-6.
void expectEchoes(const std::vector<float>& signal, const std::vector<std::pair<std::size_t, double>>& expected) {
    std::vector<std::pair<std::size_t, float>> found;
    for (std::size_t i = 0; i < signal.size(); ++i)
        if (signal[i] != 0.0f) found.emplace_back(i, signal[i]);
    ASSERT_EQ(found.size(), expected.size());
    for (std::size_t k = 0; k < found.size(); ++k) {
        EXPECT_EQ(found[k].first, expected[k].first);
        EXPECT_NEAR(found[k].second, expected[k].second, 1e-6) << "echo " << k;
    }
}

// Prepared for mono or stereo at 48 kHz, as a stream prepares it when it opens.
std::unique_ptr<ReverbEffect> fullWet(float decay = 100.0f) {
    auto reverb = std::make_unique<ReverbEffect>("ReverbEffect");
    reverb->prepare({48000, 2, 256});
    reverb->setMix(100.0f);
    reverb->setDecay(decay);
    return reverb;
}

} // namespace

TEST_F(ReverbEffectTest, ImpulseRepeatsEveryCombLengthWithTheFeedback) {
    std::vector<float> signal(60000, 0.0f);
    signal[0] = 1.0f;
    effecttest::processInBlocks(*fullWet(), signal, 1, 48000);
    // 48000 × (0.5 + 0.1) = 28800 samples; decay 100 % gives a feedback of 0.6.
    expectEchoes(signal, {{0, 1.0}, {28800, 0.6}, {57600, 0.36}});
}

TEST_F(ReverbEffectTest, DryMixNoFeedbackOrNoCombPassTheInput) {
    const auto input = effecttest::noise(2 * 40000);
    ReverbEffect dryMix("ReverbEffect");
    dryMix.prepare({48000, 2, 256});
    dryMix.setMix(0.0f);
    auto signal = input;
    effecttest::processInBlocks(dryMix, signal, 2, 48000);
    EXPECT_EQ(signal, input);

    signal = input;
    effecttest::processInBlocks(*fullWet(0.0f), signal, 2, 48000);
    EXPECT_EQ(signal, input);

    // A comb of length 0 (room -10 %, sample rate 0), or a rate the effect was not prepared for (no
    // comb memory is made on the audio side), gives the dry input.
    for (const auto& [room, rate] : {std::pair{-10.0f, 48000u}, std::pair{50.0f, 0u}, std::pair{50.0f, 96000u}}) {
        auto reverb = fullWet();
        reverb->setRoomSize(room);
        signal = input;
        effecttest::processInBlocks(*reverb, signal, 2, rate);
        EXPECT_EQ(signal, input) << room << " " << rate;
    }
}

TEST_F(ReverbEffectTest, RoomSizeChangeKeepsTheStartOfTheComb) {
    for (const auto& [room, length] : {std::pair{40.0f, 24000u}, std::pair{60.0f, 33600u}}) {
        auto reverb = fullWet();
        std::vector<float> signal(2 * length + 100, 0.0f);
        signal[0] = 1.0f;
        reverb->process(signal.data(), signal.data(), 1, 256, 48000);
        // The impulse stored at position 0 survives; shortening drops the end, growing adds silence.
        reverb->setRoomSize(room);
        reverb->process(&signal[256], &signal[256], 1, unsigned(signal.size() - 256), 48000);
        expectEchoes(signal, {{0, 1.0}, {length, 0.6}, {2 * length, 0.36}});
    }
}

TEST_F(ReverbEffectTest, DeepCopyContinuesTheSameTail) {
    const auto source = createEffect("ReverbEffect");
    source->prepare({48000, 1, 1000});
    source->setEffectParameter("mix", 100.0f);
    source->setEffectParameter("decay", 100.0f);
    std::vector<float> head(1000, 0.0f);
    head[0] = 1.0f;
    source->process(head.data(), head.data(), 1, 1000, 48000);

    const auto copy = makeDeepCopy(source);
    std::vector<float> fromSource(40000, 0.0f), fromCopy(40000, 0.0f);
    effecttest::processInBlocks(*copy, fromCopy, 1, 48000);
    effecttest::processInBlocks(*source, fromSource, 1, 48000);
    EXPECT_EQ(fromCopy, fromSource);
    expectEchoes(fromCopy, {{28800 - 1000, 0.6}});
}
