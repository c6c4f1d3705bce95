// The audio layer on the private PulseAudio: streams carrying the sine, and lost devices.

#include "SystemRtAudioFixture.hpp"

using namespace systemaudiotest;
using namespace std::chrono_literals;

namespace {

// --- Streams --------------------------------------------------------------------------------------

SYSTEM_AUDIO_SUITE(SystemRtAudioStreams);

TEST_P(SystemRtAudioStreams, DuplexStreamDeliversRequestedFloatPeriodsCarryingTheSine) {
    NullSink sink("vantrell_e2e_duplex", "Vantrell_Duplex");
    ASSERT_TRUE(sink.loaded());
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);
    DuplexProbe probe(2);

    ASSERT_EQ(openDuplex(*audio, idOf(*audio, sink.description()), probe), audio::RTAUDIO_NO_ERROR) << log->describe();
    EXPECT_TRUE(audio->isStreamOpen());
    EXPECT_FALSE(audio->isStreamRunning());
    ASSERT_EQ(audio->startStream(), audio::RTAUDIO_NO_ERROR) << log->describe();
    EXPECT_TRUE(audio->isStreamRunning());

    const bool filled = waitUntil([&] { return probe.kept.load() == probe.input.size(); }, 6s);
    EXPECT_EQ(audio->stopStream(), audio::RTAUDIO_NO_ERROR);
    EXPECT_FALSE(audio->isStreamRunning());
    audio->closeStream();
    EXPECT_FALSE(audio->isStreamOpen());

    ASSERT_TRUE(filled) << "only " << probe.kept.load() << " input frames in 6 s";
    EXPECT_GE(probe.periods.load(), kRate / kPeriod);
    EXPECT_EQ(probe.wrongSizedPeriods.load(), 0u);
    EXPECT_EQ(probe.periodsWithInput.load(), probe.periods.load());
    EXPECT_EQ(probe.periodsWithOutput.load(), probe.periods.load());

    // The first 100 ms are start-up; judge the rest.
    const auto tone = testsupport::estimateTone(probe.input, 1, 0, kRate, kRate / 10);
    EXPECT_NEAR(tone.frequency, kSineHz, 2.0);
    EXPECT_NEAR(tone.rms, kSineRms, 0.05) << "the input is not the sine at its level (float samples?)";
    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

TEST_P(SystemRtAudioStreams, WhatTheStreamPlaysReachesTheSink) {
    NullSink sink("vantrell_e2e_playback", "Vantrell_Playback");
    ASSERT_TRUE(sink.loaded());
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);
    DuplexProbe probe(2);
    ASSERT_EQ(openDuplex(*audio, idOf(*audio, sink.description()), probe), audio::RTAUDIO_NO_ERROR) << log->describe();

    // Nothing plays yet: the sink must be silent, or the tone below would prove nothing.
    const auto before = testsupport::recordMonitor(sink.sinkName(), 2, kRate, 300ms);
    ASSERT_GT(before.size(), 0u) << "parec recorded nothing";
    EXPECT_LT(testsupport::estimateTone(before, 2, 0, kRate).rms, 1e-3);

    ASSERT_EQ(audio->startStream(), audio::RTAUDIO_NO_ERROR) << log->describe();
    // The test server's sources and sinks move audio in large blocks at first; record once the
    // sine is flowing through the stream.
    ASSERT_TRUE(waitUntil([&] { return probe.kept.load() >= kRate / 10; }, 5s)) << "no input reached the stream";
    const auto recorded = testsupport::recordMonitor(sink.sinkName(), 2, kRate, 1000ms);
    audio->stopStream();
    audio->closeStream();

