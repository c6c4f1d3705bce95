// Several streams summed into one device stream: what goes out is each member's own signal added
// frame by frame, only once every member has added it; a member leaving, joining or lagging never
// stops the others, and a member whose frames went out without it is told.

#include "audio/OutputMix.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using audio::detail::OutputMix;

constexpr std::size_t kPeriod = 4;
constexpr std::size_t kCapacity = 14; // not a multiple of the period: writes wrap mid-period

struct MixTest : ::testing::Test {
    OutputMix mix{1, kCapacity};
    OutputMix::Member members[3];
    std::vector<float> device; // everything written, in order

    // One period of a constant level.
    void play(OutputMix::Member& member, float level) {
        const std::vector<float> period(kPeriod, level);
        mix.add(member, period.data(), kPeriod);
    }
    void flush(std::size_t frames) {
        mix.take(frames, [&](const float* samples, std::size_t count) {
            device.insert(device.end(), samples, samples + count);
        });
    }
    void flushComplete() { flush(mix.complete()); }
    std::vector<float> levels(std::initializer_list<std::pair<float, std::size_t>> runs) {
        std::vector<float> expected;
        for (auto [level, frames] : runs) expected.insert(expected.end(), frames, level);
        return expected;
    }
};

TEST_F(MixTest, EachMemberIsHeardAtItsOwnLevelAndNothingGoesOutBeforeAllHaveAdded) {
    mix.join(members[0]);
    mix.join(members[1]);
    for (int round = 0; round < 5; ++round) { // 20 frames through a ring of 14
        play(members[1], -0.5f);
        if (round > 0) { // until the first member has played, it is not waited for
            EXPECT_EQ(mix.complete(), 0u) << "the first member has not added this period yet";
            flushComplete();
        }
        play(members[0], 0.25f);
        flushComplete();
    }
    EXPECT_EQ(device, levels({{-0.25f, 20}}));
    EXPECT_FALSE(members[0].cutShort || members[1].cutShort);
}

TEST_F(MixTest, AMemberLeavingOrPausingReleasesWhatTheOthersAddedAndAJoinerStartsAtTheDevice) {
    for (auto& member : members) mix.join(member);
    play(members[0], 1.0f);
    play(members[1], 2.0f);
    play(members[2], 4.0f);
    flushComplete();
    play(members[0], 1.0f);
    play(members[1], 2.0f);
    flushComplete();
    EXPECT_EQ(device.size(), kPeriod) << "the third is waited for";
    mix.leave(members[2]);
    flushComplete();
    play(members[0], 1.0f);
    mix.pause(members[1]);
    flushComplete();
    EXPECT_EQ(device, levels({{7.0f, 4}, {3.0f, 4}, {1.0f, 4}}));

    mix.join(members[2]); // back, at the device's position: nothing it adds lands in frames gone
    EXPECT_EQ(members[2].position, mix.written());
    play(members[2], 4.0f);
    play(members[0], 1.0f);
    flushComplete();
    EXPECT_EQ(device, levels({{7.0f, 4}, {3.0f, 4}, {1.0f, 4}, {5.0f, 4}}));
}

TEST_F(MixTest, RoomIsTheDevicesLessWhatTheMemberAddedAndANewcomersFirstPeriodNeedsNone) {
    mix.join(members[0]);
    mix.join(members[1]);
    play(members[1], 1.0f);
    flushComplete(); // the device took everything: no room left in it
    EXPECT_EQ(mix.room(members[0], 0), kCapacity) << "a newcomer would never get room the others take first";
    play(members[0], 1.0f);
    EXPECT_EQ(mix.complete(), 0u) << "it landed where the device is, and is waited for from now on";
    EXPECT_EQ(mix.room(members[0], 8), 4u);
    EXPECT_EQ(mix.room(members[0], 3), 0u);
    EXPECT_EQ(mix.room(members[0], 100), kCapacity - 4) << "never more than the ring holds";
}

TEST_F(MixTest, WhenTheDeviceRunsDryTheLateMemberIsCutAndToldOnlyIfItHadPlayed) {
    mix.join(members[0]);
    mix.join(members[1]);
    play(members[0], 1.0f);
    play(members[0], 1.0f);
    EXPECT_EQ(mix.ahead(), 2 * kPeriod);
    mix.cutLateMembers();
    flushComplete();
    EXPECT_EQ(device, levels({{1.0f, 8}}));
    EXPECT_FALSE(members[1].cutShort) << "it never played: nothing of its went missing";

    play(members[1], 2.0f); // lands after the frames gone, with the first member's next period
    play(members[0], 1.0f);
    play(members[0], 1.0f);
    mix.cutLateMembers();
    flushComplete();
    EXPECT_EQ(device, levels({{1.0f, 8}, {3.0f, 4}, {1.0f, 4}}));
    EXPECT_TRUE(members[1].cutShort);
    EXPECT_EQ(members[1].position, members[0].position);
}

TEST_F(MixTest, AStalledMemberReleasedHoldsNobodyBackAndIsWaitedForAgainOnceItPlays) {
    mix.join(members[0]);
    mix.join(members[1]);
    play(members[0], 1.0f);
    play(members[1], 2.0f);
    flushComplete();
    play(members[0], 1.0f); // the second one's input stalls
    mix.release(members[1], kPeriod + 1);
    EXPECT_EQ(mix.complete(), 0u) << "less than the given lead behind: still waited for";
    mix.release(members[1], kPeriod);
    flushComplete();
    play(members[0], 1.0f);
    flushComplete();
    EXPECT_EQ(device, levels({{3.0f, 4}, {1.0f, 8}})) << "the first one plays on, no gap";
    EXPECT_TRUE(members[1].cutShort) << "its frames went out without it";

    play(members[1], 2.0f); // back: lands where the device is, and holds the others again
    play(members[0], 1.0f);
    play(members[0], 1.0f);
    flushComplete();
    EXPECT_EQ(device, levels({{3.0f, 4}, {1.0f, 8}, {3.0f, 4}}));
}

} // namespace
