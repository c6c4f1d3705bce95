// The audio layer on the private PulseAudio: devices, their ids, and refusals answered as results.

#include "BackEndFixture.hpp"

using namespace backendtest;
using namespace std::chrono_literals;

namespace {

// --- Devices --------------------------------------------------------------------------------------

BACK_END_SUITE(BackEndDevices);

TEST_P(BackEndDevices, ServerDevicesComeWithTheirNamesChannelsRatesAndDefaults) {
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);

    const auto ids = idsOf(*backEnd);
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(std::set<DeviceId>(ids.begin(), ids.end()).size(), ids.size()) << "ids repeat";
    for (DeviceId id : ids) EXPECT_GE(id, 129u);

    const auto main = findDevice(*backEnd, "Vantrell_Main");
    ASSERT_TRUE(main);
    EXPECT_EQ(main->outputChannels, 2u);
    EXPECT_EQ(main->inputChannels, 0u);
    EXPECT_EQ(main->preferredSampleRate, 48000u);
    EXPECT_TRUE(main->isDefaultOutput);
    EXPECT_FALSE(main->isDefaultInput);

    const auto alt = findDevice(*backEnd, "Vantrell_Alt");
    ASSERT_TRUE(alt);
    // A server's device lists the standard rates up to the one it runs at, so the highest rate two
    // devices share is their native rate and the server resamples nothing. (An idle null sink may
    // move between the server's two rates, so the list follows the rate it reports.)
    for (const auto* device : {&*main, &*alt}) {
        std::vector<unsigned int> expected;
        for (unsigned int rate : {8000u, 16000u, 22050u, 32000u, 44100u, 48000u, 88200u, 96000u, 192000u})
            if (rate <= device->preferredSampleRate) expected.push_back(rate);
        EXPECT_EQ(device->sampleRates, expected) << device->name;
    }
    EXPECT_EQ(alt->outputChannels, 2u);
    EXPECT_EQ(alt->preferredSampleRate, 44100u);
    EXPECT_FALSE(alt->isDefaultOutput);

    const auto monitor = findDevice(*backEnd, "Monitor of Vantrell_Alt");
    ASSERT_TRUE(monitor);
    EXPECT_EQ(monitor->inputChannels, 2u);
    EXPECT_EQ(monitor->outputChannels, 0u);
    EXPECT_EQ(monitor->preferredSampleRate, 44100u);

    EXPECT_EQ(backEnd->defaultOutput(), main->id);
    const auto sine = backEnd->device(backEnd->defaultInput());
    ASSERT_TRUE(sine);
    EXPECT_NE(sine->name.find("440"), std::string::npos) << sine->name;
    EXPECT_EQ(sine->inputChannels, 1u);
    EXPECT_EQ(sine->outputChannels, 0u);
    EXPECT_EQ(sine->preferredSampleRate, 48000u);
    EXPECT_TRUE(sine->isDefaultInput);
}

TEST_P(BackEndDevices, IdsAgreeAcrossBackEndsAndListings) {
    auto first = makeBackEnd();
    auto second = makeBackEnd();
    ASSERT_TRUE(first && second);

    const auto ids = idsOf(*first);
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(idsOf(*first), ids);
    EXPECT_EQ(idsOf(*second), ids);
    for (DeviceId id : ids) {
        const auto mine = first->device(id);
        const auto theirs = second->device(id);
        ASSERT_TRUE(mine && theirs) << id;
        EXPECT_EQ(mine->id, id);
        EXPECT_EQ(theirs->id, id);
        EXPECT_EQ(theirs->name, mine->name);
    }
    EXPECT_EQ(second->defaultOutput(), first->defaultOutput());
    EXPECT_EQ(second->defaultInput(), first->defaultInput());
}

TEST_P(BackEndDevices, AnUnknownIdIsNoDevice) {
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    for (DeviceId id : {0u, 1u, 128u, 99999u}) EXPECT_FALSE(backEnd->device(id)) << id;
}

