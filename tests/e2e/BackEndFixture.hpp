#pragma once

// The audio layer's back ends (the installed library's, and the engine's own on the sound server),
// each against the private PulseAudio started by the test script: vantrell_main ("Vantrell_Main",
// 48000 Hz, default sink), vantrell_alt ("Vantrell_Alt", 44100 Hz) and vantrell_sine (a 440 Hz mono
// sine at 48000 Hz, default source). Shared by the device and the stream tests of the audio layer.

#include "audio/BackEnd.hpp"
#include "audio/pipewire/PipeWireBackEnd.hpp"
#include "audio/pulse/PulseBackEnd.hpp"
#include "audio/rtaudio/RtAudioBackEnd.hpp"

#include "PulseTools.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace backendtest {

using namespace std::chrono_literals;
using audio::BackEnd;
using audio::Device;
using audio::DeviceId;
using audio::Fault;
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

// Everything a stream reported, with the thread it came from. Shared with the reports, so one still
// in flight when the test ends has somewhere to go.
class ReportLog {
public:
    struct Entry {
        Fault fault;
        std::string reason;
        std::thread::id thread;
    };

    static audio::StreamReports reportsFor(const std::shared_ptr<ReportLog>& log) {
        return [log](const audio::Result& report) {
            std::lock_guard<std::mutex> guard(log->mutex_);
            log->entries_.push_back({report.fault(), report.reason(), std::this_thread::get_id()});
        };
    }

    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return entries_;
    }
    std::vector<Entry> of(Fault fault) const {
        auto all = entries();
        std::erase_if(all, [&](const Entry& e) { return e.fault != fault; });
        return all;
    }
    std::string describe() const {
        std::string text;
        for (const auto& e : entries()) text += "  [" + std::to_string(int(e.fault)) + "] " + e.reason + "\n";
        return text.empty() ? "  (nothing)\n" : text;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

inline std::string describe(const audio::Result& result) {
    return "[" + std::to_string(int(result.fault())) + "] " + result.reason();
}

// The period callback the tests open: copies the mono input to every output channel and keeps the
// first second of input for analysis. Its storage is allocated before the stream starts.
struct DuplexProbe {
    explicit DuplexProbe(unsigned int outputChannels) : outputChannels(outputChannels), input(kRate) {}

    static int callback(void* outputBuffer, void* inputBuffer, unsigned int nFrames, double, audio::StreamStatus,
                        void* userData) {
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

// Every test runs on each back end: the interface's contract is the same for all.
class BackEndTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        ASSERT_FALSE(testsupport::pulseServer().empty()) << testsupport::missingPulseServerMessage();
        if (GetParam() != "pipewire") return;
        // PipeWire's own protocol: only where the private PipeWire runs (its PulseAudio server then
        // serves the other two), on the daemon's socket.
        const char* dir = std::getenv("VANTRELL_PIPEWIRE_DIR");
        if (!dir) GTEST_SKIP() << "no private PipeWire (start_private_pipewire)";
        setenv("PIPEWIRE_RUNTIME_DIR", dir, 1);
    }

    std::shared_ptr<BackEnd> makeBackEnd() const {
        auto backEnd = GetParam() == "pulse"      ? audio::makePulseBackEnd()
                       : GetParam() == "pipewire" ? audio::makePipeWireBackEnd()
                                                  : audio::makeRtAudioBackEnd();
        EXPECT_NE(backEnd, nullptr);
        if (backEnd) EXPECT_EQ(backEnd->name(), GetParam());
        return backEnd;
    }

    static std::optional<Device> findDevice(BackEnd& backEnd, const std::string& name) {
        for (Device& device : backEnd.devices())
            if (device.name == name) return std::move(device);
        return std::nullopt;
    }

    static std::vector<DeviceId> idsOf(BackEnd& backEnd) {
        std::vector<DeviceId> ids;
        for (const Device& device : backEnd.devices()) ids.push_back(device.id);
        return ids;
    }

    // The probe's first true value, or its last one after 5 s.
    template <typename Probe>
    static auto waitFor(Probe probe) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            const auto value = probe();
            if (value || std::chrono::steady_clock::now() >= deadline) return value;
            std::this_thread::sleep_for(20ms);
        }
    }

    // Listings follow the server's announcements, which arrive after pactl returns: a device just
    // loaded is waited for (up to 5 s); kNoDevice when it never shows.
    static DeviceId idOf(BackEnd& backEnd, const std::string& name) {
        return waitFor([&] {
            auto device = findDevice(backEnd, name);
            return device ? device->id : audio::kNoDevice;
        });
    }

    // The device ids once they equal `expected` (up to 5 s), or the last listing seen.
    static std::vector<DeviceId> idsOnceThey(BackEnd& backEnd, const std::vector<DeviceId>& expected) {
        std::vector<DeviceId> ids;
        waitFor([&] { return (ids = idsOf(backEnd)) == expected; });
        return ids;
    }

    static audio::StreamConfig config(DeviceId outputId, unsigned int outputChannels, DeviceId inputId,
                                      unsigned int inputChannels) {
        audio::StreamConfig config;
        config.output = {outputId, outputChannels, 0};
        config.input = {inputId, inputChannels, 0};
        config.sampleRate = kRate;
        config.periodFrames = kPeriod;
        return config;
    }

    // Sine source in, `outputId` out, kPeriod frames at kRate.
    static BackEnd::Opened openDuplex(BackEnd& backEnd, DeviceId outputId, DuplexProbe& probe,
                                      const std::shared_ptr<ReportLog>& log) {
        auto opened = backEnd.open(config(outputId, probe.outputChannels, backEnd.defaultInput(), 1),
                                   &DuplexProbe::callback, &probe, ReportLog::reportsFor(log));
        if (opened.stream) EXPECT_EQ(opened.stream->periodFrames(), kPeriod) << "the back end settled on another period";
        return opened;
    }
};

// Declares a suite of the fixture run on every back end.
#define BACK_END_SUITE(Suite)                                                                                \
    class Suite : public BackEndTest {};                                                                     \
    INSTANTIATE_TEST_SUITE_P(BackEnds, Suite, ::testing::Values("rtaudio", "pulse", "pipewire"),                         \
                             [](const auto& info) { return info.param; })

} // namespace backendtest
