#include "engine/Core.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

using testsupport::LogCapture;
using testsupport::VirtualEngine;

namespace {

// Stereo in, stereo out, 4 frames per period, running; the volume effects sit at 100 (unity).
class RoutingTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture quiet;
        engine.system->settleBufferFramesAt(4);
        Core& core = engine.makeCore();
        stream = core.getStreamById(core.addStream(engine.mic, engine.speakers, 2, 2, 48000, 4));
        ASSERT_EQ(core.startStream(stream->getStreamId()), 0);
    }

    std::vector<float> period() { return engine.runPeriod(*stream, input); }

    VirtualEngine engine;
    std::shared_ptr<Stream> stream;
    // Left channel 1, 2, 3, 4; right channel 10, 20, 30, 40.
    const std::vector<float> input{1, 10, 2, 20, 3, 30, 4, 40};
};

TEST_F(RoutingTest, DefaultRoutingPassesStereoThrough) { EXPECT_EQ(period(), input); }

TEST_F(RoutingTest, TwoInputsIntoOneOutputAddUp) {
    LogCapture log;
    ASSERT_EQ(stream->removeChannelRedirect(1), 0);  // drop (1, 1)
    ASSERT_EQ(stream->addChannelRedirect(1, 0), 0);
    EXPECT_EQ(period(), (std::vector<float>{11, 0, 22, 0, 33, 0, 44, 0}));
}

TEST_F(RoutingTest, LeftInputToRightOutputOnly) {
    LogCapture log;
    ASSERT_EQ(stream->removeChannelRedirect(1), 0);
    ASSERT_EQ(stream->removeChannelRedirect(0), 0);
    ASSERT_EQ(stream->addChannelRedirect(0, 1), 0);
    EXPECT_EQ(period(), (std::vector<float>{0, 1, 0, 2, 0, 3, 0, 4}));
}

TEST_F(RoutingTest, EmptyRoutingIsSilenceButTheExportStillRuns) {
    LogCapture log;
    ASSERT_EQ(stream->removeChannelRedirect(0), 0);
    ASSERT_EQ(stream->removeChannelRedirect(0), 0);
    EXPECT_EQ(stream->removeChannelRedirect(0), -1);
    EXPECT_EQ(period(), std::vector<float>(8, 0.0f));
    EXPECT_TRUE(stream->isSharedMemoryStarted());
}

TEST_F(RoutingTest, AStreamWithoutOutputChannelsRunsWithoutAnOutputBuffer) {
    LogCapture quiet;
    Core& core = *engine.core;
    auto capture = core.getStreamById(core.addStream(engine.headset, engine.speakers, 1, 2, 48000, 4));
    capture->setNChannelsOutput(0);
    ASSERT_EQ(core.startStream(capture->getStreamId()), 0);
    auto* instance = engine.audioOf(*capture);
    ASSERT_NE(instance, nullptr);
    std::vector<float> in{1, 2, 3, 4};
    // As the library calls it: no output buffer at all. Under the sanitizers a null that reaches
    // memset or a kernel aborts here.
    EXPECT_TRUE(instance->runPeriod(in.data(), nullptr));
    EXPECT_EQ(period(), input) << "the other stream plays on untouched";
}

TEST_F(RoutingTest, RedirectEditsAreCheckedAndReported) {
    LogCapture log;
    EXPECT_EQ(stream->addChannelRedirect(2, 0), -1);
    EXPECT_EQ(stream->addChannelRedirect(0, 2), -1);
    EXPECT_EQ(stream->addChannelRedirect(0, 0), -1);
    EXPECT_EQ(stream->removeChannelRedirect(2), -1);
    ASSERT_EQ(stream->removeChannelRedirect(0), 0);
    EXPECT_EQ(stream->getChannelsRedirects(), (ChannelRedirects{{1, 1}}));
    EXPECT_EQ(engine.core->addChannelRedirect(9, 0, 0), -1);
    EXPECT_EQ(engine.core->removeChannelRedirect(9, 0), -1);
    EXPECT_EQ(engine.core->printChannelsRedirects(9), -1);
    log.take();
    EXPECT_TRUE(log.contains("[ERROR] (2) (in function addChannelRedirect at line"));
    EXPECT_TRUE(log.contains("InputChannel not found"));
    EXPECT_TRUE(log.contains("OutputChannel not found"));
    EXPECT_TRUE(log.contains("ChannelRedirect already exists"));
    EXPECT_TRUE(log.contains("ChannelRedirect not found"));
    EXPECT_TRUE(log.contains("ChannelRedirect successfully removed"));
    EXPECT_EQ(log.count("Stream not found"), 3);
}

TEST_F(RoutingTest, PrintListsRedirectsInOrder) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(engine.core->printChannelsRedirects(stream->getStreamId()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0 - 0\n1 - 1\n");
}

TEST_F(RoutingTest, RedirectsOutsideTheChannelCountsAreSkipped) {
    LogCapture log;
    // A stream on a mono input keeps the default (1, 1) redirect; it must read nothing past the input.
    auto mono = engine.core->getStreamById(engine.core->addStream(engine.headset, engine.headset, 0, 0, 48000, 4));
    EXPECT_EQ(mono->getNChannelsInput(), 1u);
    EXPECT_EQ(mono->addChannelRedirect(0, 1), 0);
    ASSERT_EQ(engine.core->startStream(mono->getStreamId()), 0);
    EXPECT_EQ(engine.runPeriod(*mono, {5, 6, 7, 8}), (std::vector<float>{5, 5, 6, 6, 7, 7, 8, 8}));
    // After the output count shrinks, the (0, 1) redirect names a missing channel and is skipped.
    mono->setNChannelsOutput(1);
    ASSERT_EQ(mono->stop(), 0);
    ASSERT_EQ(mono->start(), 0);
    EXPECT_EQ(engine.runPeriod(*mono, {5, 6, 7, 8}), (std::vector<float>{5, 6, 7, 8}));
}

TEST_F(RoutingTest, OverflowAndUnderflowAreLoggedOnceAndProcessingGoesOn) {
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(engine.dir.path());
    LogCapture log;
    // Each snapshot is written before the next period, so none is skipped.
    for (unsigned int status : {3u, 1u, 4u}) {
        EXPECT_EQ(engine.runPeriod(*stream, input, status), input);
        stream->drainSnapshots();
    }
    log.take();
    std::filesystem::current_path(cwd);
    EXPECT_EQ(log.count("Input overflow and output underflow"), 1);
    EXPECT_EQ(log.count("Input overflow"), 2);
    EXPECT_EQ(log.count("Output underflow"), 0);
    EXPECT_EQ(log.count("Snapshot done"), 2);
}

} // namespace

TEST(ChannelRoutingMix, SumsRedirectsSkipsMissingChannelsAndSilencesWithoutInput) {
    const std::vector<float> input{1, 10, 2, 20}; // two frames, two channels
    std::vector<float> output(6, 99.0f);          // two frames, three channels
    mixChannelRedirects(input.data(), output.data(), 2, 2, 3, {{0, 2}, {1, 2}, {5, 0}, {0, 7}});
    EXPECT_EQ(output, (std::vector<float>{0, 0, 11, 0, 0, 22}));
    mixChannelRedirects(nullptr, output.data(), 2, 2, 3, {{0, 0}});
    EXPECT_EQ(output, std::vector<float>(6, 0.0f));
}
