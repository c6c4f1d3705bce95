#include "audio/ClockFollower.hpp"

#include <algorithm>
#include <cmath>

namespace audio::detail {

namespace {

// The controller: the proportional part corrects a fill error over `pull` seconds, the integral
// gathers the clocks' difference four times slower (critically damped: it settles without
// overshoot, with a time constant of twice `pull`). The pull starts quick, to catch the fill soon
// after the drift is seen, and slows over the next minutes: a window's average still carries some
// of the periods' steps and the threads' wake-up jitter, and every frame of it would move the pitch.
// It acts on the error averaged over the last few windows for the same reason.
constexpr double kFirstPullSeconds = 8.0;
constexpr double kSettledPullSeconds = 32.0;
constexpr double kPullGrowth = 0.2; // seconds of pull per second of following
// Errors count up to 10 ms: a source that stops for a while must not wind the controller up, nor an
// underflow's refill bend the pitch by more than a few hundred ppm while it is brought back.
constexpr double kLargestErrorSeconds = 0.010;

// What counts as a drift: the fill has moved by 1.5 ms or more since the start, along a line of at
// least 20 ppm that the window averages follow closely (four standard errors).
constexpr double kStepSeconds = 0.005;
constexpr double kMarginSeconds = 0.0015;
constexpr double kMinDrift = 20e-6;
constexpr double kSignificance = 4.0;
constexpr std::size_t kMinWindowsForDrift = 5;

double clampCorrection(double value) {
    return std::clamp(value, -ClockFollower::kMaxCorrection, ClockFollower::kMaxCorrection);
}

} // namespace

ClockFollower::ClockFollower(double rate) : rate_(rate) {}

void ClockFollower::restart(double now) {
    *this = ClockFollower(rate_);
    lastTime_ = windowStart_ = now;
}

void ClockFollower::disturbed() {
    if (following_) return;
    count_ = 0;
    windowsToSkip_ = 1; // the window holding the jump
}

void ClockFollower::observe(double now, double fillFrames) {
    if (now < lastTime_) now = lastTime_;
    if (seen_) area_ += lastFill_ * (now - lastTime_);
    else windowStart_ = now; // the fill is known from here on
    seen_ = true;
    lastTime_ = now;
    lastFill_ = fillFrames;
    const double length = now - windowStart_;
    if (length < kWindowSeconds) return;
    closeWindow(windowStart_ + length / 2, area_ / length);
    windowStart_ = now;
    area_ = 0;
}

void ClockFollower::closeWindow(double centre, double mean) {
    if (windowsToSkip_ > 0) {
        --windowsToSkip_;
        return;
    }
    if (following_) {
        errors_[errorCount_++ % errors_.size()] = mean - target_;
        double error = 0;
        const std::size_t kept = std::min(errorCount_, errors_.size());
        for (std::size_t i = 0; i < kept; ++i) error += errors_[i];
        error = std::clamp(error / double(kept), -kLargestErrorSeconds * rate_, kLargestErrorSeconds * rate_);
        const double pull = std::min(kSettledPullSeconds, kFirstPullSeconds + kPullGrowth * double(errorCount_));
        integral_ = clampCorrection(integral_ + error * kWindowSeconds / (rate_ * pull * 4 * pull));
        ratio_ = 1.0 + clampCorrection(integral_ + error / (rate_ * pull));
        return;
    }
    // A jump between two windows is no drift (a drift of 5000 ppm moves the fill by 5 ms a second):
    // a stream's first burst of input, an underflow's refill. The watch starts again from there.
    if (count_ > 0 && std::abs(mean - means_[count_ - 1]) > kStepSeconds * rate_) count_ = 0;
    if (count_ == 0) target_ = mean;
    if (count_ == kHistory) {
        std::copy(times_.begin() + 1, times_.end(), times_.begin());
        std::copy(means_.begin() + 1, means_.end(), means_.begin());
        --count_;
    }
    times_[count_] = centre;
    means_[count_] = mean;
    ++count_;
    double slope = 0;
    if (!driftShown(slope)) return;
    // From here the fill is held where it stands: the delay the stream settled into stays put.
    following_ = true;
    target_ = mean;
    integral_ = clampCorrection(slope / rate_);
    ratio_ = 1.0 + integral_;
}

bool ClockFollower::driftShown(double& slope) const {
    if (count_ < kMinWindowsForDrift) return false;
    // The fill has moved: the last three windows on average, so one late wake-up cannot move it.
    const double error = (means_[count_ - 1] + means_[count_ - 2] + means_[count_ - 3]) / 3 - target_;
    if (std::abs(error) < kMarginSeconds * rate_) return false;
    // Least squares over the windows kept.
    double meanTime = 0, meanFill = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        meanTime += times_[i];
        meanFill += means_[i];
    }
    meanTime /= double(count_);
    meanFill /= double(count_);
    double sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        sxx += (times_[i] - meanTime) * (times_[i] - meanTime);
        sxy += (times_[i] - meanTime) * (means_[i] - meanFill);
    }
    if (sxx <= 0) return false;
    slope = sxy / sxx;
    double residuals = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        const double off = means_[i] - meanFill - slope * (times_[i] - meanTime);
        residuals += off * off;
    }
    const double slopeError = std::sqrt(residuals / double(count_ - 2) / sxx);
    return std::abs(slope) >= kMinDrift * rate_ && std::abs(slope) >= kSignificance * slopeError &&
           (slope > 0) == (error > 0);
}

} // namespace audio::detail
