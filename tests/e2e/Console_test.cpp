// The real binary on the private PulseAudio of the test script, driven through its standard input.
// The server has the default sink vantrell_main ("Vantrell_Main", 48000 Hz, stereo) and the default
// source vantrell_sine (a 440 Hz mono sine).

#include "EngineProcess.hpp"
#include "PulseTools.hpp"
#include "TempDir.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <future>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using testsupport::EngineProcess;

namespace {

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(testsupport::pulseServer().empty()) << testsupport::missingPulseServerMessage();
        engine = std::make_unique<EngineProcess>(VANTRELL_BINARY, dir.path().string());
        // The console is ready once it has refreshed the lists and written its first prompt.
        ASSERT_TRUE(engine->waitForStdout("CommandLineController constructor", 20s)) << engine->err();
        ASSERT_TRUE(engine->waitFor("> ", 10s));
    }

    void TearDown() override {
        if (engine && engine->alive()) {
            engine->send("exit");
            engine->waitExit(5s);
        }
    }

    unsigned int deviceId(const std::string& direction, const std::string& name) {
        const unsigned int id = engine->deviceId(direction, name);
        EXPECT_NE(id, 0u) << "no " << direction << " device " << name;
        return id;
    }

    // A device the server has just made is listed once its announcement has reached the engine.
    unsigned int listedDeviceId(const std::string& direction, const std::string& name) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        unsigned int id = 0;
        // Each refresh waits for its prompt, which paces the loop.
        while ((id = engine->deviceId(direction, name)) == 0 && std::chrono::steady_clock::now() < deadline)
            command(direction == "input" ? "updateInputDevicesList" : "updateOutputDevicesList");
        EXPECT_NE(id, 0u) << "no " << direction << " device " << name;
        return id;
    }

    // Sends a command and waits for the prompt that follows it.
    void command(const std::string& line) { ASSERT_TRUE(engine->command(line, 15s)) << "no prompt after " << line; }

    testsupport::TempDir dir;
    std::unique_ptr<EngineProcess> engine;
};

