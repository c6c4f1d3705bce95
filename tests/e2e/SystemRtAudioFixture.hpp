#pragma once

// The audio layer's back ends (the installed library's, and the engine's own on the sound server),
// each against the private PulseAudio started by the test script: vantrell_main ("Vantrell_Main", 48000 Hz, default sink), vantrell_alt ("Vantrell_Alt",
// 44100 Hz) and vantrell_sine (a 440 Hz mono sine at 48000 Hz, default source).
// Shared by the device and the stream tests of the audio layer.

#include "audio/pulse/PulseRtAudio.hpp"
#include "audio/RtAudio.hpp"

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

namespace systemaudiotest {

using namespace std::chrono_literals;
using audio::RtAudio;
using testsupport::NullSink;

constexpr unsigned int kRate = 48000;
constexpr unsigned int kPeriod = 256;
constexpr double kSineHz = 440.0;
constexpr float kSineAmplitude = 0.5f; // module-sine-source's level
const double kSineRms = kSineAmplitude / std::sqrt(2.0);

inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
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

// Every test runs on each back end: the interface's contract is the same for both.
class SystemRtAudioTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { ASSERT_FALSE(testsupport::pulseServer().empty()) << testsupport::missingPulseServerMessage(); }

    std::shared_ptr<RtAudio> makeInstance(const std::shared_ptr<ErrorLog>& log) const {
        const auto factory = GetParam() == "pulse" ? audio::pulseRtAudioFactory() : audio::systemRtAudioFactory();
        auto instance = factory(log ? ErrorLog::callbackFor(log) : audio::RtAudioErrorCallback{});
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

    // The probe's first true value, or its last one after 5 s.
    template <typename Probe>
    static auto waitFor(Probe probe) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            const auto value = probe();
            if (value || std::chrono::steady_clock::now() >= deadline) return value;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Listings follow the server's announcements, which arrive after pactl returns: a device just
    // loaded is waited for (up to 5 s); 0 when it never shows.
    static unsigned int idOf(RtAudio& audio, const std::string& name) {
        return waitFor([&] {
            auto info = findDevice(audio, name);
            return info ? info->ID : 0u;
        });
    }

    // The device ids once they equal `expected` (up to 5 s), or the last listing seen.
    static std::vector<unsigned int> idsOnceThey(RtAudio& audio, const std::vector<unsigned int>& expected) {
        std::vector<unsigned int> ids;
        waitFor([&] { return (ids = audio.getDeviceIds()) == expected; });
        return ids;
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

// Declares a suite of the fixture run on both back ends.
#define SYSTEM_AUDIO_SUITE(Suite)                                                                            \
    class Suite : public SystemRtAudioTest {};                                                               \
    INSTANTIATE_TEST_SUITE_P(BackEnds, Suite, ::testing::Values("rtaudio", "pulse"),                         \
                             [](const auto& info) { return info.param; })

} // namespace systemaudiotest
