// An engine reused between runs (the fuzz targets run every input on one) must, once reset, behave
// as a freshly built one: state a reset leaves behind would make inputs depend on their
// predecessors and hide or invent faults.

#include "console/CommandLineController.hpp"
#include "sessions/SessionsManager.hpp"

#include "LogCapture.hpp"
#include "ReusableEngine.hpp"
#include "SessionDocuments.hpp"
#include "TempDir.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <vector>

using testsupport::ReusableEngine;

namespace {

// Everything a probe run shows of the engine: its log lines, the session it saves, its device lists.
struct Observed {
    testsupport::Logs logs;
    nlohmann::json session;
    DeviceList inputs, outputs;
};

// Lines whose results depend on what the engine already holds: stream and group ids, master
// effects that exist already, the stream list, equalizer filter ids.
const std::vector<std::string> probe{
    "listStreams",
    "addStream 129 130 2 2 48000 256",
    "addStream 131 131 1 2 48000 256",
    "startStream 0",
    "linkStreams 0 1",
    "addEffectToStreamGroupSync 0 PanEffect",
    "addMasterEffect PanEffect",
    "addEffect 1 EQEffect",
    "addEQFilter 1 PeakFilter",
    "getEQFilterInfo 1",
    "printChannelsRedirects 0",
    "listStreams",
};

void run(Core& core, const std::vector<std::string>& lines) {
    CommandLineController console(&core);
    for (const auto& line : lines) console.parseCommand(line);
}

// A new group's colour is drawn at random, fresh engine or not.
void dropGroupColours(Observed& seen) {
    for (auto& line : seen.logs.out)
        if (line.message.starts_with("Group id:")) line.message.erase(line.message.find(" color:"));
    if (seen.session.size() > 2)
        for (auto& group : seen.session[2]) group.erase("color");
}

Observed observe(ReusableEngine& reused, const testsupport::TempDir& dir) {
    Observed seen;
    seen.logs = testsupport::captureLogs([&] {
        run(reused.engine(), probe);
        auto guard = reused.engine().lock();
        SessionsManager(&reused.engine()).saveSession(dir.file("probe.json"));
    });
    seen.session = testsupport::sessionBody(nlohmann::json::parse(testsupport::readFile(dir.file("probe.json"))));
    seen.inputs = reused.engine().getInputDevices();
    seen.outputs = reused.engine().getOutputDevices();
    dropGroupColours(seen);
    return seen;
}

class ReusedEngineTest : public ::testing::TestWithParam<std::vector<std::string>> {
protected:
    testsupport::TempDir dir;
};

TEST_P(ReusedEngineTest, BehavesAsAFreshOneAfterAReset) {
    Observed fresh;
    {
        testsupport::LogCapture quiet;
        ReusableEngine engine("reusetest");
        quiet.take();
        fresh = observe(engine, dir);
    }
    testsupport::LogCapture quiet;
    ReusableEngine engine("reusetest");
    auto lines = GetParam();
    for (auto& line : lines) {
        const auto at = line.find("DIR/");
        if (at != std::string::npos) line.replace(at, 4, dir.path().string() + "/");
    }
    run(engine.engine(), lines);
    // Twice: a reset must also bring back an engine that was already reset.
    engine.reset();
    run(engine.engine(), lines);
    engine.reset();
    quiet.take();
    const Observed reused = observe(engine, dir);

    EXPECT_EQ(reused.logs.out, fresh.logs.out);
    EXPECT_EQ(reused.logs.err, fresh.logs.err);
    EXPECT_EQ(reused.session, fresh.session);
    EXPECT_EQ(reused.inputs, fresh.inputs);
    EXPECT_EQ(reused.outputs, fresh.outputs);
}

INSTANTIATE_TEST_SUITE_P(
    AfterRunsThatLeave, ReusedEngineTest,
    ::testing::Values(
        // Started streams with effects, filters and redirects.
        std::vector<std::string>{"addStream 129 130 2 2 48000 256", "addStream 132 132 4 4 96000 256", "startStream 0",
                                 "startStream 1", "addEffect 0 EQEffect", "addEQFilter 0 PeakFilter",
                                 "addEQFilter 0 PeakFilter", "addChannelRedirect 0 1 0",
                                 "setEffectParameter 0 VolumeEffect volume 50"},
        // Groups, one of them with its members gone.
        std::vector<std::string>{"addStream", "addStream", "addStream", "linkStreams 0 1", "linkStreams 2 1",
                                 "setStreamsGroupColor 0 10 20 30", "addEffectToStreamGroupSync 0 PanEffect",
                                 "removeStream 0", "removeStream 1"},
        // A master chain changed.
        std::vector<std::string>{"addMasterEffect PanEffect", "addMasterEffect EQEffect",
                                 "setMasterEffectParameter VolumeEffect volume 10",
                                 "setMasterEffectParameter PanEffect pan 0.5"},
        // Device lists refreshed in the other order, and a session saved and loaded.
        std::vector<std::string>{"updateOutputDevicesList", "updateInputDevicesList", "addStream",
                                 "linkStreams 0 0", "saveSession DIR/saved.json", "loadSession DIR/saved.json"}));

} // namespace