TEST_P(BackEndDevices, ANewSinkGetsANewIdAndGetsItBackWhenItReturns) {
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    const auto before = idsOf(*backEnd);
    const DeviceId mainId = idOf(*backEnd, "Vantrell_Main");
    const DeviceId highest = *std::max_element(before.begin(), before.end());

    DeviceId plugId = 0, plugMonitorId = 0;
    {
        NullSink plug("vantrell_e2e_plug", "Vantrell_Plug");
        ASSERT_TRUE(plug.loaded());
        plugId = idOf(*backEnd, plug.description());
        plugMonitorId = idOf(*backEnd, plug.monitorDescription());
        ASSERT_NE(plugId, 0u) << "the loaded sink is not listed";
        ASSERT_NE(plugMonitorId, 0u);
        EXPECT_GT(plugId, highest) << "a new device reused an id";
        EXPECT_GT(plugMonitorId, highest);
        EXPECT_NE(plugId, plugMonitorId);
        EXPECT_EQ(idOf(*backEnd, "Vantrell_Main"), mainId) << "a device appearing moved another's id";

        plug.unload();
        const auto after = idsOnceThey(*backEnd, before);
        EXPECT_EQ(std::count(after.begin(), after.end(), plugId), 0);
        EXPECT_FALSE(backEnd->device(plugId));
        EXPECT_EQ(after, before);
    }

    NullSink again("vantrell_e2e_plug", "Vantrell_Plug");
    ASSERT_TRUE(again.loaded());
    auto other = makeBackEnd();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(idOf(*backEnd, "Vantrell_Plug"), plugId);
    EXPECT_EQ(idOf(*other, "Vantrell_Plug"), plugId);
    EXPECT_EQ(idOf(*backEnd, "Monitor of Vantrell_Plug"), plugMonitorId);
    EXPECT_EQ(idOf(*backEnd, "Vantrell_Main"), mainId);
    if (GetParam() == std::string("rtaudio")) return; // the library knows devices by description only
    // Our back ends know a device by the server's own name: another sink of the same description is
    // another device, with an id of its own.
    again.unload();
    NullSink twin("vantrell_e2e_plug_twin", "Vantrell_Plug");
    ASSERT_TRUE(twin.loaded());
    const DeviceId twinId = waitFor([&] {
        const auto device = findDevice(*backEnd, "Vantrell_Plug");
        return device && device->id != plugId ? device->id : 0u;
    });
    EXPECT_GT(twinId, plugMonitorId) << "the twin is not listed under an id of its own";
}

TEST_P(BackEndDevices, ChangingTheDefaultsLeavesEveryIdAsItWas) {
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    auto idsByName = [&] {
        std::map<std::string, DeviceId> ids;
        for (const Device& device : backEnd->devices()) ids[device.name] = device.id;
        return ids;
    };
    const auto before = idsByName();
    const DeviceId altId = idOf(*backEnd, "Vantrell_Alt");
    const DeviceId altMonitorId = idOf(*backEnd, "Monitor of Vantrell_Alt");
    const DeviceId mainId = idOf(*backEnd, "Vantrell_Main");
    const DeviceId sineId = backEnd->defaultInput();
    ASSERT_TRUE(altId && altMonitorId && mainId && sineId);
    // Put back whatever happens below: the other tests rely on the script's defaults.
    struct Restore {
        ~Restore() {
            testsupport::runCommand("pactl set-default-sink vantrell_main");
            testsupport::runCommand("pactl set-default-source vantrell_sine");
        }
    } restore;

    testsupport::runCommand("pactl set-default-sink vantrell_alt");
    testsupport::runCommand("pactl set-default-source vantrell_alt.monitor");
    EXPECT_TRUE(waitUntil([&] { return backEnd->defaultOutput() == altId && backEnd->defaultInput() == altMonitorId; },
                          5s));
    EXPECT_EQ(idsByName(), before);
    const auto alt = backEnd->device(altId);
    ASSERT_TRUE(alt);
    EXPECT_TRUE(alt->isDefaultOutput);

    testsupport::runCommand("pactl set-default-sink vantrell_main");
    testsupport::runCommand("pactl set-default-source vantrell_sine");
    EXPECT_TRUE(
        waitUntil([&] { return backEnd->defaultOutput() == mainId && backEnd->defaultInput() == sineId; }, 5s));
    EXPECT_EQ(idsByName(), before);
}