TEST_F(ConsoleTest, StartUpLinesInOrderHelpAndExit) {
    testsupport::FileTail runtimeLog("/tmp/vantrell_runtime.log");
    command("help");
    command("nonsense");
    engine->send("exit");
    ASSERT_EQ(engine->waitExit(15s), 0) << engine->err();

    const std::string out = engine->out();
    const std::vector<std::string> inOrder = {
        "✅ Micro déjà autorisé\n",    "[LOG] Core constructor",
        "Master effect VolumeEffect added", "Stream 0 removed",
        "Added output device: ",            "CommandLineController constructor",
        "Added input device: ",             "Added output device: Vantrell_Main",
        "Available commands:\n"
        "addChannelRedirect\naddEQFilter\naddEffect\naddEffectToStreamGroupSync\naddMasterEffect\naddStream\n"
        "addStreamToStreamGroupSync\nexit\ngetEQFilterInfo\ngetStreamInfo\nhelp\nlinkStreams\nlistStreams\n"
        "loadSession\nprintChannelsRedirects\nremoveChannelRedirect\nremoveEQFilter\nremoveEffect\n"
        "removeEffectFromStreamGroupSync\nremoveStream\ns\nsaveSession\nsetEQFilterParameter\nsetEffectEnable\n"
        "setEffectParameter\nsetMasterEffectParameter\nsetStreamGroupVolumeLevelSync\n"
        "setStreamGroupVolumeRatioSync\nsetStreamsGroupColor\nstartStream\nstopStream\nunlinkStreams\n"
        "updateInputDevicesList\nupdateOutputDevicesList\n",
        "Socket destructor",
        "Core destructor",
    };
    std::size_t at = 0;
    for (const auto& expected : inOrder) {
        const auto found = out.find(expected, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << expected << "\n" << out;
        at = found + expected.size();
    }
    EXPECT_EQ(out.rfind("✅ Micro déjà autorisé", 0), 0u) << "the permission line comes first";
    EXPECT_TRUE(engine->waitFor("Socket not initialized", 5s));
    // The file gets every line behind "[LOG] ", each entry followed by an empty line.
    const std::string logged = runtimeLog.read();
    EXPECT_NE(logged.find("[LOG] \x1b[33m[LOG] Core destructor\x1b[0m\n\n"), std::string::npos);
    EXPECT_NE(logged.find("[LOG] (in function parseCommand at line"), std::string::npos) << "no Command not found";
}

TEST_F(ConsoleTest, StreamLifecycleAndListings) {
    const unsigned int sine = deviceId("input", "Sine source at 440 Hz");
    const unsigned int main = deviceId("output", "Vantrell_Main");
    const std::string name = "Stream" + std::to_string(sine) + "-" + std::to_string(main);

    command("listStreams");
    command("getStreamInfo 0");
    EXPECT_TRUE(engine->waitFor("No stream found", 5s, 2));

    command("addStream");
    EXPECT_NE(engine->out().find("Stream " + name + " added"), std::string::npos);
    command("startStream");
    EXPECT_NE(engine->out().find("Stream " + name + " started successfully"), std::string::npos) << engine->err();
    command("listStreams");
    EXPECT_NE(engine->out().find("Stream id: 0 : Sine source at 440 Hz -> Vantrell_Main\n"), std::string::npos);
    command("getStreamInfo");
    EXPECT_TRUE(engine->waitFor("No stream id provided", 5s));
    command("getStreamInfo 0");
    const std::string info = "Stream id: 0\nStream: Sine source at 440 Hz -> Vantrell_Main\nInput device id: " +
                             std::to_string(sine) + "\nOutput device id: " + std::to_string(main) +
                             "\nSample rate: ";
    EXPECT_NE(engine->out().find(info), std::string::npos) << engine->out();
    EXPECT_NE(engine->out().find("Buffer frames: 1024\nInput channels: 1\nOutput channels: 2\n"), std::string::npos);

    command("stopStream");
    EXPECT_NE(engine->out().find("Stream " + name + " stopped successfully"), std::string::npos);
    command("addStream");
    command("addStream");
    const int started = engine->count("started successfully");
    command("startStream 2x");
    EXPECT_EQ(engine->count("started successfully"), started + 1) << "2x starts stream 2";
    command("startStream x2");
    EXPECT_TRUE(engine->waitFor("(in function startStream at line", 5s));
    EXPECT_TRUE(engine->waitFor("Invalid stream id", 5s));
    command("stopStream 2");
    command("removeStream 1");
    EXPECT_NE(engine->out().find("Stream 1 removed"), std::string::npos);
    command("removeStream");
    command("removeStream 2");
    command("listStreams");
    EXPECT_TRUE(engine->waitFor("No stream found", 5s, 3));
    command("removeStream 7");
    EXPECT_TRUE(engine->waitFor("(in function removeStream at line", 5s));
    EXPECT_TRUE(engine->alive());
}

TEST_F(ConsoleTest, LinesThatNameNoCommandAndBadNumbersAreRefusedWhileTheEngineLivesOn) {
    command("");
    command(" help");
    command("exit\r");
    EXPECT_TRUE(engine->waitFor("Command not found", 5s, 3));
    EXPECT_EQ(engine->count("(in function parseCommand at line"), 3);
    // A known command that fails says what failed and why, and is not called unknown.
    command("startStream 3");
    EXPECT_TRUE(engine->waitFor("(in function run at line", 5s));
    EXPECT_NE(engine->err().find("Failed to start stream 3: Stream not found"), std::string::npos) << engine->err();

    command("addChannelRedirect 0 1");
    EXPECT_TRUE(engine->waitFor("Invalid number of arguments", 5s));
    command("startStream 99999999999");
    command("getStreamInfo 0");
    command("addStream 99999999999 0");
    EXPECT_TRUE(engine->waitFor("Invalid input device id", 5s));
    command("addStream 0 0 two");
    EXPECT_TRUE(engine->waitFor("Invalid number of input channels", 5s));
    command("addStream abc");
    EXPECT_TRUE(engine->waitFor("Invalid input device id", 5s, 2));
    EXPECT_TRUE(engine->waitFor("Invalid number of input channels", 5s));
    command("addChannelRedirect 0 x 1");
    EXPECT_TRUE(engine->waitFor("Invalid input channel ID", 5s));
    command("removeChannelRedirect 0 -");
    EXPECT_TRUE(engine->waitFor("Invalid Channel Redirect Index", 5s));
    command("startStream 99999999999");
    EXPECT_TRUE(engine->waitFor("Invalid stream id", 5s, 2));
    EXPECT_TRUE(engine->alive());
    command("listStreams");
    EXPECT_TRUE(engine->waitFor("No stream found", 5s)) << "a refused line added a stream";
    EXPECT_EQ(engine->count("Command not found"), 3) << "only the three unknown names";
}

TEST_F(ConsoleTest, EndOfInputIdlesAndTheProcessLivesOn) {
    engine->closeInput();
    ASSERT_TRUE(engine->waitFor("No stdin available, switching to idle mode", 5s));
    std::this_thread::sleep_for(1200ms);
    EXPECT_TRUE(engine->alive());
    EXPECT_EQ(engine->count("No stdin available, switching to idle mode"), 1);
    engine.reset();  // nothing can tell it to exit any more: it is killed
}

TEST_F(ConsoleTest, AudioFollowsTheRouting) {
    const unsigned int sine = deviceId("input", "Sine source at 440 Hz");
    const unsigned int main = deviceId("output", "Vantrell_Main");
    command("addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 48000 1024");
    command("startStream 0");
    ASSERT_NE(engine->out().find("started successfully"), std::string::npos) << engine->err();
    command("printChannelsRedirects 0");
    EXPECT_NE(engine->out().find("0 - 0\n1 - 1\n"), std::string::npos);

    // Mono input: only (0, 0) carries sound, so the tone is on the left.
    auto recorded = testsupport::recordMonitor("vantrell_main", 2, 48000, 2000ms);
    auto left = testsupport::steadyTone(recorded, 2, 0, 48000);
    auto right = testsupport::estimateTone(recorded, 2, 1, 48000);
    EXPECT_NEAR(left.frequency, 440.0, 5.0);
    EXPECT_GT(left.rms, 0.2);
    EXPECT_LT(right.rms, 0.01);

    command("removeChannelRedirect 0 0");
    command("addChannelRedirect 0 0 1");
    command("printChannelsRedirects 0");
    EXPECT_NE(engine->out().find("1 - 1\n0 - 1\n"), std::string::npos);
    // Let what was queued under the old routing drain from the sink first.
    std::this_thread::sleep_for(1000ms);
    recorded = testsupport::recordMonitor("vantrell_main", 2, 48000, 2000ms);
    left = testsupport::estimateTone(recorded, 2, 0, 48000);
    right = testsupport::steadyTone(recorded, 2, 1, 48000);
    EXPECT_NEAR(right.frequency, 440.0, 5.0);
    EXPECT_GT(right.rms, 0.2);
    EXPECT_LT(left.rms, 0.01);
}

TEST_F(ConsoleTest, EffectCommandsShapeTheSoundAndSnapshotsRecordIt) {
    const unsigned int sine = deviceId("input", "Sine source at 440 Hz");
    const unsigned int main = deviceId("output", "Vantrell_Main");
    command("addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 48000 1024");
    command("startStream 0");
    auto level = [] {
        std::this_thread::sleep_for(1000ms);
        return testsupport::steadyTone(testsupport::recordMonitor("vantrell_main", 2, 48000, 2000ms), 2, 0, 48000);
    };
    const auto unity = level();
    ASSERT_GT(unity.rms, 0.3);

    command("setEffectParameter 0 VolumeEffect volume 50");
    const auto half = level();
    EXPECT_NEAR(half.rms / unity.rms, 0.5, 0.03);

    // A peak filter on the tone, +6 dB: the level doubles again.
    command("addEffect 0 EQEffect");
    command("addEQFilter 0 PeakFilter");
    command("setEQFilterParameter 0 0 centerFreq 440");
    command("setEQFilterParameter 0 0 gain 6");
    const auto boosted = level();
    EXPECT_NEAR(boosted.frequency, 440.0, 5.0);
    EXPECT_NEAR(boosted.rms / half.rms, 1.995, 0.08);

    command("setEffectEnable 0 VolumeEffect yes");
    EXPECT_TRUE(engine->waitFor("Invalid enable value", 5s));
    command("setEQFilterParameter 0 x gain 6");
    EXPECT_TRUE(engine->waitFor("Invalid filter id", 5s));
    command("addEffect 0 EQEffect");
    EXPECT_TRUE(engine->waitFor("Effect already added", 5s));

    command("s");
    ASSERT_TRUE(engine->waitFor("Snapshot done", 5s));
    std::string snapshot;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind("snaphot0-", 0) == 0) snapshot = testsupport::readFile(entry.path());
    EXPECT_NE(snapshot.find("Stream Stream" + std::to_string(sine) + "-" + std::to_string(main) + " snapshot\n"),
              std::string::npos);
    EXPECT_NE(snapshot.find("\nEffects:\nVolumeEffect: \n"), std::string::npos) << snapshot.substr(0, 400);
}

