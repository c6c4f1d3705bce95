// Levels and bars of the meter, from known signals.

#include "ctl/Meter.hpp"
#include "ctl/MeterScreen.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A 0.5-amplitude 440 Hz sine on channel 0 of a stereo buffer, channel 1 silent.
std::vector<float> halfScaleSineLeft(std::size_t frames) {
    std::vector<float> samples(frames * 2, 0.0f);
    for (std::size_t f = 0; f < frames; ++f)
        samples[f * 2] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * static_cast<double>(f) / 48000.0));
    return samples;
}

TEST(CtlMeter, PeakAndRmsOfASineAndOfSilence) {
    const auto levels = Ctl::measureLevels(halfScaleSineLeft(4800), 2);
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_NEAR(levels[0].peakDb, -6.02, 0.05);
    EXPECT_NEAR(levels[0].rmsDb, -9.03, 0.05);
    EXPECT_EQ(levels[1].peakDb, Ctl::kSilenceDb);
    EXPECT_EQ(levels[1].rmsDb, Ctl::kSilenceDb);

    // Read as mono, the same buffer halves the level; a broken sample shows as full scale.
    auto broken = halfScaleSineLeft(4800);
    broken[101] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_NEAR(Ctl::measureLevels(broken, 1)[0].peakDb, 0.0, 1e-9);
    EXPECT_NEAR(Ctl::measureLevels(halfScaleSineLeft(4800), 1)[0].rmsDb, -12.04, 0.05);
}

TEST(CtlMeter, BarsFillWithTheLevel) {
    auto hashes = [](const std::string& bar) { return std::count(bar.begin(), bar.end(), '#'); };
    EXPECT_EQ(Ctl::levelBar({0.0, 0.0}, 40), "[" + std::string(40, '#') + "]");
    EXPECT_EQ(Ctl::levelBar({Ctl::kSilenceDb, Ctl::kSilenceDb}, 40), "[" + std::string(40, ' ') + "]");
    const std::string loud = Ctl::levelBar({-6.0, -9.0}, 40), quiet = Ctl::levelBar({-12.0, -15.0}, 40);
    EXPECT_EQ(hashes(loud), 34);
    EXPECT_EQ(hashes(quiet), 30);
    EXPECT_EQ(loud.find('|'), 36u); // the peak's cell
    EXPECT_EQ(Ctl::decibelText(Ctl::kSilenceDb), "-inf");
    EXPECT_EQ(Ctl::decibelText(-6.02), "-6.0");
}

} // namespace
