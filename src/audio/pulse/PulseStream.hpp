#pragma once

// One engine stream on the sound server, on the process's one connection: it reads its input
// device through the record stream it shares with every stream reading that device in its format,
// and plays into the playback stream it shares likewise (see SharedRecord, SharedPlayback). Its
// periods run on the connection's thread, exactly `periodFrames` frames each, as the output has
// room for them and the input has delivered them (see PeriodPacer).

#include "audio/ClockFollower.hpp"
#include "audio/HeldStart.hpp"
#include "audio/OutputMix.hpp"
#include "audio/PeriodPacer.hpp"
#include "audio/BackEnd.hpp"

#include <pulse/pulseaudio.h>
#include <zita-resampler/vresampler.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace audio::detail {

class SharedPlayback;
class SharedRecord;

struct PulseStreamFormat {
    std::string sourceName; // empty: no input
    std::string sinkName;   // empty: no output
    std::string sourceLabel; // the devices' descriptions
    std::string sinkLabel;
    pa_channel_map inputMap{};
    pa_channel_map outputMap{};
    unsigned int inputChannels{0};
    unsigned int outputChannels{0};
    unsigned int rate{0};
    unsigned int periodFrames{0};
    // How many periods the playback buffer holds ahead of the device (2 or more).
    unsigned int periodsAhead{3};
    std::string mediaName; // how the engine's notices name it
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

    // Under the connection's lock. start() joins (or opens) the devices' shared streams and returns
    // at once; stop() leaves them (no callback reaches this object afterwards), and the last member
    // to leave closes them.
    bool start(pa_context* context, std::string& whyNot);
    void stop();

    bool running() const { return running_.load(); }
    const PulseStreamFormat& format() const { return format_; }

    // From the shared streams, on the connection's thread.
    void takeInput(const float* data, std::size_t frames);
    // Runs every period the input and the output's room allow.
    void pump();
    // The output began to play (the server had its start threshold).
    void outputStarted();
    // The server's reports, passed on with the next period.
    void underflowed() { pacer_.underflowed(); }
    void overflowed() { pacer_.overflowed(); }
    // The server ended a shared stream it uses.
    void fail(const char* why) { halt(why); }
    OutputMix::Member& mixPlace() { return mixPlace_; }
    // Its input has not come for a period's time and what waited is less than a period.
    bool inputStalled() const;
    // At each request of the output: the fill the clock follower watches.
    void watchFill();

private:
    std::size_t inputNeeded() const;
    void takePeriodOfInput();
    void takeResampledPeriod();
    void startResampling();
    void runPeriod();
    std::size_t outputRoom() const;
    void halt(const char* why);

    const PulseStreamFormat format_;
    const PeriodCallback callback_;
    void* const userData_;
    const FailureHandler onFailure_;

    // The connection's thread only (or under its lock).
    std::shared_ptr<SharedRecord> record_;
    std::shared_ptr<SharedPlayback> playback_;
    OutputMix::Member mixPlace_;
    std::vector<float> input_;  // one period, handed to the callback
    std::vector<float> output_; // one period, filled by the callback
    PeriodPacer pacer_;
    bool halted_{false};
    HeldStart heldStart_;
    std::uint64_t framesDone_{0};
    double lastInput_{0}; // when input last came (seconds)

    // Between two devices, the input's clock is followed: the fill (input waiting in the ring and
    // output added and not yet played) is watched, and once the clocks are seen to differ each period
    // is resampled from as much input as the follower says. Until then, samples pass untouched.
    VResampler resampler_;
    const bool mayFollow_;
    ClockFollower follower_;
    bool resampling_{false};

    std::atomic<bool> running_{false};
};

} // namespace audio::detail
