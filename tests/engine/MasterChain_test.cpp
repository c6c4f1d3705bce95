// Master effects with state run per stream: two streams through one master delay, at different rates
// and channel counts, each hear only themselves, delayed by the master's setting.

#include "engine/Core.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

using testsupport::LogCapture;
using testsupport::VirtualEngine;

namespace {

constexpr unsigned int kFrames = 64;

// Runs `periods` periods of a ramp (frame n carries sign * (n + 1) on every input channel) and
// returns output channel 0, frame by frame.
struct RampRunner {
    VirtualEngine& engine;
    std::shared_ptr<Stream> stream;
    float sign;
    unsigned int next{0};

    std::vector<float> run(unsigned int periods) {
        const unsigned int in = stream->getNChannelsInput(), out = stream->getNChannelsOutput();
        std::vector<float> left;
        for (unsigned int period = 0; period < periods; ++period) {
            std::vector<float> input(kFrames * in);
            for (unsigned int frame = 0; frame < kFrames; ++frame)
                for (unsigned int c = 0; c < in; ++c) input[frame * in + c] = sign * float(next + frame + 1);
            const auto output = engine.runPeriod(*stream, input);
            for (unsigned int frame = 0; frame < kFrames; ++frame) left.push_back(output[frame * out]);
            next += kFrames;
        }
        return left;
    }
};

// Frame n of the output holds the input of frame n - delay (silence before it).
void expectDelayedRamp(const std::vector<float>& left, unsigned int firstFrame, float sign, unsigned int delay) {
    for (std::size_t i = delay; i < left.size(); ++i) {
        const auto frame = firstFrame + i;
        ASSERT_EQ(left[i], sign * float(frame + 1 - delay)) << "frame " << frame << ", delay " << delay;
    }
}

TEST(MasterChainPerStream, EachStreamHearsOnlyItselfDelayedByTheMastersSetting) {
    VirtualEngine engine;
    LogCapture quiet;
    engine.system->settleBufferFramesAt(kFrames);
    Core& core = engine.makeCore();
    auto stereo = core.getStreamById(core.addStream(engine.mic, engine.speakers, 2, 2, 48000, kFrames));
    auto quad = core.getStreamById(core.addStream(engine.studio, engine.studio, 4, 4, 96000, kFrames));
    ASSERT_EQ(core.startStream(stereo->getStreamId()), 0);
    ASSERT_EQ(core.startStream(quad->getStreamId()), 0);
    ASSERT_EQ(core.addMasterEffect("DeviceDelayEffect"), 0);
    ASSERT_EQ(core.setMasterEffectParameter("DeviceDelayEffect", "delay", 1.0f), 0);

    RampRunner a{engine, stereo, 1.0f}, b{engine, quad, -1.0f};
    // Interleaved periods, as two audio threads would run them.
    std::vector<float> leftA, leftB;
    for (int round = 0; round < 8; ++round) {
        auto pa = a.run(1), pb = b.run(1);
        leftA.insert(leftA.end(), pa.begin(), pa.end());
        leftB.insert(leftB.end(), pb.begin(), pb.end());
    }
    expectDelayedRamp(leftA, 0, 1.0f, 48);  // 1 ms at 48 kHz
    expectDelayedRamp(leftB, 0, -1.0f, 96); // 1 ms at 96 kHz

    // A parameter change reaches every stream's instance; so does switching the effect off.
    ASSERT_EQ(core.setMasterEffectParameter("DeviceDelayEffect", "delay", 2.0f), 0);
    a.run(4);
    const unsigned int firstA = a.next;
    expectDelayedRamp(a.run(4), firstA, 1.0f, 96);
    ASSERT_EQ(core.setMasterEffectEnable("DeviceDelayEffect", false), 0);
    const unsigned int firstB = b.next;
    expectDelayedRamp(b.run(2), firstB, -1.0f, 0);
}

} // namespace
