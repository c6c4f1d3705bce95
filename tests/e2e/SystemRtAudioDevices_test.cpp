// The audio layer on the private PulseAudio: devices, their ids, and failures answered as codes.

#include "SystemRtAudioFixture.hpp"

using namespace systemaudiotest;
using namespace std::chrono_literals;

namespace {

// --- Devices --------------------------------------------------------------------------------------

SYSTEM_AUDIO_SUITE(SystemRtAudioDevices);

TEST_P(SystemRtAudioDevices, ServerDevicesComeWithTheirNamesChannelsRatesAndDefaults) {
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);

    const auto ids = audio->getDeviceIds();
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(std::set<unsigned int>(ids.begin(), ids.end()).size(), ids.size()) << "ids repeat";
    for (unsigned int id : ids) EXPECT_GE(id, 129u);

    const auto main = findDevice(*audio, "Vantrell_Main");
    ASSERT_TRUE(main);
    EXPECT_EQ(main->outputChannels, 2u);
    EXPECT_EQ(main->inputChannels, 0u);
    EXPECT_EQ(main->preferredSampleRate, 48000u);
    EXPECT_TRUE(main->isDefaultOutput);
    EXPECT_FALSE(main->isDefaultInput);

    const auto alt = findDevice(*audio, "Vantrell_Alt");
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

    const auto monitor = findDevice(*audio, "Monitor of Vantrell_Alt");
    ASSERT_TRUE(monitor);
    EXPECT_EQ(monitor->inputChannels, 2u);
    EXPECT_EQ(monitor->outputChannels, 0u);
    EXPECT_EQ(monitor->preferredSampleRate, 44100u);

    EXPECT_EQ(audio->getDefaultOutputDevice(), main->ID);
    const auto sine = audio->getDeviceInfo(audio->getDefaultInputDevice());
    EXPECT_NE(sine.ID, 0u);
    EXPECT_NE(sine.name.find("440"), std::string::npos) << sine.name;
    EXPECT_EQ(sine.inputChannels, 1u);
    EXPECT_EQ(sine.outputChannels, 0u);
    EXPECT_EQ(sine.preferredSampleRate, 48000u);
    EXPECT_TRUE(sine.isDefaultInput);

    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

TEST_P(SystemRtAudioDevices, IdsAgreeAcrossInstancesAndEnumerations) {
    auto first = makeInstance(nullptr);
    auto second = makeInstance(nullptr);
    ASSERT_TRUE(first && second);

    const auto ids = first->getDeviceIds();
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(first->getDeviceIds(), ids);
    EXPECT_EQ(second->getDeviceIds(), ids);
    for (unsigned int id : ids) {
        const auto mine = first->getDeviceInfo(id);
        const auto theirs = second->getDeviceInfo(id);
        EXPECT_EQ(mine.ID, id);
        EXPECT_EQ(theirs.ID, id);
        EXPECT_EQ(theirs.name, mine.name);
    }
    EXPECT_EQ(second->getDefaultOutputDevice(), first->getDefaultOutputDevice());
    EXPECT_EQ(second->getDefaultInputDevice(), first->getDefaultInputDevice());
}

TEST_P(SystemRtAudioDevices, AnUnknownIdAnswersAnEmptyDevice) {
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);
    for (unsigned int id : {0u, 1u, 128u, 99999u}) {
        const auto info = audio->getDeviceInfo(id);
        EXPECT_EQ(info.ID, 0u) << id;
        EXPECT_TRUE(info.name.empty()) << id;
        EXPECT_EQ(info.outputChannels + info.inputChannels + info.duplexChannels, 0u) << id;
        EXPECT_TRUE(info.sampleRates.empty()) << id;
    }
}