// Listings are answered from the last list until the server announces a change: on the library's
// back end each enumeration would be a connection to the server (and memory it never gives back).
TEST_P(BackEndDevices, ListingsAskTheServerOnlyAfterItAnnouncesAChange) {
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    // The server numbers its clients in order; pactl lists itself last.
    auto latestClient = [] {
        const auto listing = testsupport::runCommand("pactl list short clients | cut -f1 | sort -n | tail -1");
        return std::stoul(listing.output);
    };
    std::this_thread::sleep_for(300ms); // the event subscription settles
    backEnd->devices();
    const unsigned long first = latestClient();
    for (int i = 0; i < 30; ++i) {
        const auto main = backEnd->device(idOf(*backEnd, "Vantrell_Main"));
        EXPECT_TRUE(main && main->name == "Vantrell_Main");
    }
    EXPECT_LE(latestClient() - first, 2u) << "listings opened connections of their own";

    NullSink plug("vantrell_e2e_listed", "Vantrell_Listed");
    ASSERT_TRUE(plug.loaded());
    EXPECT_NE(idOf(*backEnd, "Vantrell_Listed"), 0u) << "a new sink is not listed";
    testsupport::runCommand("pactl set-default-sink vantrell_e2e_listed");
    EXPECT_TRUE(waitUntil([&] { return backEnd->defaultOutput() == idOf(*backEnd, "Vantrell_Listed"); }, 3s));
    testsupport::runCommand("pactl set-default-sink vantrell_main");
    EXPECT_TRUE(waitUntil([&] { return backEnd->defaultOutput() == idOf(*backEnd, "Vantrell_Main"); }, 3s));
    // A change of one device (its description, renamed through the server's command socket, which
    // pactl cannot do) shows in the list, under the id it had.
    const char* pulseDir = std::getenv("VANTRELL_PULSE_DIR");
    if (GetParam() != "pulse" || !pulseDir) return;
    const DeviceId listed = idOf(*backEnd, "Vantrell_Listed");
    const std::string cli = std::string(pulseDir) + "/cli";
    testsupport::runCommand("pactl load-module module-cli-protocol-unix socket=" + cli);
    testsupport::runCommand(
        "python3 -c 'import socket, sys; s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); "
        "s.sendall(b\"update-sink-proplist vantrell_e2e_listed device.description=Vantrell_Renamed\\n\"); "
        "s.shutdown(socket.SHUT_WR); s.recv(100)' " + cli);
    EXPECT_TRUE(waitUntil([&] { return idOf(*backEnd, "Vantrell_Renamed") == listed; }, 3s));
    testsupport::runCommand("pactl unload-module module-cli-protocol-unix");
}

// --- Refusals come back as results ----------------------------------------------------------------

BACK_END_SUITE(BackEndRefusals);

TEST_P(BackEndRefusals, AStreamThatCannotBeOpenedIsRefusedWithTheReason) {
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    const DeviceId mainId = idOf(*backEnd, "Vantrell_Main");
    ASSERT_NE(mainId, 0u);
    auto log = std::make_shared<ReportLog>();
    DuplexProbe probe(2);
    auto open = [&](const audio::StreamConfig& config, audio::PeriodCallback callback = &DuplexProbe::callback) {
        return backEnd->open(config, callback, &probe, ReportLog::reportsFor(log));
    };

    auto unknown = open(config(99999, 2, 0, 0));
    EXPECT_EQ(unknown.stream, nullptr);
    EXPECT_EQ(unknown.result.fault(), Fault::InvalidDevice) << describe(unknown.result);
    EXPECT_NE(unknown.result.reason().find("99999"), std::string::npos) << unknown.result.reason();

    auto noCallback = open(config(mainId, 2, 0, 0), nullptr);
    EXPECT_EQ(noCallback.stream, nullptr);
    EXPECT_EQ(noCallback.result.fault(), Fault::InvalidParameter) << describe(noCallback.result);

    auto nothing = open(config(mainId, 0, 0, 0));
    EXPECT_EQ(nothing.stream, nullptr);
    EXPECT_FALSE(nothing.result.ok());
    EXPECT_FALSE(nothing.result.reason().empty());

    // The library refuses it as a system error; our back ends name the parameter.
    auto tooWide = open(config(mainId, 64, 0, 0));
    EXPECT_EQ(tooWide.stream, nullptr);
    EXPECT_EQ(tooWide.result.fault(), GetParam() == "rtaudio" ? Fault::System : Fault::InvalidParameter)
        << describe(tooWide.result);
    EXPECT_FALSE(tooWide.result.reason().empty());

    EXPECT_TRUE(log->entries().empty()) << "a refusal was also reported:\n" << log->describe();
}

