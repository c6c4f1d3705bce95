#include "engine/Stream.hpp"

#include "engine/AudioFaults.hpp"
#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

using testsupport::LogCapture;
using testsupport::VirtualEngine;

namespace {

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture quiet;
        engine.makeCore();
    }
    std::shared_ptr<Stream> addStream(unsigned in, unsigned out, unsigned rate = 0) {
        LogCapture quiet;
        return engine.core->getStreamById(engine.core->addStream(in, out, 0, 0, rate, 256));
    }
    VirtualEngine engine;
};

TEST_F(StreamTest, ChangeSampleRateOnAStoppedStreamStoresItAndReportsTheStopWarning) {
    auto stream = addStream(engine.mic, engine.speakers, 48000);
    LogCapture log;
    EXPECT_EQ(stream->changeSampleRate(48000), 0);
    EXPECT_EQ(stream->changeSampleRate(44100), 1);
    EXPECT_EQ(stream->getSampleRate(), 44100u);
    log.take();
    EXPECT_TRUE(log.contains("Sample rate already set to 48000"));
    EXPECT_TRUE(log.contains("(1) (in function changeSampleRate at line"));
    EXPECT_TRUE(log.contains("An error occurred while stopping the stream"));
}

TEST_F(StreamTest, ChangeSampleRateRestartsARunningStream) {
    auto stream = addStream(engine.mic, engine.speakers, 48000);
    LogCapture log;
    ASSERT_EQ(stream->start(), 0);
    EXPECT_EQ(stream->changeSampleRate(96000), -1) << "the mic lacks 96000";
    EXPECT_TRUE(stream->isStarted()) << "a refused rate leaves the stream playing";
    EXPECT_EQ(engine.audioOf(*stream)->config().sampleRate, 48000u);
    ASSERT_EQ(stream->stop(), 0);
    EXPECT_EQ(stream->changeSampleRate(44100), 1) << "not running: only stored";
    ASSERT_EQ(stream->start(), 0);
    EXPECT_EQ(stream->changeSampleRate(48000), 0);
    EXPECT_TRUE(stream->isStarted());
    EXPECT_EQ(engine.audioOf(*stream)->config().sampleRate, 48000u);
    EXPECT_TRUE(log.contains("Auto-synced sample rate to 48000"));
    EXPECT_TRUE(log.contains("Sample rate 96000 is not supported by both devices 129 and 130"));
}

TEST_F(StreamTest, EditThatCannotOpenRestoresEverythingAndRestarts) {
    auto stream = addStream(engine.mic, engine.speakers, 48000);
    {
        LogCapture quiet;
        ASSERT_EQ(stream->start(), 0);
    }
    LogCapture log;
    // The headset has a single input channel: asking for two cannot open.
    EXPECT_EQ(stream->editStream(engine.headset, engine.headset, 2, 2, 48000, 512, "Renamed"), -1);
    EXPECT_EQ(stream->getInputDeviceId(), engine.mic);
    EXPECT_EQ(stream->getOutputDeviceId(), engine.speakers);
    EXPECT_EQ(stream->getInputParameters().deviceId, engine.mic);
    EXPECT_EQ(stream->getNChannelsInput(), 2u);
    EXPECT_EQ(stream->getBufferFrames(), 256u);
    EXPECT_EQ(stream->getName(), "Stream129-130");
    EXPECT_TRUE(stream->isStarted());
    auto* audio = engine.audioOf(*stream);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->config().input.deviceId, engine.mic);
    log.take();
    EXPECT_TRUE(log.contains("An error occurred while starting the stream. Restarting with old parameters"));
    EXPECT_FALSE(log.contains("An error occurred while restarting the stream with old parameters"));
}

TEST_F(StreamTest, EditSucceedsAndNamesTheStreamByItsOldName) {
    auto stream = addStream(engine.mic, engine.speakers, 48000);
    LogCapture log;
    EXPECT_EQ(stream->editStream(engine.headset, engine.headset, 1, 2, 48000, 512, "Renamed"), 0);
    EXPECT_EQ(stream->getName(), "Renamed");
    EXPECT_EQ(stream->getInputParameters().nChannels, 1u);
    EXPECT_TRUE(stream->isStarted());
    EXPECT_EQ(engine.audioOf(*stream)->config().periodFrames, 512u);
    EXPECT_TRUE(log.contains("Stream Stream129-130 edited successfully"));
}

// Names travel in every stream list: one past the limit is refused before the stream stops.
TEST_F(StreamTest, EditRefusesANameOfAMegabyteAndPlaysOn) {
    auto stream = addStream(engine.mic, engine.speakers, 48000);
    ASSERT_EQ(stream->start(), 0);
    const std::string name = stream->getName();
    LogCapture log;
    EXPECT_EQ(stream->editStream(0, 0, 0, 0, 0, 0, std::string(1 << 20, 'n')), -1);
    EXPECT_EQ(stream->editStream(0, 0, 0, 0, 0, 0, std::string(Stream::kMaxNameBytes + 1, 'n')), -1);
    EXPECT_EQ(log.count("Stream name refused: "), 2);
    EXPECT_TRUE(stream->isStarted());
    EXPECT_EQ(stream->getName(), name);
}

