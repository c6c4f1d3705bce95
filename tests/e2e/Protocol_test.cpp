// The socket protocol's requests against the real binary on the private PulseAudio of the test
// script: devices, streams, effects, and what a parameter change does to the sound.

#include "ProtocolClient.hpp"
#include "PulseTools.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;
using testsupport::entries;
using testsupport::hex;
using testsupport::Packet;
using testsupport::Request;
using Lines = std::vector<std::string>;

namespace {

enum Type : std::uint16_t {
    PrintTest = 1, DeviceInputs, DeviceOutputs, StreamList, AddStream, SetEffectParameter, StartStream,
    DeleteStream, AvailableSampleRates, FaderValue = 12, EffectList = 14, EditStream, NotAddedEffects,
    AddEffectToStream, SetEffectEnable, EffectParameters, DeleteEffectFromStream,
};

class ProtocolTest : public testsupport::ProtocolEngineTest {
protected:
    ProtocolTest() : ProtocolEngineTest(VANTRELL_BINARY) {}

    void SetUp() override {
        ProtocolEngineTest::SetUp();
        if (HasFatalFailure()) return;
        sine = deviceId(DeviceInputs, "Sine source at 440 Hz");
        main = deviceId(DeviceOutputs, "Vantrell_Main");
        alt = deviceId(DeviceOutputs, "Vantrell_Alt");
    }

    // A stream list and, behind it, exactly one fader value per stream: the list's lines.
    Lines streamsWithFaders(const std::vector<Packet>& packets, float volume = 100.0f) {
        if (packets.empty() || packets[0].type != StreamList) {
            ADD_FAILURE() << "no stream list";
            return {};
        }
        const Lines list = entries(packets[0], "iiiiis");
        EXPECT_EQ(packets.size(), list.size() + 1);
        for (std::size_t i = 0; i + 1 < packets.size() && i < list.size(); ++i) {
            const int id = std::stoi(list[i]);
            EXPECT_EQ(hex(packets[i + 1].wire()), hex(Request().i32(id).f32(volume).packet(FaderValue)));
        }
        return list;
    }

    Lines addStream(int output, int rate = 48000, int frames = 512) {
        return streamsWithFaders(exchange(AddStream, Request().i32(sine).i32(output).i32(1).i32(2).i32(rate).i32(frames)));
    }

    // "id input output rate frames name" as a stream list shows it.
    std::string line(int id, int output, int rate, int frames, std::string name = "") {
        if (name.empty()) name = "Stream" + std::to_string(sine) + "-" + std::to_string(output);
        return std::to_string(id) + " " + std::to_string(sine) + " " + std::to_string(output) + " " +
               std::to_string(rate) + " " + std::to_string(frames) + " " + name;
    }

