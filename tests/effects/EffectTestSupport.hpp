#pragma once

#include "LogCapture.hpp"
#include "TempDir.hpp"
#include "effects/Effect.hpp"
#include "utilities/Log.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace effecttest {

using testsupport::captureLogs;
using testsupport::LogLine;
using testsupport::Logs;

// Keeps the engine's shared log file out of the tests.
class EffectTestBase : public ::testing::Test {
protected:
    void SetUp() override { Utilities::setLogFilePathForTesting(logDir.file("runtime.log")); }
    void TearDown() override { Utilities::setLogFilePathForTesting(Utilities::kLogFilePath); }

private:
    testsupport::TempDir logDir;
};

// Noise in [-1, 1) with a fixed seed, so a failure replays.
inline std::vector<float> noise(std::size_t samples, unsigned seed = 7) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-1.0f, 1.0f);
    std::vector<float> buffer(samples);
    for (auto& sample : buffer) sample = distribution(generator);
    return buffer;
}

// Runs an interleaved signal through `effect` in place, `blockFrames` frames at a time.
inline void processInBlocks(Effect& effect, std::vector<float>& signal, unsigned channels, unsigned sampleRate,
                            unsigned blockFrames = 256) {
    const std::size_t frames = signal.size() / channels;
    for (std::size_t first = 0; first < frames; first += blockFrames) {
        const auto count = unsigned(std::min<std::size_t>(blockFrames, frames - first));
        effect.process(&signal[first * channels], &signal[first * channels], channels, count, sampleRate);
    }
}

inline std::vector<float> channel(const std::vector<float>& interleaved, unsigned channels, unsigned index) {
    std::vector<float> result;
    for (std::size_t i = index; i < interleaved.size(); i += channels) result.push_back(interleaved[i]);
    return result;
}

} // namespace effecttest
