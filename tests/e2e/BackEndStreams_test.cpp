// The audio layer on the private PulseAudio: streams carrying the sine, and lost devices.

#include "BackEndFixture.hpp"

using namespace backendtest;
using namespace std::chrono_literals;

namespace {

// --- Streams --------------------------------------------------------------------------------------

BACK_END_SUITE(BackEndStreams);

TEST_P(BackEndStreams, DuplexStreamDeliversRequestedFloatPeriodsCarryingTheSine) {
    NullSink sink("vantrell_e2e_duplex", "Vantrell_Duplex");
    ASSERT_TRUE(sink.loaded());
    auto log = std::make_shared<ReportLog>();
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    DuplexProbe probe(2);

    auto opened = openDuplex(*backEnd, idOf(*backEnd, sink.description()), probe, log);
    ASSERT_NE(opened.stream, nullptr) << describe(opened.result);
    EXPECT_FALSE(opened.stream->isRunning());
    ASSERT_TRUE(opened.stream->start().ok());
    EXPECT_TRUE(opened.stream->isRunning());

    const bool filled = waitUntil([&] { return probe.kept.load() == probe.input.size(); }, 6s);
    EXPECT_TRUE(opened.stream->stop().ok());
    EXPECT_FALSE(opened.stream->isRunning());
    opened.stream.reset();

    ASSERT_TRUE(filled) << "only " << probe.kept.load() << " input frames in 6 s";
    EXPECT_GE(probe.periods.load(), kRate / kPeriod);
    EXPECT_EQ(probe.wrongSizedPeriods.load(), 0u);
    EXPECT_EQ(probe.periodsWithInput.load(), probe.periods.load());
    EXPECT_EQ(probe.periodsWithOutput.load(), probe.periods.load());

    // Judged block by block: a busy machine's one late period does not make the tone another.
    const auto tone = testsupport::steadyTone(probe.input, 1, 0, kRate);
    EXPECT_NEAR(tone.frequency, kSineHz, 2.0);
    EXPECT_NEAR(tone.rms, kSineRms, 0.05) << "the input is not the sine at its level (float samples?)";
    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

TEST_P(BackEndStreams, WhatTheStreamPlaysReachesTheSink) {
    NullSink sink("vantrell_e2e_playback", "Vantrell_Playback");
    ASSERT_TRUE(sink.loaded());
    auto log = std::make_shared<ReportLog>();
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    DuplexProbe probe(2);
    auto opened = openDuplex(*backEnd, idOf(*backEnd, sink.description()), probe, log);
    ASSERT_NE(opened.stream, nullptr) << describe(opened.result);

    // Nothing plays yet: the sink must be silent, or the tone below would prove nothing.
    const auto before = testsupport::recordMonitor(sink.sinkName(), 2, kRate, 300ms);
    ASSERT_GT(before.size(), 0u) << "parec recorded nothing";
    EXPECT_LT(testsupport::estimateTone(before, 2, 0, kRate).rms, 1e-3);

    ASSERT_TRUE(opened.stream->start().ok());
    // The test server's sources and sinks move audio in large blocks at first; record once the
    // sine is flowing through the stream.
    ASSERT_TRUE(waitUntil([&] { return probe.kept.load() >= kRate / 10; }, 5s)) << "no input reached the stream";
    const auto recorded = testsupport::recordMonitor(sink.sinkName(), 2, kRate, 1000ms);
    opened.stream.reset();

    ASSERT_GE(recorded.size(), static_cast<std::size_t>(kRate * 2 * 9 / 10)) << "parec delivered too little";
    for (unsigned int channel = 0; channel < 2; ++channel) {
        // Where sound arrived: a busy machine may stall a server for a moment.
        const auto tone = testsupport::steadyTone(recorded, 2, channel, kRate);
        EXPECT_NEAR(tone.frequency, kSineHz, 3.0) << "channel " << channel;
        EXPECT_GT(tone.rms, kSineRms * 0.7) << "channel " << channel;
    }
    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

TEST_P(BackEndStreams, ADirectionWithoutChannelsIsNotOpened) {
    auto log = std::make_shared<ReportLog>();
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    DuplexProbe probe(0);
    // The output names no device at all; with no channels it must not be looked up.
    auto opened = backEnd->open(config(99999, 0, backEnd->defaultInput(), 1), &DuplexProbe::callback, &probe,
                                ReportLog::reportsFor(log));
    ASSERT_NE(opened.stream, nullptr) << describe(opened.result);
    ASSERT_TRUE(opened.stream->start().ok());
    EXPECT_TRUE(waitUntil([&] { return probe.periods.load() > 10; }, 5s));
    opened.stream.reset();
    EXPECT_GT(probe.periods.load(), 0u);
    EXPECT_EQ(probe.periodsWithInput.load(), probe.periods.load());
    EXPECT_EQ(probe.periodsWithOutput.load(), 0u) << "an output was opened";
    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

// --- Lost devices ---------------------------------------------------------------------------------

BACK_END_SUITE(BackEndDisconnect);

// Reports of one back end run in order: once a later stream's loss is in, an extra report of an
// earlier one would be in too.
TEST_P(BackEndDisconnect, AnUnloadedSinkIsReportedOnceToTheStreamUsingItAndToNoOther) {
    NullSink doomed("vantrell_e2e_doomed", "Vantrell_Doomed");
    ASSERT_TRUE(doomed.loaded());
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    const DeviceId doomedId = idOf(*backEnd, doomed.description());

    auto usingLog = std::make_shared<ReportLog>(), bystanderLog = std::make_shared<ReportLog>(),
         closedLog = std::make_shared<ReportLog>();
    DuplexProbe usingProbe(2), bystanderProbe(2), closedProbe(2);
    auto usingIt = openDuplex(*backEnd, doomedId, usingProbe, usingLog);
    auto bystander = openDuplex(*backEnd, idOf(*backEnd, "Vantrell_Main"), bystanderProbe, bystanderLog);
    auto closed = openDuplex(*backEnd, doomedId, closedProbe, closedLog);
    ASSERT_TRUE(usingIt.stream && bystander.stream && closed.stream)
        << describe(usingIt.result) << describe(bystander.result) << describe(closed.result);
    for (auto* stream : {&usingIt, &bystander, &closed}) ASSERT_TRUE(stream->stream->start().ok());
    ASSERT_TRUE(waitUntil([&] { return usingProbe.periods.load() > 10 && bystanderProbe.periods.load() > 10 &&
                                       closedProbe.periods.load() > 10; },
                          5s));
    // Closed before its device goes: it hears nothing of it.
    closed.stream.reset();

    doomed.unload();
    const bool reported = waitUntil([&] { return !usingLog->of(Fault::DeviceLost).empty(); }, 4s);
    EXPECT_TRUE(reported) << "no disconnect within 4 s; reports:\n" << usingLog->describe();

    // A later loss, waited for, so that any second report of the first one would be in.
    {
        NullSink marker("vantrell_e2e_marker", "Vantrell_Marker");
        ASSERT_TRUE(marker.loaded());
        auto markerLog = std::make_shared<ReportLog>();
        DuplexProbe markerProbe(2);
        auto markerStream = openDuplex(*backEnd, idOf(*backEnd, marker.description()), markerProbe, markerLog);
        ASSERT_NE(markerStream.stream, nullptr) << describe(markerStream.result);
        ASSERT_TRUE(markerStream.stream->start().ok());
        ASSERT_TRUE(waitUntil([&] { return markerProbe.periods.load() > 10; }, 5s));
        marker.unload();
        EXPECT_TRUE(waitUntil([&] { return !markerLog->of(Fault::DeviceLost).empty(); }, 4s)) << markerLog->describe();
    }

    const auto disconnects = usingLog->of(Fault::DeviceLost);
    ASSERT_EQ(disconnects.size(), 1u) << usingLog->describe();
    EXPECT_NE(disconnects[0].reason.find("Vantrell_Doomed"), std::string::npos) << disconnects[0].reason;
    EXPECT_NE(disconnects[0].thread, usingProbe.audioThread.load()) << "reported from inside the period";
    EXPECT_NE(disconnects[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(bystanderLog->of(Fault::DeviceLost).empty()) << bystanderLog->describe();
    EXPECT_TRUE(bystander.stream->isRunning());
    EXPECT_TRUE(closedLog->entries().empty()) << "a closed stream was reported to:\n" << closedLog->describe();
}

TEST_P(BackEndDisconnect, EachOpenedStreamIsReportedOnItsOwn) {
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    auto log = std::make_shared<ReportLog>();

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        NullSink doomed("vantrell_e2e_doomed_" + std::to_string(round), "Vantrell_Doomed_" + std::to_string(round));
        ASSERT_TRUE(doomed.loaded());
        DuplexProbe probe(2);
        auto opened = openDuplex(*backEnd, idOf(*backEnd, doomed.description()), probe, log);
        ASSERT_NE(opened.stream, nullptr) << describe(opened.result);
        ASSERT_TRUE(opened.stream->start().ok());
        doomed.unload();
        EXPECT_TRUE(waitUntil([&] { return log->of(Fault::DeviceLost).size() == round + 1u; }, 4s)) << log->describe();
    }
    const auto disconnects = log->of(Fault::DeviceLost);
    ASSERT_EQ(disconnects.size(), 2u) << log->describe();
    EXPECT_NE(disconnects[0].reason.find("Vantrell_Doomed_0"), std::string::npos);
    EXPECT_NE(disconnects[1].reason.find("Vantrell_Doomed_1"), std::string::npos);
}

} // namespace