TEST_P(SystemRtAudioDevices, ANewSinkGetsANewIdAndGetsItBackWhenItReturns) {
    auto audio = makeInstance(nullptr);
    ASSERT_NE(audio, nullptr);
    const auto before = audio->getDeviceIds();
    const unsigned int mainId = idOf(*audio, "Vantrell_Main");
    const unsigned int highest = *std::max_element(before.begin(), before.end());

    unsigned int plugId = 0, plugMonitorId = 0;
    {
        NullSink plug("vantrell_e2e_plug", "Vantrell_Plug");
        ASSERT_TRUE(plug.loaded());
        plugId = idOf(*audio, plug.description());
        plugMonitorId = idOf(*audio, plug.monitorDescription());
        ASSERT_NE(plugId, 0u) << "the loaded sink is not listed";
        ASSERT_NE(plugMonitorId, 0u);
        EXPECT_GT(plugId, highest) << "a new device reused an id";
        EXPECT_GT(plugMonitorId, highest);
        EXPECT_NE(plugId, plugMonitorId);
        EXPECT_EQ(idOf(*audio, "Vantrell_Main"), mainId) << "a device appearing moved another's id";

        plug.unload();
        const auto after = idsOnceThey(*audio, before);
        EXPECT_EQ(std::count(after.begin(), after.end(), plugId), 0);
        EXPECT_EQ(audio->getDeviceInfo(plugId).ID, 0u);
        EXPECT_EQ(after, before);
    }

    NullSink again("vantrell_e2e_plug", "Vantrell_Plug");
    ASSERT_TRUE(again.loaded());
    auto other = makeInstance(nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(idOf(*audio, "Vantrell_Plug"), plugId);
    EXPECT_EQ(idOf(*other, "Vantrell_Plug"), plugId);
    EXPECT_EQ(idOf(*audio, "Monitor of Vantrell_Plug"), plugMonitorId);
    EXPECT_EQ(idOf(*audio, "Vantrell_Main"), mainId);
    if (GetParam() != std::string("pulse")) return; // the library knows devices by description only
    // Our back end knows a device by the server's own name: another sink of the same description is
    // another device, with an id of its own.
    again.unload();
    NullSink twin("vantrell_e2e_plug_twin", "Vantrell_Plug");
    ASSERT_TRUE(twin.loaded());
    const unsigned int twinId = waitFor([&] {
        const auto info = findDevice(*audio, "Vantrell_Plug");
        return info && info->ID != plugId ? info->ID : 0u;
    });
    EXPECT_GT(twinId, plugMonitorId) << "the twin is not listed under an id of its own";
}

// Listings are answered from the last list until the server announces a change: each enumeration
// would be a connection to the server (and memory the library never gives back).
TEST_P(SystemRtAudioDevices, ListingsAskTheServerOnlyAfterItAnnouncesAChange) {
    auto audio = makeInstance(nullptr);
    ASSERT_NE(audio, nullptr);
    // The server numbers its clients in order; pactl lists itself last.
    auto latestClient = [] {
        const auto listing = testsupport::runCommand("pactl list short clients | cut -f1 | sort -n | tail -1");
        return std::stoul(listing.output);
    };
    auto until = [](auto done) {
        for (auto deadline = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(20ms))
            if (done()) return true;
        return false;
    };
    std::this_thread::sleep_for(300ms); // the event subscription settles
    audio->getDeviceIds();
    const unsigned long first = latestClient();
    for (int i = 0; i < 30; ++i) EXPECT_EQ(audio->getDeviceInfo(idOf(*audio, "Vantrell_Main")).name, "Vantrell_Main");
    EXPECT_LE(latestClient() - first, 2u) << "listings opened connections of their own";

    NullSink plug("vantrell_e2e_listed", "Vantrell_Listed");
    ASSERT_TRUE(plug.loaded());
    EXPECT_TRUE(until([&] { return idOf(*audio, "Vantrell_Listed") != 0; })) << "a new sink is not listed";
    testsupport::runCommand("pactl set-default-sink vantrell_e2e_listed");
    EXPECT_TRUE(until([&] { return audio->getDefaultOutputDevice() == idOf(*audio, "Vantrell_Listed"); }));
    testsupport::runCommand("pactl set-default-sink vantrell_main");
    EXPECT_TRUE(until([&] { return audio->getDefaultOutputDevice() == idOf(*audio, "Vantrell_Main"); }));
}

// --- Failures come back as codes ------------------------------------------------------------------

SYSTEM_AUDIO_SUITE(SystemRtAudioErrors);

TEST_P(SystemRtAudioErrors, MisuseAnswersCodesAndReportsTheReason) {
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);
    const unsigned int mainId = idOf(*audio, "Vantrell_Main");
    ASSERT_NE(mainId, 0u);
    DuplexProbe probe(2);
    unsigned int frames = kPeriod;

    // Every step runs inside EXPECT_NO_THROW: nothing may escape the layer.
    auto misuse = [&] {
        EXPECT_EQ(audio->stopStream(), audio::RTAUDIO_WARNING) << "stop with nothing open";
        const auto reported = log->entries().size();
        audio->closeStream();
        EXPECT_EQ(log->entries().size(), reported) << "closing nothing is not an error";
        EXPECT_EQ(audio->startStream(), audio::RTAUDIO_INVALID_USE) << "start with nothing open";

        RtAudio::StreamParameters unknown{99999, 2, 0};
        EXPECT_EQ(audio->openStream(&unknown, nullptr, audio::RTAUDIO_FLOAT32, kRate, &frames,
                                    &DuplexProbe::callback, &probe),
                  audio::RTAUDIO_INVALID_DEVICE);
        EXPECT_FALSE(audio->isStreamOpen());
        const auto invalid = log->ofType(audio::RTAUDIO_INVALID_DEVICE);
        ASSERT_EQ(invalid.size(), 1u) << log->describe();
        EXPECT_NE(invalid[0].text.find("99999"), std::string::npos) << invalid[0].text;

        // The library's own refusal is mapped to our numbering; our back end names the parameter.
        const auto tooWideCode = GetParam() == "pulse" ? audio::RTAUDIO_INVALID_PARAMETER : audio::RTAUDIO_SYSTEM_ERROR;
        RtAudio::StreamParameters tooWide{mainId, 64, 0};
        EXPECT_EQ(audio->openStream(&tooWide, nullptr, audio::RTAUDIO_FLOAT32, kRate, &frames,
                                    &DuplexProbe::callback, &probe),
                  tooWideCode);
        EXPECT_FALSE(audio->isStreamOpen());
        const auto system = log->ofType(tooWideCode);
        ASSERT_EQ(system.size(), 1u) << log->describe();
        EXPECT_FALSE(system[0].text.empty());

        RtAudio::StreamParameters output{mainId, 2, 0};
        frames = kPeriod;
        ASSERT_EQ(audio->openStream(&output, nullptr, audio::RTAUDIO_FLOAT32, kRate, &frames,
                                    &DuplexProbe::callback, &probe),
                  audio::RTAUDIO_NO_ERROR)
            << log->describe();
        EXPECT_EQ(audio->stopStream(), audio::RTAUDIO_WARNING) << "stop before start";
        EXPECT_EQ(audio->openStream(&output, nullptr, audio::RTAUDIO_FLOAT32, kRate, &frames,
                                    &DuplexProbe::callback, &probe),
                  audio::RTAUDIO_INVALID_USE)
            << "a second open on an open instance";
        EXPECT_TRUE(audio->isStreamOpen());
        EXPECT_EQ(audio->startStream(), audio::RTAUDIO_NO_ERROR);
        EXPECT_EQ(audio->startStream(), audio::RTAUDIO_WARNING) << "start while running";
        EXPECT_EQ(audio->stopStream(), audio::RTAUDIO_NO_ERROR);
        EXPECT_EQ(audio->stopStream(), audio::RTAUDIO_WARNING) << "stop twice";
        audio->closeStream();
        audio->closeStream();
        EXPECT_FALSE(audio->isStreamOpen());
    };
    EXPECT_NO_THROW(misuse());
    for (const auto& entry : log->entries()) EXPECT_FALSE(entry.text.empty());
}

TEST_P(SystemRtAudioErrors, AnInstanceWithoutAnErrorCallbackStillAnswersCodes) {
    auto audio = makeInstance(nullptr);
    ASSERT_NE(audio, nullptr);
    DuplexProbe probe(2);
    unsigned int frames = kPeriod;
    RtAudio::StreamParameters unknown{99999, 2, 0};
    auto misuse = [&] {
        EXPECT_EQ(audio->openStream(&unknown, nullptr, audio::RTAUDIO_FLOAT32, kRate, &frames,
                                    &DuplexProbe::callback, &probe),
                  audio::RTAUDIO_INVALID_DEVICE);
        EXPECT_EQ(audio->startStream(), audio::RTAUDIO_INVALID_USE);
        EXPECT_EQ(audio->stopStream(), audio::RTAUDIO_WARNING);
        EXPECT_EQ(audio->getDeviceInfo(99999).ID, 0u);
    };
    EXPECT_NO_THROW(misuse());
}

} // namespace
