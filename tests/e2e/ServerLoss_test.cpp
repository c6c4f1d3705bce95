// The real binary when the sound server goes away and comes back, and when it is asked for what the
// devices cannot do. The private server of the test script (PulseAudio or PipeWire) is killed and
// restarted in place (same directory, same socket); every test leaves it running.

#include "ServerEngineFixture.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <cstdio>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace std::chrono_literals;
using testsupport::EngineProcess;

namespace {

using namespace serverengine;
using ServerLossTest = ServerEngineTest;

TEST_F(ServerLossTest, KillingTheServerUnderTwoStreamsCostsNothingAndTheyPlayAgainWhenItReturns) {
    command("addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 48000 1024");
    command("addStream " + std::to_string(sine) + " " + std::to_string(alt) + " 1 2 44100 1024");
    command("startStream 0");
    command("startStream 1");
    ASSERT_NEAR(toneAt("vantrell_main", 48000).frequency, 440.0, 10.0) << engine->out();

    const Usage before = usageOf(engine->pid());
    const auto logBefore = logSize();
    ASSERT_EQ(serverScript("kill_private_sound_server").status, 0);
    std::this_thread::sleep_for(10s);
    const Usage settled = usageOf(engine->pid());
    std::this_thread::sleep_for(10s);
    const Usage after = usageOf(engine->pid());
    const double logGrowthKb = static_cast<double>(logSize() - logBefore) / 1024.0;
    const long rssGrowthKb = after.rssKb - before.rssKb;
    const double cpuShare = (after.cpuSeconds - settled.cpuSeconds) / 10.0;
    std::cout << "server loss, 20 s: log +" << logGrowthKb << " KB, RSS " << before.rssKb << " -> " << after.rssKb
              << " KB, CPU over the last 10 s " << cpuShare * 100.0 << " % of a core\n";
    EXPECT_LT(logGrowthKb, 100.0);
    EXPECT_LT(rssGrowthKb, 20 * 1024);
    EXPECT_LT(cpuShare, 0.05);
    // One report per stream, not one per failed period.
    EXPECT_EQ(engine->count("RtAudio device disconnect: "), 2) << engine->out();
    EXPECT_EQ(engine->count("Input device Sine source at 440 Hz (" + std::to_string(sine) + ") disconnected"), 1);
    EXPECT_EQ(engine->count("Output device Vantrell_Alt (" + std::to_string(alt) + ") disconnected"), 1);

    EXPECT_LT(command("updateOutputDevicesList"), 1000ms) << "nothing waits on the dead server";

    const int listsBefore = engine->count("Added output device: Vantrell_Main");
    ASSERT_EQ(serverScript("restart_private_sound_server").status, 0);
    EXPECT_TRUE(engine->waitFor("Added output device: Vantrell_Main", 10s, listsBefore + 1))
        << "the lists refresh when the server returns";
    // Both were playing when the server went: they play again by themselves, once each.
    for (const char* id : {"0", "1"})
        EXPECT_TRUE(engine->waitFor(std::string("Stream ") + id + " restarted: its devices are back", 10s))
            << id << engine->out().substr(engine->out().size() > 4000 ? engine->out().size() - 4000 : 0);
    EXPECT_NEAR(toneAt("vantrell_main", 48000).frequency, 440.0, 10.0) << engine->out();
    EXPECT_NEAR(toneAt("vantrell_alt", 44100).frequency, 440.0, 10.0);
    command("startStream 0"); // changes nothing on a running stream
    EXPECT_EQ(engine->count("restarted: its devices are back"), 2);
    EXPECT_NEAR(toneAt("vantrell_main", 48000).frequency, 440.0, 10.0);
    EXPECT_EQ(engine->out().find("already open"), std::string::npos);
    EXPECT_EQ(engine->err().find("already open"), std::string::npos);
}

TEST_F(ServerLossTest, RatesAndPeriodsTheDevicesCannotServeAreRefusedWithoutStallingTheConsole) {
    command("addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 48000 1024");
    command("startStream 0");
    // The refusal's own line (the console's "Failed to add a stream: ..." repeats its text).
    const std::string refusal = ") Sample rate 3 is not supported";
    const int refusals = engine->count(refusal);
    EXPECT_LT(command("addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 3 1024"), 1000ms);
    // Standard error may come after the prompt: wait for the line rather than count what is there.
    EXPECT_TRUE(engine->waitFor(refusal, 5s, refusals + 1)) << engine->out();
    command("startStream 1");
    EXPECT_LT(command("listStreams"), 1000ms);
    EXPECT_EQ(engine->out().find("Stream id: 1 :"), std::string::npos) << "the 3 Hz stream was not added";

    // A legal rate with a period of eight seconds would hold every later stop for that long.
    command("addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 8000 65536");
    EXPECT_LT(command("startStream 1"), 1000ms);
    EXPECT_LT(command("stopStream 1"), 1000ms);
    EXPECT_LT(command("getStreamInfo 0"), 1000ms);
    EXPECT_NE(engine->out().find("Sample rate: 48000"), std::string::npos) << "stream 0 keeps its rate";
    const auto tone = toneAt("vantrell_main", 48000);
    EXPECT_NEAR(tone.frequency, 440.0, 10.0);
    EXPECT_GT(tone.rms, 0.3);
}

TEST_F(ServerLossTest, AStreamWhoseDevicesHaveNoOutputChannelsRunsWithoutAnOutputBuffer) {
    // The source as both ends: the library hands the callback no output buffer at all.
    const std::string source = std::to_string(sine);
    command("addStream " + source + " " + source + " 1 0 48000 1024");
    command("startStream 0");
    EXPECT_TRUE(engine->waitFor("started successfully", 5s));
    std::this_thread::sleep_for(1s);
    EXPECT_LT(command("getStreamInfo 0"), 1000ms);
    EXPECT_NE(engine->out().find("Output channels: 0"), std::string::npos);
    EXPECT_TRUE(engine->alive());
}

class DeviceLossProtocolTest : public testsupport::ProtocolEngineTest {
protected:
    DeviceLossProtocolTest() : ProtocolEngineTest(VANTRELL_BINARY) {}
};

TEST_F(DeviceLossProtocolTest, UnloadingTheSourceOfAStreamSendsOneDisconnectPacketWithItsId) {
    // A source of its own over the sine, which PulseAudio and PipeWire both load and unload. (A null
    // sink's monitor would not do: on PipeWire the library lists it as the input side of the sink,
    // one device lost from both lists.)
    const auto loaded = testsupport::runCommand(
        "pactl load-module module-remap-source master=vantrell_sine source_name=vantrell_loss_source "
        "source_properties=device.description=Vantrell_Loss_Source");
    ASSERT_EQ(loaded.status, 0) << loaded.output;
    struct Unload {
        std::string module;
        ~Unload() { if (!module.empty()) testsupport::runCommand("pactl unload-module " + module); }
    } loss{std::to_string(std::stoul(loaded.output))};
    // Listed once the server has announced it, which may come after pactl returns.
    int source = 0;
    for (const auto deadline = std::chrono::steady_clock::now() + 5s;
         source == 0 && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms))
        for (const auto& device : devices(2 /* DeviceInputs */))
            if (device.name == "Vantrell_Loss_Source") source = device.id;
    const int main = deviceId(3 /* DeviceOutputs */, "Vantrell_Main"); // only the output list is filled now
    ASSERT_GT(source, 0);
    exchange(5 /* AddStream */, testsupport::Request().i32(source).i32(main).i32(1).i32(2).i32(48000).i32(512));
    exchange(7 /* StartStream */, testsupport::Request().i32(0));
    ASSERT_TRUE(engine->waitFor("started successfully", 5s));