// The server mixes at most 32 inputs into a sink: past 32 formats on one sink a stream is refused
// with the reason rather than started to starve, and one in a format already there still starts.
TEST_P(BackEndRefusals, PastThirtyTwoFormatsOnOneSinkAStreamIsRefusedNotStarved) {
    if (GetParam() != "pulse") GTEST_SKIP() << "only the engine's PulseAudio back end shares server streams";
    NullSink sink("vantrell_e2e_formats", "Vantrell_Formats");
    ASSERT_TRUE(sink.loaded());
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    auto log = std::make_shared<ReportLog>();
    DuplexProbe probe(2);
    std::vector<std::unique_ptr<audio::DeviceStream>> streams;
    std::vector<audio::Result> starts;
    for (unsigned int k = 0; k <= 33; ++k) {
        auto settings = config(idOf(*backEnd, sink.description()), 2, 0, 0);
        settings.periodFrames = kPeriod + 16 * (k == 33 ? 0 : k);
        auto opened = backEnd->open(settings, &DuplexProbe::callback, &probe, ReportLog::reportsFor(log));
        ASSERT_NE(opened.stream, nullptr) << describe(opened.result);
        starts.push_back(opened.stream->start());
        streams.push_back(std::move(opened.stream));
    }
    for (unsigned int k = 0; k < 32; ++k) EXPECT_TRUE(starts[k].ok()) << k << ": " << describe(starts[k]);
    EXPECT_FALSE(starts[32].ok());
    EXPECT_FALSE(streams[32]->isRunning());
    EXPECT_NE(starts[32].reason().find("Vantrell_Formats"), std::string::npos) << describe(starts[32]);
    EXPECT_TRUE(starts[33].ok()) << "a format already on the sink: " << describe(starts[33]);
}

TEST_P(BackEndRefusals, StartingAndStoppingTwiceAreWarningsOnly) {
    auto backEnd = makeBackEnd();
    ASSERT_NE(backEnd, nullptr);
    auto log = std::make_shared<ReportLog>();
    DuplexProbe probe(2);
    auto opened = backEnd->open(config(idOf(*backEnd, "Vantrell_Main"), 2, 0, 0), &DuplexProbe::callback, &probe,
                                ReportLog::reportsFor(log));
    ASSERT_NE(opened.stream, nullptr) << describe(opened.result);
    ASSERT_TRUE(opened.result.ok()) << describe(opened.result);
    auto& stream = *opened.stream;

    EXPECT_FALSE(stream.isRunning());
    EXPECT_EQ(stream.stop().fault(), Fault::Warning) << "stop before start";
    ASSERT_TRUE(stream.start().ok());
    EXPECT_TRUE(stream.isRunning());
    EXPECT_EQ(stream.start().fault(), Fault::Warning) << "start while running";
    EXPECT_TRUE(stream.isRunning());
    EXPECT_TRUE(stream.stop().ok());
    EXPECT_FALSE(stream.isRunning());
    EXPECT_EQ(stream.stop().fault(), Fault::Warning) << "stop twice";
    // Started again after a stop, it runs periods again.
    const unsigned int periods = probe.periods.load();
    ASSERT_TRUE(stream.start().ok());
    EXPECT_TRUE(waitUntil([&] { return probe.periods.load() > periods + 10; }, 5s));
    opened.stream.reset();
    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

} // namespace
