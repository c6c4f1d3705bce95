#pragma once

// One engine stream on the sound server: a record stream from its input device and a playback
// stream to its output device, on the process's one connection. Its periods run on the
// connection's thread, exactly `periodFrames` frames each, as the output asks for them and the
// input has delivered them (see PeriodPacer).

#include "audio/ClockFollower.hpp"
#include "audio/PeriodPacer.hpp"
#include "audio/BackEnd.hpp"

#include <pulse/pulseaudio.h>
#include <zita-resampler/vresampler.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace audio::detail {

struct PulseStreamFormat {
    std::string sourceName; // empty: no input
    std::string sinkName;   // empty: no output
    pa_channel_map inputMap{};
    pa_channel_map outputMap{};
    unsigned int inputChannels{0};
    unsigned int outputChannels{0};
    unsigned int rate{0};
    unsigned int periodFrames{0};
    // How many periods the playback buffer holds ahead of the device (2 or more).
    unsigned int periodsAhead{3};
    std::string mediaName; // what a mixer shows for it
};

class PulseStream {
public:
    // Called once per start, on the connection's thread, when the server ends a running stream.
    using FailureHandler = std::function<void(const std::string& why)>;

    // Everything a period needs is allocated here, before the first one.
    PulseStream(PulseStreamFormat format, PeriodCallback callback, void* userData, FailureHandler onFailure);
    ~PulseStream();
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    // Under the connection's lock. start() queues the connection of both streams and returns at
    // once; stop() leaves nothing of them behind (no callback of this object runs afterwards).
    bool start(pa_context* context, std::string& whyNot);
    void stop();

    bool running() const { return running_.load(); }
    const PulseStreamFormat& format() const { return format_; }

private:
    pa_stream* makeStream(pa_context* context, const pa_channel_map& map, unsigned int channels);
    void pump();
    std::size_t inputNeeded() const;
    void takePeriodOfInput();
    void takeResampledPeriod();
    void startResampling();
    void watchFill();
    void runPeriod();
    void halt(const char* why);
    static void retire(pa_stream* stream);

    static void onState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onWrite(pa_stream* stream, std::size_t bytes, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onOverflow(pa_stream* stream, void* self);

    const PulseStreamFormat format_;
    const PeriodCallback callback_;
    void* const userData_;
    const FailureHandler onFailure_;
    const std::size_t inputFrameBytes_;
    const std::size_t outputFrameBytes_;

    // The connection's thread only (or under its lock).
    pa_stream* record_{nullptr};
    pa_stream* playback_{nullptr};
    std::vector<float> input_;  // one period, handed to the callback
    std::vector<float> output_; // one period, filled by the callback
    PeriodPacer pacer_;
    bool halted_{false};
    std::uint64_t framesDone_{0};

    // Between two devices, the input's clock is followed: the fill (input waiting in the ring and
    // output queued on the server) is watched, and once the clocks are seen to differ each period
    // is resampled from as much input as the follower says. Until then, samples pass untouched.
    VResampler resampler_;
    const bool mayFollow_;
    ClockFollower follower_;
    bool resampling_{false};

    std::atomic<bool> running_{false};
};

} // namespace audio::detail
