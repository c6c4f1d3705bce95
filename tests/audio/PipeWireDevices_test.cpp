// The graph's audio nodes turned into the engine's device list: directions, monitors, order, ids,
// defaults, channels and rates.

#include "audio/pipewire/PipeWireDevices.hpp"

#include <gtest/gtest.h>

namespace {

using namespace audio::detail;

PipeWireNode node(std::uint32_t id, const char* name, const char* description, const char* mediaClass,
                  unsigned int channels, unsigned int rate = 0) {
    PipeWireNode node;
    node.globalId = id;
    node.name = name;
    node.description = description;
    node.mediaClass = mediaClass;
    node.channels = channels;
    node.rate = rate;
    return node;
}

std::vector<std::string> listed(const PipeWireDeviceList& devices) {
    std::vector<std::string> result;
    for (const auto& device : devices) result.push_back(device.info.name + "#" + std::to_string(device.info.id));
    return result;
}

TEST(PipeWireDevicesTest, SinksThenSourcesThenMonitorsEachDefaultFirstAndIdsKeptByNodeName) {
    PipeWireDeviceIds ids;
    const std::vector<PipeWireNode> first = {
        node(40, "speakers", "Speakers", "Audio/Sink", 2),
        node(41, "mic", "Speakers", "Audio/Source", 1), // a card's sink and source: one description
        node(42, "hdmi", "HDMI", "Audio/Sink", 8),
        node(43, "app.stream", "Some stream", "Stream/Output/Audio", 2), // not a device
    };
    EXPECT_EQ(listed(listDevices(first, "hdmi", "mic", 48000, ids)),
              (std::vector<std::string>{"HDMI#129", "Speakers#130", "Speakers#131", "Monitor of Speakers#132",
                                        "Monitor of HDMI#133"}));

    // The default moves, a sink leaves, a new one comes: nobody's id changes, none is reused.
    const std::vector<PipeWireNode> second = {
        node(41, "mic", "Speakers", "Audio/Source", 1),
        node(50, "usb", "USB", "Audio/Sink", 2),
        node(42, "hdmi", "HDMI", "Audio/Sink", 8),
    };
    const auto devices = listDevices(second, "usb", "", 48000, ids);
    EXPECT_EQ(listed(devices), (std::vector<std::string>{"USB#134", "HDMI#129", "Speakers#131", "Monitor of HDMI#133",
                                                        "Monitor of USB#135"}));
    EXPECT_TRUE(devices[0].info.isDefaultOutput);
    EXPECT_TRUE(devices[2].info.isDefaultInput) << "without a named default, the first source";
    EXPECT_FALSE(devices[3].info.isDefaultInput);

    // A monitor made the default source comes under its sink's name, as PipeWire's PulseAudio names it.
    const auto monitored = listDevices(second, "usb", "hdmi", 48000, ids);
    EXPECT_FALSE(monitored[2].info.isDefaultInput);
    EXPECT_EQ(monitored[3].info.name, "Monitor of HDMI");
    EXPECT_TRUE(monitored[3].info.isDefaultInput);

    // It returns under its old id.
    EXPECT_EQ(listed(listDevices({node(44, "speakers", "Speakers", "Audio/Sink", 2)}, "", "", 48000, ids)),
              (std::vector<std::string>{"Speakers#130", "Monitor of Speakers#132"}));
}

TEST(PipeWireDevicesTest, PortsGiveChannelsAndPositionsAndTheNodesRateBoundsTheRates) {
    PipeWireDeviceIds ids;
    PipeWireNode sink = node(40, "surround", "", "Audio/Sink", 2, 44100); // the property says 2, its ports 4
    sink.inputPorts = {"FL", "FR", "RL", "RR"};
    sink.monitorPorts = {"FL", "FR", "RL", "RR"};
    PipeWireNode unknownRate = node(41, "line", "Line in", "Audio/Source", 2);
    PipeWireNode unconfigured = node(42, "new", "Not yet", "Audio/Source", 0);
    const auto devices = listDevices({sink, unknownRate, unconfigured}, "", "", 96000, ids);
    ASSERT_EQ(devices.size(), 3u) << "a node without channels waits for its ports";

    EXPECT_EQ(devices[0].info.name, "surround") << "the node name when it has no description";
    EXPECT_EQ(devices[0].info.outputChannels, 4u);
    EXPECT_EQ(devices[0].positions, (std::vector<std::string>{"FL", "FR", "RL", "RR"}));
    EXPECT_EQ(devices[0].info.preferredSampleRate, 44100u);
    EXPECT_EQ(devices[0].info.sampleRates, (std::vector<unsigned int>{8000, 16000, 22050, 32000, 44100}));
    EXPECT_EQ(devices[1].info.inputChannels, 2u);
    EXPECT_EQ(devices[1].info.preferredSampleRate, 96000u) << "the graph's rate";
    EXPECT_TRUE(devices[2].isMonitor);
    EXPECT_EQ(devices[2].nodeName, "surround");
    EXPECT_EQ(devices[2].info.inputChannels, 4u);
}

TEST(PipeWireDevicesTest, TheDefaultsNameComesFromTheMetadatasJson) {
    EXPECT_EQ(defaultNodeName(R"({"name":"alsa_output.pci-0000_00_1f.3.analog-stereo"})"),
              "alsa_output.pci-0000_00_1f.3.analog-stereo");
    EXPECT_EQ(defaultNodeName(nullptr), "");
    EXPECT_EQ(defaultNodeName("{\"name\":"), "");
    EXPECT_EQ(defaultNodeName("[\"name\"]"), "");
}

} // namespace
