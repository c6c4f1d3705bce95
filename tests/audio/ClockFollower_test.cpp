// The clock follower between simulated devices: an input delivering fragments by its own clock, an
// output asking for periods by the machine's, the consumption set by the follower's ratio.

#include "audio/ClockFollower.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using audio::detail::ClockFollower;

constexpr double kRate = 48000;

struct Pair {
    double ppm = 0;
    unsigned int period = 1024;
    unsigned int fragment = 480;     // what the input delivers at once
    double burstSeconds = 0;         // a source that delivers this much at once (0: by fragments)
    double jitterSeconds = 0.002;    // how late either side's events may come

    ClockFollower follower{kRate};
    std::mt19937 random{7};
    double ring = 0, queue = 0, owed = 0; // ring: taken in, not yet played; queue: the output's
    bool playing = false;
    double nextInput = 0, nextOutput = 0, inputLate = 0, outputLate = 0, now = 0;
    double fillAt10 = 0, worstAfter10 = 0, settledFrom = 1e9, lowestRatio = 2, highestRatio = 0;

    double fill() const { return ring + queue; }
    double late() { return std::uniform_real_distribution<double>(0, jitterSeconds)(random); }

    void pump() {
        // Like the back end: a period runs when the output has room and the input holds enough.
        while (queue <= 2 * period && ring >= std::ceil(period * follower.ratio()) + 2) {
            owed += period * follower.ratio();
            ring -= std::floor(owed);
            owed -= std::floor(owed);
            queue += period;
            follower.observe(now, fill());
        }
    }

    void runUntil(double end) {
        // Each side's events come late by up to the jitter, in order.
        const double inputRate = kRate * (1 + ppm * 1e-6);
        const double chunk = burstSeconds > 0 ? std::round(burstSeconds * inputRate) : fragment;
        while (now < end) {
            const double inputAt = std::max(now, nextInput + inputLate), outputAt = std::max(now, nextOutput + outputLate);
            now = std::min(inputAt, outputAt);
            if (now == inputAt) {
                ring += chunk;
                nextInput += chunk / inputRate;
                inputLate = late();
            } else {
                // The output plays once it holds its three periods, and stops when it runs dry.
                playing = playing || queue >= 3 * period;
                if (playing && queue >= period) {
                    queue -= period;
                } else if (playing) {
                    playing = false;
                    follower.disturbed();
                }
                nextOutput += period / kRate;
                outputLate = late();
            }
            follower.observe(now, fill());
            pump();
            if (now < 10) fillAt10 = fill();
            else worstAfter10 = std::max(worstAfter10, std::abs(fill() - fillAt10));
            if (now > settledFrom) {
                lowestRatio = std::min(lowestRatio, follower.ratio());
                highestRatio = std::max(highestRatio, follower.ratio());
            }
        }
    }
};

class Drifting : public ::testing::TestWithParam<std::tuple<double, unsigned int>> {};

TEST_P(Drifting, FollowsTheInputWithinSecondsHoldsTheFillAndRecoversFromAnOverflow) {
    Pair pair;
    std::tie(pair.ppm, pair.period) = GetParam();
    pair.follower.restart(0);
    // Seen within seconds of the fill moving by 1.5 ms (a short output may run dry first, once).
    const double seenBy = 8 + 3e3 / std::abs(pair.ppm);
    pair.runUntil(seenBy);
    ASSERT_TRUE(pair.follower.following()) << "no drift seen in " << seenBy << " s";
    pair.settledFrom = 540;
    pair.runUntil(600);
    EXPECT_NEAR(pair.follower.drift() * 1e6, pair.ppm, 2) << "the clocks' difference as estimated";
    // The fill (the latency) held: within 5 ms of where it was at 10 s, within 1 ms of the target at
    // the end (the fill seen at an instant also carries up to a period and a fragment of steps).
    const double steps = pair.period + pair.fragment;
    EXPECT_LT(pair.worstAfter10, 0.005 * kRate + steps);
    EXPECT_NEAR(pair.fill(), pair.follower.target(), 0.001 * kRate + steps);
    // Settled: the rate moves by a few ppm at most over the last minute (no audible wobble).
    EXPECT_LT((pair.highestRatio - pair.lowestRatio) * 1e6, 10.0);

    // An overflow drops input: the fill comes back without a restart.
    pair.ring = std::max(0.0, pair.ring - 0.03 * kRate);
    pair.follower.disturbed();
    pair.runUntil(900);
    EXPECT_NEAR(pair.fill(), pair.follower.target(), 0.001 * kRate + steps);
}

INSTANTIATE_TEST_SUITE_P(FastAndSlow, Drifting,
                         ::testing::Combine(::testing::Values(500.0, -500.0, 30.0), ::testing::Values(1024u, 256u)));

TEST(ClockFollower, DevicesOnOneClockAreNeverResampledWhateverTheirJitterBurstsAndSteps) {
    for (double burst : {0.0, 2.0}) {
        Pair pair;
        pair.burstSeconds = burst;
        pair.jitterSeconds = 0.02;
        pair.follower.restart(0);
        pair.runUntil(200);
        pair.ring += 0.05 * kRate; // a step, as after an overflow, that is not a drift
        pair.follower.disturbed();
        pair.runUntil(400);
        EXPECT_FALSE(pair.follower.following()) << "bursts of " << burst << " s";
        EXPECT_EQ(pair.follower.ratio(), 1.0);
    }
}

} // namespace
