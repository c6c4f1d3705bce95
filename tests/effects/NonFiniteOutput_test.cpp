#include "EffectTestSupport.hpp"
#include "effects/EffectFactory.hpp"

#include <cmath>
#include <functional>
#include <limits>

namespace {

class NonFiniteOutput : public effecttest::EffectTestBase {};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

struct Runaway {
    const char* effect;
    std::function<void(Effect&)> setUp;  // applied to both the blown-up and the fresh effect
    const char* parameter;
    float wild, sane;
};

} // namespace

// A setting that blows the effect up gives silent blocks, never infinities or NaN; set back to a
// sane value, the effect sounds exactly like a fresh one (its state was cleared, not left poisoned).
TEST_F(NonFiniteOutput, RunawaySettingsGiveSilenceAndTheEffectRecovers) {
    const auto shortComb = [](Effect& e) { e.setEffectParameter("roomSize", -9.0f); };  // 480 samples
    const auto none = [](Effect&) {};
    const Runaway cases[] = {
        {"ReverbEffect", shortComb, "decay", 1000.0f, 50.0f},  // feedback 6: infinity within a second
        {"ReverbEffect", none, "mix", kNaN, 50.0f},
        {"EqualizerEffect", none, "lowGain", kInfinity, 1.0f},
        {"EqualizerEffect", none, "highGain", kNaN, 1.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.effect) + " " + c.parameter);
        const auto effect = createEffect(c.effect, nullptr, nullptr);
        c.setUp(*effect);
        effect->setEffectParameter(c.parameter, c.wild);
        bool silenced = false;
        for (int block = 0; block < 200 && !silenced; ++block) {
            std::vector<float> signal(2 * 256, 0.5f);
            effect->process(signal.data(), signal.data(), 2, 256, 48000);
            for (const float sample : signal) ASSERT_TRUE(std::isfinite(sample)) << "block " << block;
            silenced = signal == std::vector<float>(signal.size(), 0.0f);
        }
        ASSERT_TRUE(silenced);

        effect->setEffectParameter(c.parameter, c.sane);
        const auto fresh = createEffect(c.effect, nullptr, nullptr);
        c.setUp(*fresh);
        std::vector<float> recovered(2 * 1024, 0.5f), expected = recovered;
        effecttest::processInBlocks(*effect, recovered, 2, 48000);
        effecttest::processInBlocks(*fresh, expected, 2, 48000);
        EXPECT_EQ(recovered, expected);
    }
}