    ASSERT_EQ(testsupport::runCommand("pactl unload-module " + std::exchange(loss.module, "")).status, 0);
    int disconnects = 0;
    const auto count = [&](std::chrono::milliseconds window) {
        for (const auto& packet : client.receiveFor(window)) {
            if (packet.type != 21) continue;
            ++disconnects;
            EXPECT_EQ(testsupport::hex(packet.wire()),
                      testsupport::hex(testsupport::Request().i32(source).i32(0).packet(21)));
        }
    };
    // The first notice however long a busy machine takes, then long enough for a second that must not come.
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (disconnects == 0 && std::chrono::steady_clock::now() < deadline) count(250ms);
    count(2s);
    EXPECT_EQ(disconnects, 1) << engine->out();
}

} // namespace

namespace {

// Every request is answered at once, device lists too: with no server to ask, they are empty.
TEST_F(DeviceLossProtocolTest, DeviceListsWhileTheServerIsGoneAreEmpty) {
    ASSERT_EQ(devices(3 /* DeviceOutputs */).empty(), false);
    struct Restart {
        ~Restart() { serverScript("restart_private_sound_server"); }
    } restart;
    ASSERT_EQ(serverScript("kill_private_sound_server").status, 0);
    for (const std::uint16_t type : {2, 3}) {
        const auto packets = exchange(type);
        ASSERT_EQ(packets.size(), 1u) << "type " << type;
        EXPECT_EQ(testsupport::hex(packets[0].wire()), testsupport::hex(testsupport::Request().i32(0).packet(type)));
    }
}

} // namespace