// Names reach JSON clients and session files, which carry UTF-8 only: other bytes are refused.
TEST_F(StreamTest, EditTakesUtf8NamesOnly) {
    auto stream = addStream(engine.mic, engine.speakers, 48000);
    LogCapture log;
    EXPECT_EQ(stream->editStream(engine.mic, engine.speakers, 2, 2, 48000, 256, "caf\xe9"), -1);
    EXPECT_EQ(stream->getName(), "Stream129-130");
    EXPECT_EQ(stream->editStream(engine.mic, engine.speakers, 2, 2, 48000, 256, "Café \xf0\x9f\x8e\xa7"), 0);
    EXPECT_EQ(stream->getName(), "Café \xf0\x9f\x8e\xa7");
}

TEST_F(StreamTest, SettersKeepTheParameterBlocksInStep) {
    auto stream = addStream(engine.mic, engine.speakers);
    stream->setInputDeviceId(engine.studio);
    stream->setNChannelsOutput(4);
    EXPECT_EQ(stream->getInputParameters().deviceId, engine.studio);
    EXPECT_EQ(stream->getOutputParameters().nChannels, 4u);
    // Whole parameter blocks leave the plain fields alone.
    stream->setOutputParameters({engine.headset, 1, 1});
    EXPECT_EQ(stream->getOutputDeviceId(), engine.speakers);
    EXPECT_EQ(stream->getNChannelsOutput(), 4u);
    EXPECT_EQ(stream->getOutputParameters().firstChannel, 1u);
}

TEST(StreamErrorCallbackTest, EveryKindLogsItsLine) {
    struct Case {
        audio::Fault type;
        std::string line;
    };
    const std::vector<Case> cases = {
        {audio::Fault::Warning, "\x1b[33m[LOG] (in function errorCallback at line"},
        {audio::Fault::Unknown, "[LOG] (2) (in function errorCallback"},
        {audio::Fault::NoDevices, "[ERROR] (3) (in function errorCallback"},
        {audio::Fault::InvalidDevice, "RtAudio invalid device: boom"},
        {audio::Fault::DeviceLost, "RtAudio device disconnect: boom"},
        {audio::Fault::Memory, "RtAudio memory error: boom"},
        {audio::Fault::InvalidParameter, "RtAudio invalid parameter: boom"},
        {audio::Fault::InvalidUse, "RtAudio invalid use: boom"},
        {audio::Fault::Driver, "RtAudio driver error: boom"},
        {audio::Fault::System, "RtAudio system error: boom"},
        {audio::Fault::Thread, "[ERROR] (11) (in function errorCallback"},
    };
    testsupport::TempDir dir;
    Utilities::setLogFilePathForTesting(dir.file("log"));
    for (const auto& c : cases) {
        LogCapture log;
        Stream::errorCallback(c.type, "boom");
        log.take();
        EXPECT_EQ(log.count("RtAudio error: boom"), 1) << faultCode(c.type);
        EXPECT_TRUE(log.contains(c.line)) << faultCode(c.type) << "\n" << log.take();
        EXPECT_EQ(log.count("boom"), 2) << faultCode(c.type);
    }
    LogCapture log;
    Stream::errorCallback(audio::Fault::None, "quiet");
    EXPECT_EQ(log.count("quiet"), 1);
    Utilities::setLogFilePathForTesting(Utilities::kLogFilePath);
}

TEST_F(StreamTest, UnpluggedDeviceReachesTheEngineOffTheLibraryThread) {
    auto stream = addStream(engine.headset, engine.headset, 48000);
    {
        LogCapture quiet;
        ASSERT_EQ(engine.core->startStream(stream->getStreamId()), 0);
    }
    LogCapture log;
    engine.system->unplug(engine.headset);
    engine.core->deviceEvents().drain();
    log.take();
    EXPECT_TRUE(log.contains("RtAudio device disconnect: "));
    EXPECT_TRUE(log.contains("Output device Headset (131) disconnected"));
    auto outputs = engine.core->getOutputDevices();
    EXPECT_EQ(outputs.size(), 2u);
}

TEST_F(StreamTest, AStreamWhoseDeviceRefusesItAsItReturnsStartsAtTheNextChange) {
    auto stream = addStream(engine.headset, engine.headset, 48000);
    // A change of devices, and the engine's pass over them.
    auto change = [this](const std::function<void()>& what) {
        LogCapture quiet;
        what();
        engine.core->deviceEvents().drain();
    };
    change([&] { engine.core->startStream(stream->getStreamId()); });
    ASSERT_TRUE(stream->isStarted());
    change([&] { engine.system->unplug(engine.headset); });
    change([&] {
        engine.system->failNext(audio::VirtualBackEnd::Operation::Open, audio::Fault::InvalidDevice);
        engine.system->plugIn(engine.headset);
    });
    EXPECT_FALSE(stream->isStarted()) << "the device was listed, but refused the stream";
    change([&] {
        engine.system->unplug(engine.studio);
        engine.system->plugIn(engine.studio);
    });
    EXPECT_TRUE(stream->isStarted());
}

} // namespace
