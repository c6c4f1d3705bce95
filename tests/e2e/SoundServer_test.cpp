// The engine's own sound-server back end, end to end: many streams on one connection, streams
// that stay on their devices, their names in the server, underflows, and which back end serves.

#include "ServerEngineFixture.hpp"

#include <cstdlib>
#include <csignal>

namespace {

using namespace serverengine;
using SoundServerTest = ServerEngineTest;

int countLines(const std::string& command) {
    const auto result = testsupport::runCommand(command + " | wc -l");
    return std::atoi(result.output.c_str());
}

// The engine's streams as the server lists them.
int enginePlaybacks() { return countLines("pactl list sink-inputs | grep 'application.name = \"vantrell\"'"); }

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(50ms))
        if (done()) return true;
    return done();
}

TEST_F(SoundServerTest, FortyStreamsAndASessionOfFortyRunOnOneConnectionWithTheConsoleAnswering) {
    constexpr int kStreams = 40;
    std::chrono::milliseconds slowest{0};
    for (int id = 0; id < kStreams; ++id) {
        command("addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 48000 1024");
        slowest = std::max(slowest, command("startStream " + std::to_string(id)));
    }
    EXPECT_LT(slowest, 1000ms) << "a start waited on the server";
    ASSERT_TRUE(waitUntil([] { return enginePlaybacks() == kStreams; }, 10s)) << enginePlaybacks();
    EXPECT_EQ(countLines("pactl list short clients | grep -w vantrell"), 1) << "one connection for everything";
    // A mixer tells the routes apart.
    EXPECT_EQ(countLines("pactl list sink-inputs | grep -F 'media.name = \"Stream" + std::to_string(sine) + "-" +
                         std::to_string(main) + ": Sine source at 440 Hz \u2192 Vantrell_Main\"'"),
              kStreams);

    const std::string session = dir.file("forty.json");
    command("saveSession " + session);
    const int starts = engine->count("started successfully");
    EXPECT_LT(command("loadSession " + session), 1000ms);
    EXPECT_TRUE(engine->waitFor("started successfully", 5s, starts + kStreams)) << "the session's streams start";
    EXPECT_LT(command("listStreams"), 1000ms);
    EXPECT_TRUE(waitUntil([] { return enginePlaybacks() == kStreams; }, 10s)) << enginePlaybacks();
    EXPECT_EQ(countLines("pactl list short clients | grep -w vantrell"), 1);
    EXPECT_EQ(engine->err().find("RtAudio error"), std::string::npos) << engine->err();
}

TEST_F(SoundServerTest, ASinkUnloadedUnderItsStreamIsLostNotMovedAndItsStreamPlaysThereWhenItReturns) {
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
            command("addStream " + std::to_string(sine) + " " + std::to_string(comeback) + " 1 2 48000 1024");
            command("startStream 0");
        } else {
            EXPECT_TRUE(engine->waitFor("Stream 0 restarted: its devices are back", 10s)) << engine->out();
        }
        EXPECT_NEAR(toneAt("vantrell_e2e_comeback", 48000).frequency, 440.0, 10.0) << "round " << round;

        sink.unload();
        EXPECT_TRUE(engine->waitFor("Output device Vantrell_Comeback (" + std::to_string(comeback) + ") disconnected",
                                    10s, round))
            << engine->out();
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