    int sine{0}, main{0}, alt{0};
};

TEST_F(ProtocolTest, DeviceListsRatesAndPrintTest) {
    auto names = [](const std::vector<testsupport::Device>& devices) {
        Lines named;
        for (const auto& device : devices) named.push_back(device.name + " " + std::to_string(device.channels));
        return named;
    };
    EXPECT_EQ(names(devices(DeviceInputs)),
              (Lines{"Sine source at 440 Hz 1", "Monitor of Vantrell_Main 2", "Monitor of Vantrell_Alt 2"}));
    const auto outputs = devices(DeviceOutputs);
    EXPECT_EQ(names(outputs), (Lines{"Vantrell_Main 2", "Vantrell_Alt 2"}));
    for (const auto& device : outputs) // the ids the engine announced when it listed them
        EXPECT_TRUE(engine->waitFor("Added output device: " + device.name + " with id: " + std::to_string(device.id)));

    const auto rates = exchange(AvailableSampleRates, Request().i32(sine).i32(main));
    ASSERT_EQ(rates.size(), 1u);
    const Lines listed = entries(rates[0], "ii");
    EXPECT_NE(std::find(listed.begin(), listed.end(), "48000 0"), listed.end()) << hex(rates[0].payload);
    // Devices nobody has: the empty list is the header alone.
    deliver(Request().i32(4242).i32(4243).packet(AvailableSampleRates));
    const auto none = client.receive();
    ASSERT_TRUE(none);
    EXPECT_EQ(hex(none->wire()), "00 00 00 00 09 00");

    EXPECT_TRUE(exchange(PrintTest, Request().i32(3).i32(4)).empty());
    EXPECT_NE(engine->out().find("\n3 4\n"), std::string::npos);
}

TEST_F(ProtocolTest, StreamListsFaderValuesAndDeletion) {
    const auto empty = exchange(StreamList);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(hex(empty[0].wire()), "00 00 00 00 04 00");

    Lines expected, list;
    for (int id = 0; id < 8; ++id) {
        expected.push_back(line(id, main, 48000, 512));
        list = addStream(main);
    }
    EXPECT_EQ(list, expected);
    EXPECT_EQ(streamsWithFaders(exchange(StreamList)), expected);

    const auto fader = exchange(FaderValue, Request().i32(7));
    ASSERT_EQ(fader.size(), 1u);
    EXPECT_EQ(hex(fader[0].wire()), "08 00 00 00 0C 00 07 00 00 00 00 00 C8 42");

    // Unknown ids get no answer at all.
    EXPECT_TRUE(exchange(FaderValue, Request().i32(42)).empty());
    EXPECT_TRUE(exchange(DeleteStream, Request().i32(42)).empty());
    EXPECT_TRUE(engine->waitFor("(in function deleteStream at line", 5s));
    expected.erase(expected.begin() + 3);
    EXPECT_EQ(streamsWithFaders(exchange(DeleteStream, Request().i32(3))), expected);
}

TEST_F(ProtocolTest, StartAndEditStreams) {
    addStream(main);
    addStream(main);
    EXPECT_TRUE(exchange(StartStream, Request().i32(0)).empty());
    EXPECT_TRUE(engine->waitFor(" started successfully", 5s)) << engine->err();

    auto edit = [&](int id, int input, int output, int rate, const std::string& name) {
        return streamsWithFaders(exchange(
            EditStream, Request().i32(id).i32(input).i32(output).i32(1).i32(2).i32(rate).i32(256).str(name)));
    };
    EXPECT_EQ(edit(1, sine, alt, 44100, "Renamed"),
              (Lines{line(0, main, 48000, 512), line(1, alt, 44100, 256, "Renamed")}));
    // Settings that cannot be opened are undone, and the list still comes.
    EXPECT_EQ(edit(0, 4242, 4243, 48000, "Gone"),
              (Lines{line(0, main, 48000, 512), line(1, alt, 44100, 256, "Renamed")}));
    EXPECT_TRUE(engine->waitFor("Error while editing stream", 5s));
    EXPECT_TRUE(exchange(EditStream, Request().i32(9).i32(sine).i32(main).str("x")).empty());
}

TEST_F(ProtocolTest, StreamEffectRequests) {
    addStream(main);
    auto only = [&](std::uint16_t type, const Request& request) {
        const auto packets = exchange(type, request);
        EXPECT_EQ(packets.size(), 1u) << "type " << type;
        return packets.empty() ? Packet{} : packets[0];
    };
    EXPECT_EQ(entries(only(EffectList, Request().i32(0)), "isi"), (Lines{"0 VolumeEffect 1"}));
    EXPECT_EQ(entries(only(NotAddedEffects, Request().i32(0)), "is"),
              (Lines{"0 PanEffect", "0 DeviceDelayEffect", "0 ReverbEffect", "0 EQDemoEffect"}));

    // A successful change: the engine's own push, then the handler's answer, the two identical.
    const auto added = exchange(AddEffectToStream, Request().i32(0).str("ReverbEffect"));
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(hex(added[0].wire()), hex(added[1].wire()));
    EXPECT_EQ(entries(added[1], "isi"), (Lines{"0 VolumeEffect 1", "0 ReverbEffect 1"}));
    // A refused one pushes nothing: the answer alone shows the chain.
    EXPECT_EQ(hex(only(AddEffectToStream, Request().i32(0).str("ReverbEffect")).wire()), hex(added[1].wire()));
    // The parametric equalizer is in the chain but never listed.
    EXPECT_EQ(entries(exchange(AddEffectToStream, Request().i32(0).str("EQEffect")).at(1), "isi"),
              (Lines{"0 VolumeEffect 1", "0 ReverbEffect 1"}));
    EXPECT_EQ(entries(only(NotAddedEffects, Request().i32(0)), "is"),
              (Lines{"0 PanEffect", "0 DeviceDelayEffect", "0 EQDemoEffect"}));

    const auto disabled = exchange(SetEffectEnable, Request().i32(0).str("ReverbEffect").i32(0));
    ASSERT_EQ(disabled.size(), 2u);
    EXPECT_EQ(hex(disabled[0].wire()), hex(disabled[1].wire()));
    EXPECT_EQ(entries(disabled[1], "isi"), (Lines{"0 VolumeEffect 1", "0 ReverbEffect 0"}));

    // Parameters in byte order of their names, each with the effect's one range.
    EXPECT_TRUE(exchange(SetEffectParameter, Request().i32(0).str("ReverbEffect").str("mix").f32(25.0f)).empty());
    const Lines reverb = entries(only(EffectParameters, Request().i32(0).str("ReverbEffect")), "issfff");
    ASSERT_EQ(reverb.size(), 3u);
    EXPECT_EQ(reverb[0].rfind("0 ReverbEffect decay ", 0), 0u) << reverb[0];
    EXPECT_EQ(reverb[1], "0 ReverbEffect mix 25 0 100");
    EXPECT_EQ(reverb[2].rfind("0 ReverbEffect roomSize ", 0), 0u) << reverb[2];
    for (const auto& entry : reverb) EXPECT_EQ(entry.substr(entry.size() - 6), " 0 100") << entry;
    EXPECT_TRUE(exchange(EffectParameters, Request().i32(0).str("PanEffect")).empty());

    // A mandatory effect stays and the unchanged chain is the answer.
    EXPECT_EQ(hex(only(DeleteEffectFromStream, Request().i32(0).str("VolumeEffect")).wire()), hex(disabled[1].wire()));
    EXPECT_EQ(entries(only(DeleteEffectFromStream, Request().i32(0).str("ReverbEffect")), "isi"),
              (Lines{"0 VolumeEffect 1"}));
    for (std::uint16_t type : {EffectList, NotAddedEffects, AddEffectToStream, SetEffectEnable, EffectParameters,
                               DeleteEffectFromStream})
        EXPECT_TRUE(exchange(type, Request().i32(5).str("PanEffect").i32(1)).empty()) << "no stream 5, type " << type;
}

TEST_F(ProtocolTest, MasterEffectRequests) {
    const auto added = exchange(AddEffectToStream, Request().i32(-1).str("PanEffect"));
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(hex(added[0].wire()), hex(added[1].wire()));
    EXPECT_EQ(entries(added[1], "isi"), (Lines{"-1 VolumeEffect 1", "-1 PanEffect 1"}));
    // A master chain that holds anything never offers the five-band equalizer, and cannot take it.
    EXPECT_EQ(entries(exchange(NotAddedEffects, Request().i32(-1)).at(0), "is"),
              (Lines{"-1 DeviceDelayEffect", "-1 ReverbEffect"}));
    const auto refused = exchange(AddEffectToStream, Request().i32(-1).str("EQDemoEffect"));
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(hex(refused[0].wire()), hex(added[1].wire()));

    EXPECT_EQ(entries(exchange(SetEffectEnable, Request().i32(-1).str("PanEffect").i32(0)).at(1), "isi"),
              (Lines{"-1 VolumeEffect 1", "-1 PanEffect 0"}));
    EXPECT_EQ(exchange(SetEffectEnable, Request().i32(-1).str("ReverbEffect").i32(1)).size(), 1u);
    EXPECT_EQ(entries(exchange(EffectParameters, Request().i32(-1).str("VolumeEffect")).at(0), "issfff"),
              (Lines{"-1 VolumeEffect volume 100 0 200"}));
    EXPECT_TRUE(exchange(EffectParameters, Request().i32(-1).str("ReverbEffect")).empty());

    // Master effects are not mandatory. An empty chain's list is the header alone, twice.
    EXPECT_EQ(exchange(DeleteEffectFromStream, Request().i32(-1).str("PanEffect")).size(), 2u);
    const auto emptied = exchange(DeleteEffectFromStream, Request().i32(-1).str("VolumeEffect"));
    ASSERT_EQ(emptied.size(), 2u);
    EXPECT_EQ(hex(emptied[0].wire()), "00 00 00 00 0E 00");
    EXPECT_EQ(hex(emptied[1].wire()), "00 00 00 00 0E 00");
    EXPECT_TRUE(exchange(DeleteEffectFromStream, Request().i32(-1).str("VolumeEffect")).empty());
    EXPECT_EQ(entries(exchange(NotAddedEffects, Request().i32(-1)).at(0), "is").size(), 5u);
}

// A stream's volume and the master volume both scale what reaches the null sink.
TEST_F(ProtocolTest, SetEffectParameterChangesTheRecordedLevel) {
    addStream(main, 48000, 1024);
    EXPECT_TRUE(exchange(StartStream, Request().i32(0)).empty());
    ASSERT_TRUE(engine->waitFor(" started successfully", 5s)) << engine->err();
    auto level = [] {
        std::this_thread::sleep_for(200ms);
        const auto recorded = testsupport::recordMonitor("vantrell_main", 2, 48000, 1200ms);
        return testsupport::estimateTone(recorded, 2, 0, 48000, 12000);
    };
    const auto full = level();
    EXPECT_NEAR(full.frequency, 440.0, 5.0);
    ASSERT_GT(full.rms, 0.2);

    EXPECT_TRUE(exchange(SetEffectParameter, Request().i32(0).str("VolumeEffect").str("volume").f32(50.0f)).empty());
    EXPECT_NEAR(level().rms / full.rms, 0.5, 0.05);
    const auto fader = exchange(FaderValue, Request().i32(0));
    ASSERT_EQ(fader.size(), 1u);
    EXPECT_EQ(hex(fader[0].wire()), hex(Request().i32(0).f32(50.0f).packet(FaderValue)));

    EXPECT_TRUE(exchange(SetEffectParameter, Request().i32(-1).str("VolumeEffect").str("volume").f32(0.0f)).empty());
    EXPECT_LT(level().rms, 0.01);
}

TEST_F(ProtocolTest, AConsoleCommandPushesTheEffectListToTheClient) {
    engine->send("addMasterEffect ReverbEffect");
    const auto pushed = client.receive(5s);
    ASSERT_TRUE(pushed) << "nothing reached the client";
    EXPECT_EQ(entries(*pushed, "isi"), (Lines{"-1 VolumeEffect 1", "-1 ReverbEffect 1"}));
    // A second push for a stream's chain, from another console command.
    engine->send("addStream");
    engine->send("addEffect 0 PanEffect");
    const auto streamList = client.receive(5s);
    ASSERT_TRUE(streamList);
    EXPECT_EQ(entries(*streamList, "isi"), (Lines{"0 VolumeEffect 1", "0 PanEffect 1"}));
}

} // namespace
