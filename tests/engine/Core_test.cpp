#include "engine/Core.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

using testsupport::LogCapture;
using testsupport::VirtualEngine;

namespace {

class CoreTest : public ::testing::Test {
protected:
    VirtualEngine engine;
};

TEST_F(CoreTest, ConstructionProbesTheMicrophoneAndLeavesOnlyTheOutputListFilled) {
    LogCapture log;
    Core& core = engine.makeCore();
    log.take();

    EXPECT_TRUE(log.contains("[LOG] Core constructor"));
    EXPECT_TRUE(log.contains("Master effect VolumeEffect added"));
    EXPECT_TRUE(log.contains("Socket not initialized"));
    // The probe stream opens the default input at its first rate with 256 frames, then goes.
    EXPECT_TRUE(log.contains("Stream Stream129-130 added"));
    EXPECT_TRUE(log.contains("Stream Stream129-130 started successfully"));
    EXPECT_TRUE(log.contains("Stream 0 removed"));
    EXPECT_TRUE(log.contains("Added output device: Speakers with id: 130 nOutputChannels: 2"));
    EXPECT_TRUE(log.contains("Added input device: Mic with id: 129 nInputChannels: 2"));
    EXPECT_TRUE(core.getStreams().empty());
    EXPECT_TRUE(core.getInputDevices().empty());
    EXPECT_EQ(core.getOutputDevices(),
              (DeviceList{{engine.speakers, "Speakers"}, {engine.headset, "Headset"}, {engine.studio, "Studio"}}));
    EXPECT_EQ(coreInstance, &core);
    EXPECT_EQ(core.getMasterEffects().size(), 1u);
}

TEST_F(CoreTest, EachListRefreshEmptiesTheOther) {
    LogCapture log;
    Core& core = engine.makeCore();
    ASSERT_EQ(core.updateInputDevicesList(), 0);
    EXPECT_EQ(core.getInputDevices(),
              (DeviceList{{engine.mic, "Mic"}, {engine.headset, "Headset"}, {engine.studio, "Studio"}}));
    EXPECT_TRUE(core.getOutputDevices().empty());
    ASSERT_EQ(core.updateOutputDevicesList(), 0);
    EXPECT_TRUE(core.getInputDevices().empty());
}

TEST_F(CoreTest, CommonSampleRatesKeepTheInputOrder) {
    LogCapture log;
    Core& core = engine.makeCore();
    EXPECT_EQ(core.getAvailableSampleRates(engine.mic, engine.speakers), (std::vector<int>{44100, 48000}));
    EXPECT_EQ(core.getAvailableSampleRates(engine.speakers, engine.speakers), (std::vector<int>{44100, 48000, 96000}));
    EXPECT_TRUE(core.getAvailableSampleRates(engine.mic, engine.studio).empty());
    EXPECT_TRUE(core.getAvailableSampleRates(engine.mic, 4242).empty());
    EXPECT_TRUE(log.contains("Requested sample rates available for devices 129 and 130"));
}

TEST(CoreFatalTest, NoDevicesEndsTheProcessWithStatus255) {
    EXPECT_EXIT(
        {
            auto system = audio::VirtualBackEnd::create();
            Core core(system);
        },
        ::testing::ExitedWithCode(255), "No input device found(.|\n)*Failed to update input devices list");
}

TEST(CoreFatalTest, OutputOnlyMachineFailsOnTheInputList) {
    EXPECT_EXIT(
        {
            auto system = audio::VirtualBackEnd::create();
            system->setDefaultOutput(system->addDevice({"Speakers", 0, 2, {48000}, 48000}));
            Core core(system);
        },
        ::testing::ExitedWithCode(255), "No input devices found(.|\n)*Failed to update input devices list");
}

TEST_F(CoreTest, StreamIdsAreTheSmallestFreeOnes) {
    LogCapture log;
    Core& core = engine.makeCore();
    EXPECT_EQ(core.addStream(0, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(core.addStream(0, 0, 0, 0, 0, 0), 1);
    EXPECT_EQ(core.addStream(0, 0, 0, 0, 0, 0), 2);
    EXPECT_EQ(core.removeStream(1), 0);
    EXPECT_EQ(core.addStream(0, 0, 0, 0, 0, 0), 1);
    EXPECT_EQ(core.addStream(0, 0, 0, 0, 0, 0), 3);
    EXPECT_EQ(core.removeStream(7), -1);
    ASSERT_FALSE(core.getStreams().empty());
    EXPECT_EQ(core.getStreams().back()->getStreamId(), 3u);
    EXPECT_EQ(core.clearStreams(), 0);
    EXPECT_TRUE(core.getStreams().empty());
    EXPECT_EQ(core.addStream(0, 0, 0, 0, 0, 0), 0);
    log.take();
    EXPECT_TRUE(log.contains("Stream 1 removed"));
    EXPECT_TRUE(log.contains("(in function removeStream at line"));
    EXPECT_TRUE(log.contains("Stream not found"));
}

TEST_F(CoreTest, DefaultStreamTakesDefaultDevicesAllChannelsHighestCommonRateAnd1024Frames) {
    LogCapture log;
    Core& core = engine.makeCore();
    const int id = core.addStream(0, 0, 0, 0, 0, 0);
    auto stream = core.getStreamById(id);
    EXPECT_EQ(stream->getInputDeviceId(), engine.mic);
    EXPECT_EQ(stream->getOutputDeviceId(), engine.speakers);
    EXPECT_EQ(stream->getNChannelsInput(), 2u);
    EXPECT_EQ(stream->getNChannelsOutput(), 2u);
    EXPECT_EQ(stream->getSampleRate(), 0u);
    EXPECT_EQ(stream->getName(), "Stream129-130");
    EXPECT_EQ(stream->getChannelsRedirects(), (ChannelRedirects{{0, 0}, {1, 1}}));

    ASSERT_EQ(core.startStream(id), 0);
    EXPECT_TRUE(stream->isStarted());
    EXPECT_EQ(stream->getSampleRate(), 48000u);
    EXPECT_EQ(stream->getBufferFrames(), 1024u);
    auto* audio = engine.audioOf(*stream);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->config().sampleRate, 48000u);
    EXPECT_EQ(audio->config().input.deviceId, engine.mic);
    EXPECT_EQ(audio->config().options.streamName, "Stream129-130");
}

TEST_F(CoreTest, NoCommonRateRefusesToStartAndOpensNothing) {
    LogCapture log;
    Core& core = engine.makeCore();
    const int id = core.addStream(engine.mic, engine.studio, 0, 0, 0, 0);
    EXPECT_EQ(core.startStream(id), -1);
    auto stream = core.getStreamById(id);
    EXPECT_EQ(stream->getSampleRate(), 0u);
    EXPECT_FALSE(stream->isStarted());
    EXPECT_EQ(engine.audioOf(*stream), nullptr);
    log.take();
    EXPECT_TRUE(log.contains("No matching sample rate found"));
    EXPECT_FALSE(log.contains("Stream not found")) << "the stream is there; it would not start";
}

TEST_F(CoreTest, StreamsOnOneOutputSettleAtTheLowestRate) {
    LogCapture log;
    Core& core = engine.makeCore();
    const int first = core.addStream(engine.mic, engine.speakers, 2, 2, 48000, 256);
    const int second = core.addStream(engine.mic, engine.speakers, 2, 2, 44100, 256);
    ASSERT_EQ(core.startStream(first), 0);
    ASSERT_EQ(core.startStream(second), 0);
    EXPECT_EQ(core.getStreamById(first)->getSampleRate(), 44100u);
    EXPECT_EQ(core.getStreamById(second)->getSampleRate(), 44100u);
    EXPECT_EQ(engine.audioOf(*core.getStreamById(first))->config().sampleRate, 44100u);
    EXPECT_TRUE(core.getStreamById(first)->isStarted());
    log.take();
    EXPECT_TRUE(log.contains("Auto-synced sample rate to 44100"));
    EXPECT_TRUE(log.contains("Sample rate already set to 44100"));
}

TEST_F(CoreTest, TheLowestRateCountsRunningStreamsOnlyAndNeverForcesARateADeviceLacks) {
    LogCapture log;
    Core& core = engine.makeCore();
    const int idle = core.addStream(engine.mic, engine.speakers, 2, 2, 44100, 0);
    const int headset = core.addStream(engine.headset, engine.speakers, 1, 2, 48000, 0);
    EXPECT_EQ(core.startStream(headset), 0) << "a stream that never started does not count";
    EXPECT_EQ(engine.audioOf(*core.getStreamById(headset))->config().sampleRate, 48000u);
    // Started at 44100 now: the headset's input lacks that rate, so its stream plays on as it was.
    EXPECT_EQ(core.startStream(idle), 0);
    EXPECT_TRUE(core.getStreamById(headset)->isStarted());
    EXPECT_EQ(core.getStreamById(headset)->getSampleRate(), 48000u);
    EXPECT_EQ(core.addStream(engine.mic, engine.speakers, 2, 2, 3, 1024), -1);
    EXPECT_EQ(core.getStreams().size(), 2u);
    EXPECT_TRUE(log.contains("Sample rate 3 is not supported by both devices 129 and 130"));
}

TEST_F(CoreTest, AbsurdPeriodLengthsAreRefusedBeforeAnythingOpens) {
    LogCapture log;
    Core& core = engine.makeCore();
    EXPECT_EQ(core.addStream(0, 0, 0, 0, 48000, 2000000000), -1);
    EXPECT_TRUE(core.getStreams().empty());
    // Longer than a second: every stop would hold the engine lock for a period.
    const int slow = core.addStream(0, 0, 0, 0, 44100, 65536);
    EXPECT_EQ(core.startStream(slow), -1);
    const int fine = core.addStream(0, 0, 0, 0, 48000, 48000);
    EXPECT_EQ(core.startStream(fine), 0);
    EXPECT_TRUE(log.contains("Buffer frames out of range: 2000000000 (at most 65536)"));
    EXPECT_TRUE(log.contains("Period too long: 65536 frames at 44100 Hz (at most one second)"));
}

struct Counts {
    unsigned int in, out, frames;
    bool added;
};

class StreamCounts : public CoreTest, public ::testing::WithParamInterface<Counts> {};

// Counts no back end can open are refused at once, not listed and saved to fail at every start.
TEST_P(StreamCounts, BeyondTheBoundsAreRefusedWhenTheStreamIsMade) {
    LogCapture log;
    Core& core = engine.makeCore();
    const auto [in, out, frames, added] = GetParam();
    EXPECT_EQ(core.addStream(engine.mic, engine.speakers, in, out, 48000, frames) >= 0, added);
    EXPECT_EQ(core.getStreams().size(), added ? 1u : 0u);
    if (added) return;
    // An edit to them is refused before the stream stops: it plays on in the same open stream.
    auto kept = core.getStreamById(core.addStream(engine.mic, engine.speakers, 2, 2, 48000, 256));
    ASSERT_EQ(core.startStream(kept->getStreamId()), 0);
    const auto* playing = engine.audioOf(*kept);
    EXPECT_EQ(kept->editStream(engine.mic, engine.speakers, in, out, 48000, frames, "edited"), -1);
    EXPECT_EQ(engine.audioOf(*kept), playing);
    EXPECT_TRUE(kept->isStarted());
}

INSTANTIATE_TEST_SUITE_P(Bounds, StreamCounts,
                         ::testing::Values(Counts{2, 2, 256, true}, Counts{0, 0, 0, true}, Counts{64, 64, 65536, true},
                                           Counts{65, 2, 256, false}, Counts{2, 1000, 256, false},
                                           Counts{unsigned(-1), 2, 256, false}, Counts{2, unsigned(-1), 256, false},
                                           Counts{2, 2, 65537, false}, Counts{2, 2, 2147483647, false}));

TEST_F(CoreTest, StartAndStopOfUnknownOrFailingStreams) {
    LogCapture log;
    Core& core = engine.makeCore();
    EXPECT_EQ(core.startStream(9), -1);
    EXPECT_EQ(core.stopStream(9), -1);
    const int id = core.addStream(0, 0, 0, 0, 48000, 0);
    engine.system->failNext(audio::VirtualBackEnd::Operation::Start, audio::Fault::System);
    EXPECT_EQ(core.startStream(id), -1);
    // Stopping a stream that never ran is a success.
    EXPECT_EQ(core.stopStream(id), 0);
    log.take();
    // The unknown ones only: a stream that would not start says why, not that it is missing.
    EXPECT_EQ(log.count("Stream not found"), 2);
    EXPECT_TRUE(log.contains("(10) (in function start at line"));
    EXPECT_TRUE(log.contains("Stream Stream129-130 stopped successfully"));
}

} // namespace
