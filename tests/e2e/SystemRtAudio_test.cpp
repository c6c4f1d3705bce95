// The audio layer over the installed library, against the private PulseAudio started by the test
// script: vantrell_main ("Vantrell_Main", 48000 Hz, default sink), vantrell_alt ("Vantrell_Alt",
// 44100 Hz) and vantrell_sine (a 440 Hz mono sine at 48000 Hz, default source).

#include "engine/audio/RtAudio.hpp"

#include "PulseTools.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using audio::RtAudio;
using testsupport::NullSink;

constexpr unsigned int kRate = 48000;
constexpr unsigned int kPeriod = 256;
constexpr double kSineHz = 440.0;
constexpr float kSineAmplitude = 0.5f; // module-sine-source's level
const double kSineRms = kSineAmplitude / std::sqrt(2.0);

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Everything an instance reported, with the thread it came from. Shared with the callback, so a
// report still in flight when the test ends has somewhere to go.
class ErrorLog {
public:
    struct Entry {
        audio::RtAudioErrorType type;
        std::string text;
        std::thread::id thread;
    };

    static audio::RtAudioErrorCallback callbackFor(const std::shared_ptr<ErrorLog>& log) {
        return [log](audio::RtAudioErrorType type, const std::string& text) {
            std::lock_guard<std::mutex> guard(log->mutex_);
            log->entries_.push_back({type, text, std::this_thread::get_id()});
        };
    }

    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return entries_;
    }
    std::vector<Entry> ofType(audio::RtAudioErrorType type) const {
        auto all = entries();
        std::erase_if(all, [&](const Entry& e) { return e.type != type; });
        return all;
    }
    std::string describe() const {
        std::string text;
        for (const auto& e : entries()) text += "  [" + std::to_string(e.type) + "] " + e.text + "\n";
        return text.empty() ? "  (nothing)\n" : text;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

// The stream callback the tests open: copies the mono input to every output channel and keeps the
// first second of input for analysis. Its storage is allocated before the stream starts.
struct DuplexProbe {
    explicit DuplexProbe(unsigned int outputChannels) : outputChannels(outputChannels), input(kRate) {}

    static int callback(void* outputBuffer, void* inputBuffer, unsigned int nFrames, double,
                        audio::RtAudioStreamStatus, void* userData) {
        auto* self = static_cast<DuplexProbe*>(userData);
        self->audioThread.store(std::this_thread::get_id());
        if (nFrames != kPeriod) self->wrongSizedPeriods.fetch_add(1);
        if (inputBuffer) self->periodsWithInput.fetch_add(1);
        if (outputBuffer) self->periodsWithOutput.fetch_add(1);
        const auto* in = static_cast<const float*>(inputBuffer);
        auto* out = static_cast<float*>(outputBuffer);
        if (out) {
            for (unsigned int frame = 0; frame < nFrames; ++frame)
                for (unsigned int channel = 0; channel < self->outputChannels; ++channel)
                    out[frame * self->outputChannels + channel] = in ? in[frame] : 0.0f;
        }
        if (in) {
            const std::size_t at = self->kept.load();
            const std::size_t n = std::min<std::size_t>(nFrames, self->input.size() - at);
            std::copy(in, in + n, self->input.begin() + static_cast<std::ptrdiff_t>(at));
            self->kept.store(at + n);
        }
        self->periods.fetch_add(1);
        return 0;
    }

    const unsigned int outputChannels;
    std::vector<float> input;
    std::atomic<std::size_t> kept{0};
    std::atomic<unsigned int> periods{0};
    std::atomic<unsigned int> wrongSizedPeriods{0};
    std::atomic<unsigned int> periodsWithInput{0};
    std::atomic<unsigned int> periodsWithOutput{0};
    std::atomic<std::thread::id> audioThread{};
};

class SystemRtAudioTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(testsupport::pulseServer().empty()) << testsupport::missingPulseServerMessage(); }

    static std::shared_ptr<RtAudio> makeInstance(const std::shared_ptr<ErrorLog>& log) {
        auto instance = audio::systemRtAudioFactory()(log ? ErrorLog::callbackFor(log) : audio::RtAudioErrorCallback{});
        EXPECT_NE(instance, nullptr) << "the factory made no instance";
        return instance;
    }

    static std::optional<RtAudio::DeviceInfo> findDevice(RtAudio& audio, const std::string& name) {
        for (unsigned int id : audio.getDeviceIds()) {
            RtAudio::DeviceInfo info = audio.getDeviceInfo(id);
            if (info.name == name) return info;
        }
        return std::nullopt;
    }

    static unsigned int idOf(RtAudio& audio, const std::string& name) {
        auto info = findDevice(audio, name);
        return info ? info->ID : 0;
    }

    // Sine source in, `outputId` out, kPeriod frames at kRate.
    static audio::RtAudioErrorType openDuplex(RtAudio& audio, unsigned int outputId, DuplexProbe& probe) {
        RtAudio::StreamParameters output{outputId, probe.outputChannels, 0};
        RtAudio::StreamParameters input{audio.getDefaultInputDevice(), 1, 0};
        unsigned int frames = kPeriod;
        const auto code = audio.openStream(&output, &input, audio::RTAUDIO_FLOAT32, kRate, &frames,
                                           &DuplexProbe::callback, &probe);
        EXPECT_EQ(frames, kPeriod) << "the library settled on another period size";
        return code;
    }
};

