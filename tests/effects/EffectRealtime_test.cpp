#include "AllocationCounter.hpp"
#include "EffectTestSupport.hpp"
#include "effects/EQEffect.hpp"
#include "effects/EffectFactory.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

class EffectRealtime : public effecttest::EffectTestBase {};

EQEffect& asEq(Effect& effect) {
    return dynamic_cast<EQEffect&>(effect);
}

} // namespace

TEST_F(EffectRealtime, NormalBlocksDoNotAllocateEvenAfterControlChanges) {
    // A control-side change made before each round of blocks.
    const std::vector<std::pair<std::string, std::function<void(Effect&, int)>>> effects = {
        {"VolumeEffect", [](Effect& e, int round) { e.setEffectParameter("volume", 30.0f + float(round)); }},
        {"PanEffect", [](Effect& e, int round) { e.setEffectParameter("panX", 0.2f * float(round)); }},
        {"EqualizerEffect", [](Effect& e, int round) { e.setEffectParameter("midGain", 0.5f * float(round)); }},
        // Each delay is a new ring, built on the control side.
        {"DeviceDelayEffect", [](Effect& e, int round) { e.setEffectParameter("delay", round % 2 ? 40.0f : 3.0f); }},
        // A growing room needs more comb memory, which the control side must provide.
        {"ReverbEffect", [](Effect& e, int round) { e.setEffectParameter("roomSize", 50.0f + 25.0f * float(round)); }},
        {"EQEffect",
         [](Effect& e, int round) {
             auto& eq = asEq(e);
             if (round == 0)
                 for (int i = 0; i < 5; ++i) eq.addFilter("PeakFilter");
             if (round == 1) eq.setFilterParameter(2, "gain", 6.0f);
             if (round == 2) eq.removeFilter(1);
             if (round == 3) eq.addFilter("PeakFilter");
         }},
    };
    effecttest::captureLogs([&] {
        for (const auto& [name, change] : effects) {
            const auto effect = createEffect(name);
            auto block = effecttest::noise(2 * 256);
            // As a stream does before its first period: the delay and the reverb size themselves here.
            effect->prepare({48000, 2, 256});
            for (int round = 0; round < 4; ++round) {
                change(*effect, round);
                const std::size_t before = allocationcounter::allocationsOnThisThread();
                for (int i = 0; i < 4; ++i) effect->process(block.data(), block.data(), 2, 256, 48000);
                EXPECT_EQ(allocationcounter::allocationsOnThisThread() - before, 0u) << name << " round " << round;
            }
            EXPECT_EQ(effect->takeUnpreparedBlocks(), 0u) << name << " only passed blocks through";
        }
    });
}

// Effects shared by two audio threads, as master effects are, while a control thread changes them,
// adds and removes filters and takes deep copies. ThreadSanitizer checks the sharing; here the
// audio must stay finite.
TEST_F(EffectRealtime, SharedEffectsSurviveTwoAudioThreadsAndAControlThread) {
    std::vector<std::shared_ptr<Effect>> chain;
    for (const char* name : {"VolumeEffect", "EqualizerEffect", "EQEffect", "DeviceDelayEffect", "ReverbEffect"})
        chain.push_back(createEffect(name));
    for (const auto& effect : chain) effect->prepare({48000, 2, 128});
    auto& eq = asEq(*chain[2]);
    std::atomic<bool> stop{false};
    std::atomic<int> nonFinite{0};
    std::atomic<long> blocks{0};
    const auto audioThread = [&](unsigned seed) {
        const auto source = effecttest::noise(2 * 128, seed);
        while (!stop.load()) {
            auto block = source;
            for (const auto& effect : chain) {
                Effect::ProcessingScope scope(*effect);
                effect->process(block.data(), block.data(), 2, 128, 48000);
            }
            for (const float sample : block) nonFinite.fetch_add(std::isfinite(sample) ? 0 : 1);
            blocks.fetch_add(1);
        }
    };

    testing::internal::CaptureStdout();  // progress lines only: sanitizer reports go to stderr
    std::thread first(audioThread, 1u), second(audioThread, 2u);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    for (int i = 0; std::chrono::steady_clock::now() < deadline || blocks.load() < 200; ++i) {
        chain[0]->setEffectParameter("volume", float(50 + i % 100));
        chain[1]->setEffectParameter("lowGain", float(i % 3) * 0.5f);
        chain[3]->setEffectParameter("delay", float(1 + i % 10));
        chain[4]->setEffectParameter("roomSize", i % 2 ? 30.0f : 90.0f);
        if (eq.getFilters().size() < 4) eq.addFilter("PeakFilter");
        else eq.removeFilter(eq.getFilters().front()->getId());
        eq.setFilterParameter(eq.getFilters().back()->getId(), "gain", float(i % 12));
        if (i % 10 == 0)
            for (const auto& effect : chain) {
                std::vector<float> block(2 * 64, 0.25f);
                makeDeepCopy(effect)->process(block.data(), block.data(), 2, 64, 48000);
            }
    }
    stop.store(true);
    first.join();
    second.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(nonFinite.load(), 0);
    for (const auto& effect : chain) EXPECT_EQ(effect->takeUnpreparedBlocks(), 0u) << effect->getName();
}
