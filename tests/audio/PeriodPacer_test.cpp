// The pacing of periods against a scripted server: input fragments arriving on time, late or in a
// burst, an output that stalls, underflows and overflows. Every period must carry the next frames
// of the input (a ramp), none skipped or repeated, and each report must reach exactly one period.

#include "audio/PeriodPacer.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using audio::detail::PeriodPacer;
using audio::StreamStatus;

constexpr unsigned int kPeriod = 256;

struct PacingTimeline : ::testing::Test {
    PeriodPacer pacer{kPeriod, 2, 16 * kPeriod};
    std::size_t sent = 0;  // input frames delivered so far; frame n carries n (left) and -n (right)
    std::size_t room = 0;  // what the output has room for
    std::vector<float> period = std::vector<float>(2 * kPeriod);
    std::vector<float> firsts;                    // each period's first frame
    std::vector<StreamStatus> statuses;    // each period's report

    void input(std::size_t frames) {
        std::vector<float> data;
        for (std::size_t i = 0; i < frames; ++i, ++sent) data.insert(data.end(), {float(sent), -float(sent)});
        pacer.pushInput(data.data(), frames);
        run();
    }
    void grant(std::size_t frames) {
        room += frames;
        run();
    }
    void run() {
        while (pacer.due(kPeriod, true, room)) {
            const StreamStatus status = pacer.takeStatus();
            pacer.takePeriod(period.data());
            for (unsigned int i = 1; i < kPeriod; ++i) {
                ASSERT_EQ(period[2 * i], period[0] + float(i)) << "inside period " << firsts.size();
                ASSERT_EQ(period[2 * i + 1], -period[2 * i]);
            }
            firsts.push_back(period[0]);
            statuses.push_back(status);
            room -= kPeriod;
        }
    }
    // Periods in order from `from`: none skipped, none twice.
    void expectConsecutive(float from = 0) {
        for (std::size_t k = 0; k < firsts.size(); ++k) EXPECT_EQ(firsts[k], from + float(k * kPeriod)) << "period " << k;
    }
};

TEST_F(PacingTimeline, OnTimeFragmentsRunOnePeriodPerPeriod) {
    for (int k = 0; k < 40; ++k) {
        grant(kPeriod);
        for (int f = 0; f < 4; ++f) input(kPeriod / 4 - (f == 3)); // a frame short, as servers round
    }
    EXPECT_EQ(firsts.size(), sent / kPeriod);
    expectConsecutive();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 0u), long(statuses.size()));
}

TEST_F(PacingTimeline, LateInputBurstAndStalledOutputLoseNothing) {
    grant(3 * kPeriod);
    input(kPeriod - 1); // late: the output waits
    EXPECT_TRUE(firsts.empty());
    input(2 * kPeriod + 1); // then all at once
    EXPECT_EQ(firsts.size(), 3u);
    input(7 * kPeriod + 10); // a burst the output has no room for waits
    EXPECT_EQ(firsts.size(), 3u);
    for (int k = 0; k < 5; ++k) input(kPeriod / 2); // the output stalls while input goes on
    grant(20 * kPeriod);
    EXPECT_EQ(firsts.size(), sent / kPeriod);
    expectConsecutive();
}

TEST_F(PacingTimeline, EachUnderflowAndOverflowReachesOnePeriod) {
    grant(2 * kPeriod);
    input(kPeriod);
    pacer.underflowed();
    pacer.underflowed(); // two reports before the period: one status
    input(kPeriod);
    input(17 * kPeriod); // more than the ring holds while the output has no room: the oldest go
    pacer.underflowed();
    grant(16 * kPeriod);
    ASSERT_EQ(statuses.size(), 18u);
    EXPECT_EQ(statuses[0], 0u);
    EXPECT_EQ(statuses[1], audio::kOutputUnderflow);
    EXPECT_EQ(statuses[2], audio::kOutputUnderflow | audio::kInputOverflow);
    for (std::size_t k = 3; k < statuses.size(); ++k) EXPECT_EQ(statuses[k], 0u) << "period " << k;
    // Only the overflow skips input, and only what the ring could not hold.
    EXPECT_EQ(firsts[2], float(3 * kPeriod));
    for (std::size_t k = 3; k < firsts.size(); ++k) EXPECT_EQ(firsts[k], firsts[k - 1] + kPeriod);
}

TEST(PeriodPacer, AStreamWithoutInputIsPacedByItsOutputAlone) {
    PeriodPacer pacer(kPeriod, 0, 0);
    EXPECT_FALSE(pacer.due(0, true, kPeriod - 1));
    EXPECT_TRUE(pacer.due(0, true, kPeriod));
}

} // namespace
