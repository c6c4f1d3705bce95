#pragma once

// Follows an input device's clock from an output device's side. Two devices a few hundred parts per
// million apart make the audio waiting between them grow or shrink for ever; this watches that
// amount (the "fill": input frames taken in and not yet played) and answers how many input frames
// each output frame should consume, so that the fill stays put.
//
// It stays out of the way until the devices are shown to differ: until then ratio() is exactly 1,
// so a stream whose devices share a clock passes its samples untouched. The fill is averaged over
// time in windows of a second, which hides the steps of periods and fragments and the bursts of
// sources that deliver unevenly; a drift is acknowledged only once the window averages move away
// from the start in a straight line (a step after an underflow, or a source's first burst, is not a
// drift). From then on a PI controller holds the fill where it was then: the integral carries the
// clocks' difference, the proportional part pulls the fill back over some seconds, and both change
// so slowly that the pitch moves by parts per million.

#include <array>
#include <cstddef>

namespace audio::detail {

class ClockFollower {
public:
    explicit ClockFollower(double rate);

    // At a stream's start; `now` in seconds on any steady clock.
    void restart(double now);
    // The fill from `now` on (frames). Called whenever it changes.
    void observe(double now, double fillFrames);
    // An underflow or overflow moved the fill at once. Before a drift is known, the watch starts
    // again from the new level; once following, the controller brings the fill back.
    void disturbed();

    bool following() const { return following_; }
    // Input frames per output frame: exactly 1 until following.
    double ratio() const { return ratio_; }
    // The input clock's offset from the output's as last estimated (0.0005 is 500 ppm fast).
    double drift() const { return integral_; }
    // The fill the controller holds (frames): where it stood when the drift was acknowledged.
    double target() const { return target_; }

    static constexpr double kWindowSeconds = 1.0;
    static constexpr double kMaxCorrection = 0.005; // ±5000 ppm: beyond any real pair of devices

private:
    void closeWindow(double centre, double mean);
    bool driftShown(double& slope) const;

    static constexpr std::size_t kHistory = 30; // windows in the fit: a slow drift needs a long line
    static constexpr int kWarmupWindows = 2; // the first seconds carry the start's prebuffering

    double rate_;
    double lastTime_{0};
    double lastFill_{0};
    double windowStart_{0};
    double area_{0}; // fill × seconds in the current window
    bool seen_{false};
    int windowsToSkip_{kWarmupWindows};

    std::array<double, kHistory> times_{};
    std::array<double, kHistory> means_{};
    std::size_t count_{0};

    std::array<double, 4> errors_{}; // the last windows' fill errors, once following
    std::size_t errorCount_{0};

    bool following_{false};
    double target_{0};
    double integral_{0};
    double ratio_{1.0};
};

} // namespace audio::detail
