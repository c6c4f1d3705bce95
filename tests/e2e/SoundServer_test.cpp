// The engine's own sound-server back end, end to end: many streams on one connection sharing one
// server stream per device, streams that stay on their devices, their names in the server,
// underflows, and which back end serves.

#include "ExportRing.hpp"
#include "ServerEngineFixture.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <csignal>
#include <numeric>

namespace {

using namespace serverengine;
using SoundServerTest = ServerEngineTest;

int countLines(const std::string& command) {
    const auto result = testsupport::runCommand(command + " | wc -l");
    return std::atoi(result.output.c_str());
}

// The media.name of each of the engine's entries of a kind ("sink-inputs", "source-outputs") in the
// server's mixer.
std::vector<std::string> engineEntries(const std::string& kind) {
    const std::string listing = testsupport::runCommand("pactl list " + kind).output;
    std::vector<std::string> names;
    // pactl ends each entry with a blank line.
    for (std::size_t from = 0, next = 0; from < listing.size(); from = next) {
        next = std::min(listing.find("\n\n", from), listing.size()) + 2;
        const std::string entry = listing.substr(from, next - from);
        const std::string key = "media.name = \"";
        const auto name = entry.find(key);
        if (entry.find("application.name = \"vantrell\"") == std::string::npos || name == std::string::npos) continue;
        names.push_back(entry.substr(name + key.size(), entry.find('"', name + key.size()) - name - key.size()));
    }
    return names;
}

int enginePlaybacks() { return static_cast<int>(engineEntries("sink-inputs").size()); }

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(50ms))
        if (done()) return true;
    return done();
}

// Streams from the sine source to Vantrell_Main at the same format share one record and one playback
// stream in the server: a sink mixes at most 32 inputs, and a stream beyond them would stall.
testing::AssertionResult oneEntryEachWay() {
    const std::vector<std::string> playback{"vantrell \u2192 Vantrell_Main"};
    const std::vector<std::string> record{"Sine source at 440 Hz \u2192 vantrell"};
    std::vector<std::string> playbacks, records;
    if (waitUntil(
            [&] {
                playbacks = engineEntries("sink-inputs");
                records = engineEntries("source-outputs");
                return playbacks == playback && records == record;
            },
            10s))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << playbacks.size() << " sink-inputs (first \""
                                       << (playbacks.empty() ? "" : playbacks[0]) << "\"), " << records.size()
                                       << " source-outputs (first \"" << (records.empty() ? "" : records[0])
                                       << "\") of the engine";
}

constexpr unsigned int kFrames = 1024;

std::string sineTo(unsigned int sine, unsigned int output) {
    return "addStream " + std::to_string(sine) + " " + std::to_string(output) + " 1 2 48000 " +
           std::to_string(kFrames);
}

// Every stream's export ring takes at least 80 % of the periods real time gives over 2 s. Measured
// again until it does, up to a deadline, so that a start-up does not count.
testing::AssertionResult keepPace(const std::vector<unsigned int>& ids) {
    std::vector<double> shares;
    for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
        shares = testsupport::ringPace(ids, 48000, kFrames, 2s);
        if (std::all_of(shares.begin(), shares.end(), [](double share) { return share >= 0.8; }))
            return testing::AssertionSuccess();
    }
    auto failure = testing::AssertionFailure() << "under 80 % of real time's periods:";
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (shares[i] < 0.8) failure << " stream " << ids[i] << " " << static_cast<int>(100 * shares[i]) << " %;";
    return failure;
}

TEST_F(SoundServerTest, FortyStreamsAndASessionOfFortyRunOnOneConnectionWithTheConsoleAnswering) {
    std::vector<unsigned int> ids(40);
    std::iota(ids.begin(), ids.end(), 0u);
    std::chrono::milliseconds slowest{0};
    for (unsigned int id : ids) {
        command(sineTo(sine, main));
        slowest = std::max(slowest, command("startStream " + std::to_string(id)));
    }
    EXPECT_LT(slowest, 1000ms) << "a start waited on the server";
    const auto allRun = [&] {
        EXPECT_TRUE(oneEntryEachWay());
        EXPECT_TRUE(keepPace(ids));
        EXPECT_EQ(countLines("pactl list short clients | grep -w vantrell"), 1) << "one connection for everything";
    };
    allRun();

    const std::string session = dir.file("forty.json");
    command("saveSession " + session);
    const int starts = engine->count("started successfully");
    EXPECT_LT(command("loadSession " + session), 1000ms);
    EXPECT_TRUE(engine->waitFor("started successfully", 5s, starts + static_cast<int>(ids.size())))
        << "the session's streams start";
    EXPECT_LT(command("listStreams"), 1000ms);
    allRun();
    EXPECT_EQ(engine->err().find("RtAudio error"), std::string::npos) << engine->err();
}