TEST_F(ConsoleTest, GroupVolumeSyncMovesBothSinks) {
    const std::string sine = std::to_string(deviceId("input", "Sine source at 440 Hz"));
    command("addStream " + sine + " " + std::to_string(deviceId("output", "Vantrell_Main")) + " 1 2 48000 1024");
    // Rate 0: the highest rate both devices run at (the alt sink runs at 44100).
    command("addStream " + sine + " " + std::to_string(deviceId("output", "Vantrell_Alt")) + " 1 2 0 1024");
    command("startStream 0");
    command("startStream 1");
    // Left-channel levels at both sinks, recorded at the same time once the change has arrived.
    auto levels = [] {
        std::this_thread::sleep_for(1000ms);
        auto alt = std::async(std::launch::async, [] {
            return testsupport::steadyTone(testsupport::recordMonitor("vantrell_alt", 2, 44100, 2000ms), 2, 0, 44100);
        });
        const auto main = testsupport::steadyTone(testsupport::recordMonitor("vantrell_main", 2, 48000, 2000ms), 2, 0,
                                                  48000);
        return std::pair{main.rms, alt.get().rms};
    };
    const auto unity = levels();
    ASSERT_GT(unity.first, 0.2);
    ASSERT_GT(unity.second, 0.2);

    command("linkStreams 0 1");
    command("setStreamGroupVolumeLevelSync 0 true");
    command("setEffectParameter 1 VolumeEffect volume 40");
    command("setStreamGroupVolumeLevelSync 0 false");
    command("setEffectParameter 0 VolumeEffect volume 50");  // no mode: stream 1 stays at 40
    command("setStreamGroupVolumeRatioSync 0 true");
    command("setEffectParameter 0 VolumeEffect volume 25");  // halved: stream 1 follows to 20
    EXPECT_TRUE(engine->waitFor("Ratio value: 0.500000", 5s));
    const auto ratio = levels();
    EXPECT_NEAR(ratio.first / unity.first, 0.25, 0.02);
    EXPECT_NEAR(ratio.second / unity.second, 0.20, 0.02);

    command("setStreamGroupVolumeLevelSync 0 true");
    command("setEffectParameter 1 VolumeEffect volume 60");
    const auto level = levels();
    EXPECT_NEAR(level.first / unity.first, 0.6, 0.03);
    EXPECT_NEAR(level.second / unity.second, 0.6, 0.03);
}

