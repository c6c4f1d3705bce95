// What a new output's late start leaves behind: the input that came while the server held its first
// periods goes (all but less than a period of it), a source's burst delivered at once stays.

#include "audio/HeldStart.hpp"

#include <gtest/gtest.h>

namespace {

using audio::detail::HeldStart;

constexpr std::size_t kPeriod = 256;
constexpr double kPeriodSeconds = 256.0 / 48000;

TEST(HeldStart, InputThatCameWhileTheOutputWasHeldGoesButABurstStays) {
    HeldStart held(kPeriodSeconds);
    held.restart();
    held.arrived(100.000, 96000); // a two-second burst, before any period
    held.periodRan(100.001);
    held.periodRan(100.001); // the output's room is full, the burst waits in the ring
    EXPECT_EQ(held.started(96000 - 2 * kPeriod, kPeriod), 0u);
    EXPECT_TRUE(held.outputStarted());

    held.restart();
    held.periodRan(0.000);
    held.periodRan(0.001);
    std::size_t fill = 59;
    for (double now = 0.002; now < 0.230; now += 0.0013) { // 63-frame fragments for a quarter second
        held.arrived(now, 63);
        fill += 63;
    }
    const std::size_t dropped = held.started(fill, kPeriod);
    EXPECT_GE(fill - dropped, kPeriod - 1); // what came in the first period's time stays
    EXPECT_LT(fill - dropped, kPeriod - 1 + 63 * 6);
    EXPECT_EQ(held.started(fill - dropped, kPeriod), 0u); // only the first start

    held.restart();
    held.periodRan(0.000);
    held.arrived(0.004, 63); // within a period: a prompt start drops nothing
    EXPECT_EQ(held.started(kPeriod + 63, kPeriod), 0u);
}

} // namespace