// --- Devices --------------------------------------------------------------------------------------

using SystemRtAudioDevices = SystemRtAudioTest;

TEST_F(SystemRtAudioDevices, ServerDevicesComeWithTheirNamesChannelsRatesAndDefaults) {
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
    // A server's device lists the standard rates up to the one it runs at, so the highest rate two
    // devices share is their native rate and the server resamples nothing.
    EXPECT_EQ(main->sampleRates, (std::vector<unsigned int>{8000, 16000, 22050, 32000, 44100, 48000}));

    const auto alt = findDevice(*audio, "Vantrell_Alt");
    ASSERT_TRUE(alt);
    EXPECT_EQ(alt->outputChannels, 2u);
    EXPECT_EQ(alt->preferredSampleRate, 44100u);
    EXPECT_EQ(alt->sampleRates, (std::vector<unsigned int>{8000, 16000, 22050, 32000, 44100}));
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

TEST_F(SystemRtAudioDevices, IdsAgreeAcrossInstancesAndEnumerations) {
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

TEST_F(SystemRtAudioDevices, AnUnknownIdAnswersAnEmptyDevice) {
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

TEST_F(SystemRtAudioDevices, ANewSinkGetsANewIdAndGetsItBackWhenItReturns) {
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
        const auto after = audio->getDeviceIds();
        EXPECT_EQ(std::count(after.begin(), after.end(), plugId), 0);
        EXPECT_EQ(audio->getDeviceInfo(plugId).ID, 0u);
        EXPECT_EQ(after, before);
    }

    NullSink again("vantrell_e2e_plug_again", "Vantrell_Plug");
    ASSERT_TRUE(again.loaded());
    auto other = makeInstance(nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(idOf(*audio, "Vantrell_Plug"), plugId);
    EXPECT_EQ(idOf(*other, "Vantrell_Plug"), plugId);
    EXPECT_EQ(idOf(*audio, "Monitor of Vantrell_Plug"), plugMonitorId);
    EXPECT_EQ(idOf(*audio, "Vantrell_Main"), mainId);
}

// --- Streams --------------------------------------------------------------------------------------

using SystemRtAudioStreams = SystemRtAudioTest;

TEST_F(SystemRtAudioStreams, DuplexStreamDeliversRequestedFloatPeriodsCarryingTheSine) {
    NullSink sink("vantrell_e2e_duplex", "Vantrell_Duplex");
    ASSERT_TRUE(sink.loaded());
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);
    DuplexProbe probe(2);

    ASSERT_EQ(openDuplex(*audio, idOf(*audio, sink.description()), probe), audio::RTAUDIO_NO_ERROR) << log->describe();
    EXPECT_TRUE(audio->isStreamOpen());
    EXPECT_FALSE(audio->isStreamRunning());
    ASSERT_EQ(audio->startStream(), audio::RTAUDIO_NO_ERROR) << log->describe();
    EXPECT_TRUE(audio->isStreamRunning());

    const bool filled = waitUntil([&] { return probe.kept.load() == probe.input.size(); }, 6s);
    EXPECT_EQ(audio->stopStream(), audio::RTAUDIO_NO_ERROR);
    EXPECT_FALSE(audio->isStreamRunning());
    audio->closeStream();
    EXPECT_FALSE(audio->isStreamOpen());

    ASSERT_TRUE(filled) << "only " << probe.kept.load() << " input frames in 6 s";
    EXPECT_GE(probe.periods.load(), kRate / kPeriod);
    EXPECT_EQ(probe.wrongSizedPeriods.load(), 0u);
    EXPECT_EQ(probe.periodsWithInput.load(), probe.periods.load());
    EXPECT_EQ(probe.periodsWithOutput.load(), probe.periods.load());

    // The first 100 ms are start-up; judge the rest.
    const auto tone = testsupport::estimateTone(probe.input, 1, 0, kRate, kRate / 10);
    EXPECT_NEAR(tone.frequency, kSineHz, 2.0);
    EXPECT_NEAR(tone.rms, kSineRms, 0.05) << "the input is not the sine at its level (float samples?)";
    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

TEST_F(SystemRtAudioStreams, WhatTheStreamPlaysReachesTheSink) {
    NullSink sink("vantrell_e2e_playback", "Vantrell_Playback");
    ASSERT_TRUE(sink.loaded());
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);
    DuplexProbe probe(2);
    ASSERT_EQ(openDuplex(*audio, idOf(*audio, sink.description()), probe), audio::RTAUDIO_NO_ERROR) << log->describe();

    // Nothing plays yet: the sink must be silent, or the tone below would prove nothing.
    const auto before = testsupport::recordMonitor(sink.sinkName(), 2, kRate, 300ms);
    ASSERT_GT(before.size(), 0u) << "parec recorded nothing";
    EXPECT_LT(testsupport::estimateTone(before, 2, 0, kRate).rms, 1e-3);

    ASSERT_EQ(audio->startStream(), audio::RTAUDIO_NO_ERROR) << log->describe();
    // The test server's sources and sinks move audio in large blocks at first; record once the
    // sine is flowing through the stream.
    ASSERT_TRUE(waitUntil([&] { return probe.kept.load() >= kRate / 10; }, 5s)) << "no input reached the stream";
    const auto recorded = testsupport::recordMonitor(sink.sinkName(), 2, kRate, 1000ms);
    audio->stopStream();
    audio->closeStream();

    ASSERT_GE(recorded.size(), static_cast<std::size_t>(kRate * 2 * 9 / 10)) << "parec delivered too little";
    for (unsigned int channel = 0; channel < 2; ++channel) {
        const auto tone = testsupport::estimateTone(recorded, 2, channel, kRate, kRate / 10);
        EXPECT_NEAR(tone.frequency, kSineHz, 3.0) << "channel " << channel;
        EXPECT_GT(tone.rms, kSineRms * 0.7) << "channel " << channel;
    }
    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

TEST_F(SystemRtAudioStreams, ADirectionWithoutChannelsIsNotOpened) {
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);
    DuplexProbe probe(0);
    // The output names no device at all; with no channels it must not be looked up.
    RtAudio::StreamParameters output{99999, 0, 0};
    RtAudio::StreamParameters input{audio->getDefaultInputDevice(), 1, 0};
    unsigned int frames = kPeriod;
    ASSERT_EQ(audio->openStream(&output, &input, audio::RTAUDIO_FLOAT32, kRate, &frames, &DuplexProbe::callback,
                                &probe),
              audio::RTAUDIO_NO_ERROR)
        << log->describe();
    ASSERT_EQ(audio->startStream(), audio::RTAUDIO_NO_ERROR);
    EXPECT_TRUE(waitUntil([&] { return probe.periods.load() > 10; }, 5s));
    audio->closeStream();
    EXPECT_FALSE(audio->isStreamOpen());
    EXPECT_GT(probe.periods.load(), 0u);
    EXPECT_EQ(probe.periodsWithInput.load(), probe.periods.load());
    EXPECT_EQ(probe.periodsWithOutput.load(), 0u) << "an output was opened";
    EXPECT_TRUE(log->entries().empty()) << log->describe();
}

// --- Failures come back as codes ------------------------------------------------------------------

using SystemRtAudioErrors = SystemRtAudioTest;

TEST_F(SystemRtAudioErrors, MisuseAnswersCodesAndReportsTheReason) {
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

        // The library's own refusal, mapped to our numbering.
        RtAudio::StreamParameters tooWide{mainId, 64, 0};
        EXPECT_EQ(audio->openStream(&tooWide, nullptr, audio::RTAUDIO_FLOAT32, kRate, &frames,
                                    &DuplexProbe::callback, &probe),
                  audio::RTAUDIO_SYSTEM_ERROR);
        EXPECT_FALSE(audio->isStreamOpen());
        const auto system = log->ofType(audio::RTAUDIO_SYSTEM_ERROR);
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

TEST_F(SystemRtAudioErrors, AnInstanceWithoutAnErrorCallbackStillAnswersCodes) {
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

// --- Lost devices ---------------------------------------------------------------------------------

using SystemRtAudioDisconnect = SystemRtAudioTest;

TEST_F(SystemRtAudioDisconnect, AnUnloadedSinkIsReportedOnceToTheInstanceUsingIt) {
    NullSink doomed("vantrell_e2e_doomed", "Vantrell_Doomed");
    ASSERT_TRUE(doomed.loaded());

    auto usingLog = std::make_shared<ErrorLog>();
    auto bystanderLog = std::make_shared<ErrorLog>();
    auto usingIt = makeInstance(usingLog);
    auto bystander = makeInstance(bystanderLog);
    ASSERT_TRUE(usingIt && bystander);
    DuplexProbe usingProbe(2), bystanderProbe(2);
    ASSERT_EQ(openDuplex(*usingIt, idOf(*usingIt, doomed.description()), usingProbe), audio::RTAUDIO_NO_ERROR)
        << usingLog->describe();
    ASSERT_EQ(openDuplex(*bystander, idOf(*bystander, "Vantrell_Main"), bystanderProbe), audio::RTAUDIO_NO_ERROR)
        << bystanderLog->describe();
    ASSERT_EQ(usingIt->startStream(), audio::RTAUDIO_NO_ERROR);
    ASSERT_EQ(bystander->startStream(), audio::RTAUDIO_NO_ERROR);
    ASSERT_TRUE(waitUntil([&] { return usingProbe.periods.load() > 10 && bystanderProbe.periods.load() > 10; }, 5s));

    doomed.unload();
    const bool reported = waitUntil([&] { return !usingLog->ofType(audio::RTAUDIO_DEVICE_DISCONNECT).empty(); }, 4s);
    // Long enough for two more polls: a second report would show up here.
    std::this_thread::sleep_for(2500ms);

    EXPECT_TRUE(reported) << "no disconnect within 4 s; reports:\n" << usingLog->describe();
    const auto disconnects = usingLog->ofType(audio::RTAUDIO_DEVICE_DISCONNECT);
    ASSERT_EQ(disconnects.size(), 1u) << usingLog->describe();
    EXPECT_NE(disconnects[0].text.find("Vantrell_Doomed"), std::string::npos) << disconnects[0].text;
    EXPECT_NE(disconnects[0].thread, usingProbe.audioThread.load()) << "reported from inside the audio callback";
    EXPECT_NE(disconnects[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(bystanderLog->ofType(audio::RTAUDIO_DEVICE_DISCONNECT).empty()) << bystanderLog->describe();

    auto finish = [&] {
        usingIt->stopStream();
        usingIt->closeStream();
        bystander->stopStream();
        bystander->closeStream();
    };
    EXPECT_NO_THROW(finish());
}

TEST_F(SystemRtAudioDisconnect, EachOpenedStreamIsReportedOnItsOwn) {
    auto log = std::make_shared<ErrorLog>();
    auto audio = makeInstance(log);
    ASSERT_NE(audio, nullptr);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        NullSink doomed("vantrell_e2e_doomed_" + std::to_string(round), "Vantrell_Doomed_" + std::to_string(round));
        ASSERT_TRUE(doomed.loaded());
        DuplexProbe probe(2);
        ASSERT_EQ(openDuplex(*audio, idOf(*audio, doomed.description()), probe), audio::RTAUDIO_NO_ERROR);
        ASSERT_EQ(audio->startStream(), audio::RTAUDIO_NO_ERROR);
        doomed.unload();
        EXPECT_TRUE(waitUntil([&] { return log->ofType(audio::RTAUDIO_DEVICE_DISCONNECT).size() == round + 1u; }, 4s))
            << log->describe();
        audio->stopStream();
        audio->closeStream();
    }
    const auto disconnects = log->ofType(audio::RTAUDIO_DEVICE_DISCONNECT);
    ASSERT_EQ(disconnects.size(), 2u) << log->describe();
    EXPECT_NE(disconnects[0].text.find("Vantrell_Doomed_0"), std::string::npos);
    EXPECT_NE(disconnects[1].text.find("Vantrell_Doomed_1"), std::string::npos);
}

} // namespace