// Power of `frequency` in channel 0 of an interleaved stereo recording, relative to the whole signal.
double shareOf(const std::vector<float>& recorded, unsigned int rate, double frequency) {
    const double w = 2 * M_PI * frequency / rate;
    double s1 = 0, s2 = 0, total = 0;
    for (std::size_t i = 0; i < recorded.size(); i += 2) {
        const double s0 = recorded[i] + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
        total += double(recorded[i]) * recorded[i];
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    return total > 0 ? 2 * power / (total * (recorded.size() / 2.0)) : 0;
}

TEST_F(ConsoleTest, StatefulMasterEffectsKeepEveryStreamToItself) {
    // A second tone, 1000 Hz, beside the server's 440 Hz source.
    const auto loaded = testsupport::runCommand(
        "pactl load-module module-sine-source source_name=vantrell_sine_1000 rate=48000 frequency=1000");
    ASSERT_EQ(loaded.status, 0) << loaded.output;
    struct Unload {
        std::string module;
        ~Unload() { testsupport::runCommand("pactl unload-module " + module); }
    } unload{loaded.output.substr(0, loaded.output.find_first_of("\r\n"))};
    const std::string high = std::to_string(listedDeviceId("input", "Sine source at 1000 Hz"));
    const std::string low = std::to_string(deviceId("input", "Sine source at 440 Hz"));
    command("updateOutputDevicesList");
    command("addStream " + low + " " + std::to_string(deviceId("output", "Vantrell_Main")) + " 1 2 48000 1024");
    command("addStream " + high + " " + std::to_string(deviceId("output", "Vantrell_Alt")) + " 1 2 0 1024");
    command("addMasterEffect DeviceDelayEffect");
    command("setMasterEffectParameter DeviceDelayEffect delay 20");
    command("addMasterEffect EqualizerEffect");
    command("startStream 0");
    command("startStream 1");
    std::this_thread::sleep_for(1000ms);

    auto alt = std::async(std::launch::async, [] { return testsupport::recordMonitor("vantrell_alt", 2, 44100, 2000ms); });
    const auto main = testsupport::recordMonitor("vantrell_main", 2, 48000, 2000ms);
    const auto altRecorded = alt.get();
    const auto mainTone = testsupport::steadyTone(main, 2, 0, 48000);
    const auto altTone = testsupport::steadyTone(altRecorded, 2, 0, 44100);
    EXPECT_NEAR(mainTone.frequency, 440.0, 5.0);
    EXPECT_NEAR(altTone.frequency, 1000.0, 10.0);
    EXPECT_GT(mainTone.rms, 0.2);
    EXPECT_GT(altTone.rms, 0.2);
    // Through shared delay lines and filters each sink would carry the other stream's tone too.
    EXPECT_LT(shareOf(main, 48000, 1000.0), 0.001);
    EXPECT_LT(shareOf(altRecorded, 44100, 440.0), 0.001);
    EXPECT_GT(shareOf(main, 48000, 440.0), 0.5);
}

} // namespace
