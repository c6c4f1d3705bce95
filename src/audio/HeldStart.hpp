#pragma once

// A sound server may hold a new output's first periods for a while before it plays them (a quarter
// of a second was seen), and a steady input goes on arriving meanwhile. Left in the input ring, that
// input would stay there as delay for the stream's whole life. This tells it from what a bursty
// source delivers at once (PulseAudio's sine source sends two seconds at a time), which the stream
// needs until the next burst: held input is what arrived a period's time or more after the last
// period ran, while the output had not started. Times in seconds on any steady clock.

#include <algorithm>
#include <cstddef>

namespace audio::detail {

class HeldStart {
public:
    explicit HeldStart(double periodSeconds) : periodSeconds_(periodSeconds) {}

    // At the stream's (re)start: the output has not started.
    void restart() {
        started_ = false;
        held_ = 0;
    }
    // What came before a period ran is what that period and the ones after it started from: never
    // held (the output cannot start before a period).
    void periodRan(double now) {
        lastPeriod_ = now;
        held_ = 0;
    }
    void arrived(double now, std::size_t frames) {
        if (!started_ && now - lastPeriod_ >= periodSeconds_) held_ += frames;
    }
    // The output started with `fill` frames in the input ring: how many of the oldest to drop so
    // that less than a period of what arrived while it was held remains.
    std::size_t started(std::size_t fill, std::size_t periodFrames) {
        if (started_) return 0;
        started_ = true;
        const std::size_t kept = periodFrames > 0 ? periodFrames - 1 : 0;
        return fill > kept ? std::min(held_, fill - kept) : 0;
    }
    bool outputStarted() const { return started_; }

private:
    const double periodSeconds_;
    bool started_{false};
    double lastPeriod_{0};
    std::size_t held_{0};
};

} // namespace audio::detail
