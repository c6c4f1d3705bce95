// Faders moved at once: the stream volume, the master volume and the balance, stepped between their
// extremes while a 440 Hz sine plays. No step may show at the output as a jump larger than the
// sine's own slope, and each new level must be reached within the glide time.

#include "effects/GainRamp.hpp"
#include "engine/Core.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

constexpr unsigned kRate = 48000, kFrames = 256;
constexpr float kAmplitude = 0.5f, kTwoPi = 6.2831853f;

struct Fader {
    const char* name;
    std::function<void(Core&, unsigned int stream, float value)> move;
    std::vector<float> steps;
    // The gain each output channel settles at for a value.
    std::function<std::pair<float, float>(float value)> gains;
};

void PrintTo(const Fader& fader, std::ostream* os) { *os << fader.name; }

class SmoothingTest : public ::testing::TestWithParam<Fader> {
protected:
    void SetUp() override {
        testsupport::LogCapture quiet;
        engine.system->settleBufferFramesAt(kFrames);
        Core& core = engine.makeCore();
        id = static_cast<unsigned int>(core.addStream(engine.mic, engine.speakers, 2, 2, kRate, kFrames));
        ASSERT_EQ(core.startStream(id), 0);
        core.addEffectToStream(id, "PanEffect");
        stream = core.getStreamById(id);
    }

    // The next period of the sine, on both channels.
    std::vector<float> period() {
        std::vector<float> input(2 * kFrames);
        for (unsigned f = 0; f < kFrames; ++f, ++phase)
            input[2 * f] = input[2 * f + 1] = kAmplitude * std::sin(kTwoPi * 440.0f * float(phase) / float(kRate));
        lastInput = input;
        return engine.runPeriod(*stream, input);
    }

    testsupport::VirtualEngine engine;
    unsigned int id{0};
    std::shared_ptr<Stream> stream;
    unsigned long phase{0};
    std::vector<float> lastInput;
};

TEST_P(SmoothingTest, AStepGlidesWithinTheSineSlopeAndSettlesWithinTheRamp) {
    const Fader& fader = GetParam();
    const float sineSlope = kAmplitude * kTwoPi * 440.0f / float(kRate); // 0.0288 a sample
    const auto glideFrames = static_cast<unsigned>(GainRamp::kRampSeconds * float(kRate));
    float previous[2] = {0.0f, 0.0f};
    float largestStep = 0.0f, allowed = 0.0f;
    for (const float value : fader.steps) {
        {
            testsupport::LogCapture quiet;
            auto guard = engine.core->lock();
            fader.move(*engine.core, id, value);
        }
        const auto [left, right] = fader.gains(value);
        allowed = std::max(allowed, sineSlope * std::max({left, right, 1.0f}) * 1.1f + 0.005f);
        for (unsigned done = 0; done <= glideFrames; done += kFrames) {
            const auto output = period();
            for (unsigned f = 0; f < kFrames; ++f)
                for (unsigned c = 0; c < 2; ++c) {
                    largestStep = std::max(largestStep, std::fabs(output[2 * f + c] - previous[c]));
                    previous[c] = output[2 * f + c];
                }
        }
        // Past the glide the output is the input at the new gains.
        const auto settled = period();
        for (unsigned f = 0; f < kFrames; ++f) {
            ASSERT_NEAR(settled[2 * f], lastInput[2 * f] * left, 1e-5f) << fader.name << " " << value;
            ASSERT_NEAR(settled[2 * f + 1], lastInput[2 * f + 1] * right, 1e-5f) << fader.name << " " << value;
        }
        previous[0] = settled[2 * kFrames - 2];
        previous[1] = settled[2 * kFrames - 1];
    }
    RecordProperty("largestStep", std::to_string(largestStep));
    EXPECT_LE(largestStep, allowed) << fader.name;
}

const auto volumeGain = [](float percent) { return std::pair{percent / 100.0f, percent / 100.0f}; };

INSTANTIATE_TEST_SUITE_P(
    Faders, SmoothingTest,
    ::testing::Values(
        Fader{"stream volume",
              [](Core& core, unsigned int id, float v) { core.setEffectParameter(id, "VolumeEffect", "volume", v); },
              {0.0f, 100.0f, 200.0f, 0.0f, 100.0f}, volumeGain},
        Fader{"master volume",
              [](Core& core, unsigned int, float v) { core.setMasterEffectParameter("VolumeEffect", "volume", v); },
              {0.0f, 200.0f, 0.0f, 100.0f}, volumeGain},
        Fader{"balance", [](Core& core, unsigned int id, float v) { core.setEffectParameter(id, "PanEffect", "panX", v); },
              {-1.0f, 1.0f, -1.0f, 0.0f},
              // -1 leaves the left side alone and silences the right; +1 the other way round.
              [](float x) { return x < 0.0f ? std::pair{1.0f, 1.0f + x} : std::pair{1.0f - x, 1.0f}; }}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (c == ' ') c = '_';
        return name;
    });

} // namespace