TEST_F(SoundServerTest, AStreamStoppedAmongOthersOnItsDevicesLeavesThemPlayingAndStartsAgain) {
    for (const std::string id : {"0", "1", "2"}) {
        command(sineTo(sine, main));
        command("startStream " + id);
    }
    ASSERT_TRUE(keepPace({0, 1, 2}));
    // Each is heard at its own level in the mix: the muted one not at all.
    command("setEffectParameter 0 VolumeEffect volume 0");
    command("setEffectParameter 2 VolumeEffect volume 30");
    command("stopStream 1");
    EXPECT_TRUE(keepPace({0, 2}));
    EXPECT_EQ(testsupport::ringPace({1}, 48000, kFrames, 500ms)[0], 0.0) << "a stopped stream writes nothing";
    const auto tone = toneAt("vantrell_main", 48000);
    EXPECT_NEAR(tone.frequency, 440.0, 10.0);
    EXPECT_NEAR(tone.rms, 0.3 * 0.5 / std::sqrt(2.0), 0.02) << "only the third stream, at 30 %";
    EXPECT_TRUE(oneEntryEachWay());
    command("startStream 1");
    EXPECT_TRUE(keepPace({0, 1, 2}));
}

TEST_F(SoundServerTest, ASinkUnloadedUnderItsStreamsIsLostNotMovedAndTheyPlayThereWhenItReturns) {
    unsigned int comeback = 0;
    for (int round = 1; round <= 2; ++round) {
        testsupport::NullSink sink("vantrell_e2e_comeback", "Vantrell_Comeback");
        ASSERT_TRUE(sink.loaded());
        if (round == 1) {
            // Listed once the server's announcement of it has arrived.
            ASSERT_TRUE(waitUntil(
                [&] {
                    command("updateOutputDevicesList");
                    return (comeback = engine->deviceId("output", "Vantrell_Comeback")) != 0;
                },
                5s));
        }
        // Two streams on the sink: lost together, back together.
        for (const std::string id : {"0", "1"}) {
            if (round == 1) {
                command(sineTo(sine, comeback));
                command("startStream " + id);
            } else {
                EXPECT_TRUE(engine->waitFor("Stream " + id + " restarted: its devices are back", 10s)) << engine->out();
            }
        }
        EXPECT_NEAR(toneAt("vantrell_e2e_comeback", 48000).frequency, 440.0, 10.0) << "round " << round;

        sink.unload();
        EXPECT_TRUE(engine->waitFor("Output device Vantrell_Comeback (" + std::to_string(comeback) + ") disconnected",
                                    10s, round))
            << engine->out();
        EXPECT_TRUE(engine->waitFor("Device disconnected: 'Vantrell_Comeback' is gone.", 10s, 2 * round))
            << "each stream is told\n" << engine->out();
        // Not moved to the default sink: nothing of the engine plays anywhere now.
        EXPECT_EQ(enginePlaybacks(), 0);
        EXPECT_LT(toneAt("vantrell_main", 48000).rms, 0.01);
    }
}

TEST_F(SoundServerTest, AnUnderflowIsReportedOnceWithItsLine) {
    // Periods of 1024 frames: at 256, PipeWire's server underflows a few times as a stream sets up,
    // which spends the stream's burst of snapshots before the stall below.
    command("addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 48000 1024");
    command("startStream 0");
    ASSERT_NEAR(toneAt("vantrell_main", 48000).frequency, 440.0, 10.0) << engine->out();
    // An underflow that comes with an overflow (the input ran over in the same stall) has its own line.
    const auto underflows = [&] { return engine->count("Output underflow") + engine->count("and output underflow"); };
    const int before = underflows();
    // Every period is late: the engine's threads stop for longer than the output holds.
    ::kill(engine->pid(), SIGSTOP);
    std::this_thread::sleep_for(300ms);
    ::kill(engine->pid(), SIGCONT);
    EXPECT_TRUE(waitUntil([&] { return underflows() > before; }, 5s)) << before << " before\n" << engine->out();
    EXPECT_LT(command("listStreams"), 1000ms);
    EXPECT_EQ(underflows(), before + 1) << engine->out();
}

TEST(SoundServerChoice, AServerThatAnswersGetsTheOwnBackEndAndVantrellAudioForcesTheLibrary) {
    ASSERT_FALSE(testsupport::pulseServer().empty()) << testsupport::missingPulseServerMessage();
    testsupport::TempDir dir;
    for (const char* forced : {"", "rtaudio"}) {
        if (*forced)
            ::setenv("VANTRELL_AUDIO", forced, 1);
        else
            ::unsetenv("VANTRELL_AUDIO");
        EngineProcess engine(VANTRELL_BINARY, dir.path().string());
        ::unsetenv("VANTRELL_AUDIO");
        const std::string expected = *forced ? "Audio back end: the RtAudio library (VANTRELL_AUDIO=rtaudio)"
                                             : "Audio back end: the sound server's own back end (a PulseAudio "
                                               "server answers)";
        EXPECT_TRUE(engine.waitFor(expected, 20s)) << engine.out();
        ASSERT_TRUE(engine.waitFor("> ", 10s));
        const unsigned int sine = engine.deviceId("input", "Sine source at 440 Hz");
        const unsigned int main = engine.deviceId("output", "Vantrell_Main");
        engine.command("addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 48000 1024", 10s);
        engine.command("startStream 0", 10s);
        // The library's streams are anonymous in the server; ours carry the engine's name.
        EXPECT_EQ(waitUntil([] { return enginePlaybacks() == 1; }, 3s), !*forced) << forced;
        engine.send("exit");
        engine.waitExit(5s);
    }
}

} // namespace
