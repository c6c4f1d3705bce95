// Cost of each effect's process() per stereo frame at 48 kHz, in 256-frame blocks, against a plain
// copy of the same buffer measured in the same run. Compare ratios, not absolute times.
#include <iostream>

#include "RatioReporter.hpp"

#include "effects/EQEffect.hpp"
#include "effects/EffectFactory.hpp"
#include "utilities/Log.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <streambuf>
#include <string>
#include <vector>

namespace {

constexpr unsigned kChannels = 2;
constexpr unsigned kFrames = 256;
constexpr unsigned kSampleRate = 48000;

std::vector<float> noiseBlock() {
    std::mt19937 generator(42);
    std::uniform_real_distribution<float> distribution(-0.5f, 0.5f);
    std::vector<float> block(kChannels * kFrames);
    for (auto& sample : block) sample = distribution(generator);
    return block;
}

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
};

std::shared_ptr<Effect> eqWithPeaks(int count) {
    auto eq = std::make_shared<EQEffect>("EQEffect");
    const float centres[] = {80, 250, 1000, 4000, 12000};
    for (int i = 0; i < count; ++i) {
        eq->addFilter("PeakFilter");
        eq->setFilterParameter(unsigned(i), "centerFreq", centres[i % 5]);
        eq->setFilterParameter(unsigned(i), "gain", i % 2 ? -4.0f : 5.0f);
        eq->setFilterParameter(unsigned(i), "Q", 1.2f);
    }
    return eq;
}

// Built once, before the benchmark table is printed: construction and the first block log.
std::map<std::string, std::shared_ptr<Effect>> buildEffects() {
    Utilities::setLogFilePathForTesting("/dev/null");
    NullBuffer silence;
    std::streambuf* console = std::cout.rdbuf(&silence);

    std::map<std::string, std::shared_ptr<Effect>> effects;
    effects["Volume"] = createEffect("VolumeEffect");
    effects["Volume"]->setEffectParameter("volume", 80);
    effects["Pan"] = createEffect("PanEffect");
    effects["Pan"]->setEffectParameter("panX", 0.3f);
    effects["Equalizer"] = createEffect("EqualizerEffect");
    effects["Equalizer"]->setEffectParameter("midGain", 0.7f);
    effects["DeviceDelay"] = createEffect("DeviceDelayEffect");
    effects["DeviceDelay"]->setEffectParameter("delay", 10);
    effects["Reverb"] = createEffect("ReverbEffect");
    effects["EQ_1Peak"] = eqWithPeaks(1);
    effects["EQ_5Peaks"] = eqWithPeaks(5);

    auto block = noiseBlock();
    for (auto& [name, effect] : effects) effect->process(block.data(), block.data(), kChannels, kFrames, kSampleRate);

    std::cout.rdbuf(console);
    return effects;
}

// Never destroyed: effect destructors log, and exit is no place for that in a benchmark table.
std::map<std::string, std::shared_ptr<Effect>>& effects() {
    static auto* built = new std::map<std::string, std::shared_ptr<Effect>>(buildEffects());
    return *built;
}
const bool kBuiltBeforeMain = (effects(), true);

void reportPerFrame(benchmark::State& state) {
    state.SetItemsProcessed(std::int64_t(state.iterations()) * kFrames);
    state.counters["time_per_frame"] =
        benchmark::Counter(kFrames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_EffectsPlainCopy(benchmark::State& state) {
    const auto source = noiseBlock();
    std::vector<float> block(source.size());
    for (auto _ : state) {
        std::memcpy(block.data(), source.data(), source.size() * sizeof(float));
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    reportPerFrame(state);
}
BENCHMARK(BM_EffectsPlainCopy);

// Out of place, from the same source every block, so the signal stays the same noise (no decay
// into denormals) and the memory traffic matches the copy.
void BM_Effect(benchmark::State& state, const std::string& name) {
    Effect& effect = *effects().at(name);
    auto source = noiseBlock();
    std::vector<float> block(source.size());
    for (auto _ : state) {
        Effect::ProcessingScope scope(effect);
        effect.process(source.data(), block.data(), kChannels, kFrames, kSampleRate);
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    reportPerFrame(state);
}
#define EFFECT_BENCHMARK(name)                                            \
    BENCHMARK_CAPTURE(BM_Effect, name, std::string(#name));               \
    const bool name##Ratio = registerRatio("BM_Effect/" #name, "BM_EffectsPlainCopy");

EFFECT_BENCHMARK(Volume)
EFFECT_BENCHMARK(Pan)
EFFECT_BENCHMARK(Equalizer)
EFFECT_BENCHMARK(DeviceDelay)
EFFECT_BENCHMARK(Reverb)
EFFECT_BENCHMARK(EQ_1Peak)
EFFECT_BENCHMARK(EQ_5Peaks)

} // namespace
