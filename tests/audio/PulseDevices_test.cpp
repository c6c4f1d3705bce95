// The sound server's answers turned into the engine's device list: order, ids, defaults, rates.

#include "audio/pulse/PulseDevices.hpp"

#include <gtest/gtest.h>

namespace {

using namespace audio::detail;

pa_sink_info sink(uint32_t index, const char* name, const char* description, uint32_t rate, uint8_t channels) {
    pa_sink_info info{};
    info.index = index;
    info.name = name;
    info.description = description;
    info.sample_spec = {PA_SAMPLE_FLOAT32LE, rate, channels};
    pa_channel_map_init_extend(&info.channel_map, channels, PA_CHANNEL_MAP_DEFAULT);
    return info;
}

pa_source_info source(uint32_t index, const char* name, const char* description, uint32_t rate, uint8_t channels) {
    pa_source_info info{};
    info.index = index;
    info.name = name;
    info.description = description;
    info.sample_spec = {PA_SAMPLE_FLOAT32LE, rate, channels};
    pa_channel_map_init_extend(&info.channel_map, channels, PA_CHANNEL_MAP_DEFAULT);
    return info;
}

std::vector<std::string> names(const PulseDeviceList& devices) {
    std::vector<std::string> result;
    for (const auto& device : devices) result.push_back(device.info.name + "#" + std::to_string(device.info.id));
    return result;
}

TEST(PulseDevicesTest, DefaultsComeFirstAndEachDeviceKeepsItsOwnIdWhateverItsDescription) {
    PulseDeviceIds ids;
    PulseListing first;
    first.addSource(source(2, "mic", "Speakers", 48000, 1)); // a card's sink and source: one description
    first.addSink(sink(1, "b", "Speakers", 44100, 2));
    first.addSink(sink(0, "a", "Speakers", 48000, 2));
    first.addSource(source(5, "b.monitor", "Monitor of Speakers", 44100, 2));
    first.setDefaults("b", "mic");
    const auto devices = first.finish(ids);
    EXPECT_EQ(names(devices), (std::vector<std::string>{"Speakers#129", "Speakers#130", "Speakers#131",
                                                        "Monitor of Speakers#132"}));
    EXPECT_EQ(devices[0].serverName, "b");
    EXPECT_TRUE(devices[0].info.isDefaultOutput);
    EXPECT_FALSE(devices[1].info.isDefaultOutput);
    EXPECT_TRUE(devices[2].info.isDefaultInput);
    EXPECT_EQ(devices[0].info.outputChannels, 2u);
    EXPECT_EQ(devices[2].info.inputChannels, 1u);
    EXPECT_EQ(devices[0].info.sampleRates, (std::vector<unsigned int>{8000, 16000, 22050, 32000, 44100}));

    // Sink b leaves and a new source comes: a keeps its id, the source sharing the description
    // keeps its own, the newcomer takes a fresh one.
    PulseListing second;
    second.addSource(source(7, "usb", "Speakers", 96000, 2));
    second.addSource(source(2, "mic", "Speakers", 48000, 1));
    second.addSink(sink(0, "a", "Speakers", 48000, 2));
    second.setDefaults("a", "usb");
    EXPECT_EQ(names(second.finish(ids)), (std::vector<std::string>{"Speakers#130", "Speakers#133", "Speakers#131"}));
    // b returns with a new index, and the defaults change: every device has the id it first had.
    PulseListing third;
    third.addSink(sink(0, "a", "Speakers", 48000, 2));
    third.addSink(sink(8, "b", "Speakers", 44100, 2));
    third.addSource(source(2, "mic", "Speakers", 48000, 1));
    third.setDefaults("b", "mic");
    EXPECT_EQ(names(third.finish(ids)), (std::vector<std::string>{"Speakers#129", "Speakers#130", "Speakers#131"}));
}

// A device's change event asks for a new list only when what the list shows of the device changed.
TEST(PulseDevicesTest, OnlyAChangeOfWhatIsListedNeedsANewList) {
    PulseDeviceIds ids;
    PulseListing listing;
    listing.addSink(sink(0, "a", "Speakers", 48000, 2));
    listing.addSource(source(1, "a.monitor", "Monitor of Speakers", 48000, 2));
    const auto devices = listing.finish(ids);
    // Started, idle, another volume: as listed.
    EXPECT_TRUE(listedAsIs(devices, describeSink(sink(0, "a", "Speakers", 48000, 2))));
    EXPECT_TRUE(listedAsIs(devices, describeSource(source(1, "a.monitor", "Monitor of Speakers", 48000, 2))));

    pa_sink_info otherLayout = sink(0, "a", "Speakers", 48000, 2);
    pa_channel_map_init_auto(&otherLayout.channel_map, 2, PA_CHANNEL_MAP_AUX);
    const pa_sink_info changes[] = {sink(0, "a", "Headphones", 48000, 2), sink(0, "a", "Speakers", 44100, 2),
                                    sink(0, "a", "Speakers", 48000, 1), otherLayout,
                                    sink(2, "b", "Speakers", 48000, 2)};
    for (const pa_sink_info& changed : changes)
        EXPECT_FALSE(listedAsIs(devices, describeSink(changed))) << changed.name << " " << changed.description;
    // A source of the sink's name is another device.
    EXPECT_FALSE(listedAsIs(devices, describeSource(source(3, "a", "Speakers", 48000, 2))));
}

TEST(PulseDevicesTest, ANativeRateOffTheStandardListIsListedAsTheHighest) {
    EXPECT_EQ(ratesUpTo(50000), (std::vector<unsigned int>{8000, 16000, 22050, 32000, 44100, 48000, 50000}));
    EXPECT_EQ(ratesUpTo(8000), (std::vector<unsigned int>{8000}));
    EXPECT_TRUE(ratesUpTo(0).empty());
}

} // namespace