    ASSERT_GE(recorded.size(), static_cast<std::size_t>(kRate * 2 * 9 / 10)) << "parec delivered too little";
    for (unsigned int channel = 0; channel < 2; ++channel) {
        // Where sound arrived: a busy machine may stall a server for a moment.
        const auto tone = testsupport::steadyTone(recorded, 2, channel, kRate);
        EXPECT_NEAR(tone.frequency, kSineHz, 3.0) << "channel " << channel;
        EXPECT_GT(tone.rms, kSineRms * 0.7) << "channel " << channel;
    }
    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

TEST_P(SystemRtAudioStreams, ADirectionWithoutChannelsIsNotOpened) {
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);
    DuplexProbe probe(0);
    // The output names no device at all; with no channels it must not be looked up.
    RtAudio::StreamParameters output{99999, 0, 0};
    RtAudio::StreamParameters input{audio->getDefaultInputDevice(), 1, 0};
    unsigned int frames = kPeriod;
    ASSERT_EQ(audio->openStream(&output, &input, audio::RTAUDIO_FLOAT32, kRate, &frames, &DuplexProbe::callback,
                                &probe),
              audio::RTAUDIO_NO_ERROR)
        << log->describe();
    ASSERT_EQ(audio->startStream(), audio::RTAUDIO_NO_ERROR);
    EXPECT_TRUE(waitUntil([&] { return probe.periods.load() > 10; }, 5s));
    audio->closeStream();
    EXPECT_FALSE(audio->isStreamOpen());
    EXPECT_GT(probe.periods.load(), 0u);
    EXPECT_EQ(probe.periodsWithInput.load(), probe.periods.load());
    EXPECT_EQ(probe.periodsWithOutput.load(), 0u) << "an output was opened";
    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

// --- Lost devices ---------------------------------------------------------------------------------

SYSTEM_AUDIO_SUITE(SystemRtAudioDisconnect);

TEST_P(SystemRtAudioDisconnect, AnUnloadedSinkIsReportedOnceToTheInstanceUsingIt) {
    NullSink doomed("vantrell_e2e_doomed", "Vantrell_Doomed");
    ASSERT_TRUE(doomed.loaded());

    auto usingLog = std::make_shared<ErrorLog>();
    auto bystanderLog = std::make_shared<ErrorLog>();
    auto usingIt = makeInstance(usingLog);
    auto bystander = makeInstance(bystanderLog);
    ASSERT_TRUE(usingIt && bystander);
    DuplexProbe usingProbe(2), bystanderProbe(2);
    ASSERT_EQ(openDuplex(*usingIt, idOf(*usingIt, doomed.description()), usingProbe), audio::RTAUDIO_NO_ERROR)
        << usingLog->describe();
    ASSERT_EQ(openDuplex(*bystander, idOf(*bystander, "Vantrell_Main"), bystanderProbe), audio::RTAUDIO_NO_ERROR)
        << bystanderLog->describe();
    ASSERT_EQ(usingIt->startStream(), audio::RTAUDIO_NO_ERROR);
    ASSERT_EQ(bystander->startStream(), audio::RTAUDIO_NO_ERROR);
    ASSERT_TRUE(waitUntil([&] { return usingProbe.periods.load() > 10 && bystanderProbe.periods.load() > 10; }, 5s));

    doomed.unload();
    const bool reported = waitUntil([&] { return !usingLog->ofType(audio::RTAUDIO_DEVICE_DISCONNECT).empty(); }, 4s);
    // Long enough for two more polls: a second report would show up here.
    std::this_thread::sleep_for(2500ms);

    EXPECT_TRUE(reported) << "no disconnect within 4 s; reports:\n" << usingLog->describe();
    const auto disconnects = usingLog->ofType(audio::RTAUDIO_DEVICE_DISCONNECT);
    ASSERT_EQ(disconnects.size(), 1u) << usingLog->describe();
    EXPECT_NE(disconnects[0].text.find("Vantrell_Doomed"), std::string::npos) << disconnects[0].text;
    EXPECT_NE(disconnects[0].thread, usingProbe.audioThread.load()) << "reported from inside the audio callback";
    EXPECT_NE(disconnects[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(bystanderLog->ofType(audio::RTAUDIO_DEVICE_DISCONNECT).empty()) << bystanderLog->describe();

    auto finish = [&] {
        usingIt->stopStream();
        usingIt->closeStream();
        bystander->stopStream();
        bystander->closeStream();
    };
    EXPECT_NO_THROW(finish());
}

TEST_P(SystemRtAudioDisconnect, EachOpenedStreamIsReportedOnItsOwn) {
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        NullSink doomed("vantrell_e2e_doomed_" + std::to_string(round), "Vantrell_Doomed_" + std::to_string(round));
        ASSERT_TRUE(doomed.loaded());
        DuplexProbe probe(2);
        ASSERT_EQ(openDuplex(*audio, idOf(*audio, doomed.description()), probe), audio::RTAUDIO_NO_ERROR);
        ASSERT_EQ(audio->startStream(), audio::RTAUDIO_NO_ERROR);
        doomed.unload();
        EXPECT_TRUE(waitUntil([&] { return log->ofType(audio::RTAUDIO_DEVICE_DISCONNECT).size() == round + 1u; }, 4s))
            << log->describe();
        audio->stopStream();
        audio->closeStream();
    }
    const auto disconnects = log->ofType(audio::RTAUDIO_DEVICE_DISCONNECT);
    ASSERT_EQ(disconnects.size(), 2u) << log->describe();
    EXPECT_NE(disconnects[0].text.find("Vantrell_Doomed_0"), std::string::npos);
    EXPECT_NE(disconnects[1].text.find("Vantrell_Doomed_1"), std::string::npos);
}

} // namespace
