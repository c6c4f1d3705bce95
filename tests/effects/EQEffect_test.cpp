#include "EffectTestSupport.hpp"
#include "effects/EQEffect.hpp"
#include "effects/PeakFilter.hpp"
#include "effects/EQFilterFactory.hpp"
#include "effects/EffectFactory.hpp"
#include "effects/StateChannels.hpp"

#include <gmock/gmock.h>

#include <numbers>

using effecttest::captureLogs;
using effecttest::LogLine;
using testing::ElementsAre;

namespace {

class PeakFilterEQEffect : public effecttest::EffectTestBase {};

std::vector<unsigned> ids(const EQEffect& eq) {
    std::vector<unsigned> result;
    for (const auto& filter : eq.getFilters()) result.push_back(filter->getId());
    return result;
}

std::shared_ptr<EQEffect> peakEq(float gain, float centerFreq, float q) {
    auto eq = std::make_shared<EQEffect>("EQEffect");
    eq->addFilter("PeakFilter");
    const unsigned id = eq->getFilters().back()->getId();
    // Through the filter's own setters: some cases need values the registry's ranges refuse.
    auto& filter = dynamic_cast<PeakFilter&>(*eq->getFilters().back());
    filter.setGain(gain);
    filter.setCenterFreq(centerFreq);
    filter.setQ(q);
    return eq;
}

// Gain in dB per channel of a one-second sine at 48 kHz, over its second half (steady state).
std::vector<double> gainDb(EQEffect& eq, double frequency, const std::vector<double>& amplitudes) {
    const auto channels = unsigned(amplitudes.size());
    std::vector<float> signal(48000 * channels);
    for (std::size_t i = 0; i < signal.size(); ++i)
        signal[i] = float(amplitudes[i % channels] * std::sin(2 * std::numbers::pi * frequency * double(i / channels) / 48000));
    const auto input = signal;
    effecttest::processInBlocks(eq, signal, channels, 48000);
    const auto rms = [](const std::vector<float>& s) {
        double sum = 0;
        for (std::size_t i = s.size() / 2; i < s.size(); ++i) sum += double(s[i]) * s[i];
        return std::sqrt(sum);
    };
    std::vector<double> gains;
    for (unsigned c = 0; c < channels; ++c)
        gains.push_back(20 * std::log10(rms(effecttest::channel(signal, channels, c)) /
                                        rms(effecttest::channel(input, channels, c))));
    return gains;
}

} // namespace

TEST_F(PeakFilterEQEffect, BoostsItsCentreBySixDecibelsAndLeavesFarFrequencies) {
    // A peaking filter's response at its centre frequency is its gain; far away, close to 0 dB.
    for (const double gain : gainDb(*peakEq(6, 1000, 1), 1000, {0.25, 0.1, 0.4, 0.05, 0.3})) EXPECT_NEAR(gain, 6.0, 0.1);
    for (const double frequency : {40.0, 16000.0})
        for (const double gain : gainDb(*peakEq(6, 1000, 1), frequency, {0.25, 0.1})) EXPECT_NEAR(gain, 0.0, 0.25);
}

TEST_F(PeakFilterEQEffect, NoFiltersOrZeroGainAreTransparent) {
    const auto input = effecttest::noise(2 * 1000);
    auto signal = input;
    EQEffect empty("EQEffect");
    effecttest::processInBlocks(empty, signal, 2, 48000);
    EXPECT_EQ(signal, input);
    effecttest::processInBlocks(*peakEq(0, 2500, 0.7f), signal, 2, 48000);
    for (std::size_t i = 0; i < input.size(); ++i) ASSERT_NEAR(signal[i], input[i], 1e-5) << i;
}

TEST_F(PeakFilterEQEffect, UnusableSettingsPassTheBlockAndRecover) {
    const auto input = effecttest::noise(2 * 512);
    // Sample rate 0, Q 0, a gain whose amplitude overflows: coefficients that are not finite.
    for (const auto& [gain, q, rate] : {std::tuple{6.0f, 1.0f, 0u}, std::tuple{6.0f, 0.0f, 48000u}, std::tuple{4000.0f, 1.0f, 48000u}}) {
        auto signal = input;
        effecttest::processInBlocks(*peakEq(gain, 1000, q), signal, 2, rate);
        EXPECT_EQ(signal, input) << gain << " " << q << " " << rate;
    }
    // A negative Q is unstable and blows the history up; once fixed, the filter recovers.
    auto eq = peakEq(6, 1000, -0.05f);
    auto signal = effecttest::noise(2 * 48000);
    effecttest::processInBlocks(*eq, signal, 2, 48000);
    for (const float sample : signal) ASSERT_TRUE(std::isfinite(sample)) << "a blown-up block is silence";
    EXPECT_EQ(eq->setFilterParameter(0, "Q", -0.05f), -1) << "the registry refuses what the setter took";
    EXPECT_EQ(eq->setFilterParameter(0, "Q", 1.0f), 0);
    signal = input;
    effecttest::processInBlocks(*eq, signal, 2, 48000);
    for (const float sample : signal) ASSERT_TRUE(std::isfinite(sample));
}

TEST_F(PeakFilterEQEffect, EachChannelIsFilteredExactlyAsItWouldBeAlone) {
    const unsigned channels = 5;
    auto signal = effecttest::noise(channels * 1000, 31);
    const auto input = signal;
    effecttest::processInBlocks(*peakEq(9, 700, 2), signal, channels, 44100, 100);
    for (unsigned c = 0; c < channels; ++c) {
        auto alone = effecttest::channel(input, channels, c);
        effecttest::processInBlocks(*peakEq(9, 700, 2), alone, 1, 44100, 100);
        EXPECT_EQ(effecttest::channel(signal, channels, c), alone) << "channel " << c;
    }
    // More channels than the history holds: the block passes unchanged.
    auto wide = effecttest::noise((kMaxStateChannels + 1) * 64);
    const auto wideInput = wide;
    peakEq(12, 1000, 1)->process(wide.data(), wide.data(), kMaxStateChannels + 1, 64, 48000);
    EXPECT_EQ(wide, wideInput);
}

TEST_F(PeakFilterEQEffect, FilterIdsAreNeverReused) {
    EQEffect eq("EQEffect");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(eq.addFilter("PeakFilter"), 0);
    EXPECT_THAT(ids(eq), ElementsAre(0u, 1u, 2u));
    auto logs = captureLogs([&] { EXPECT_EQ(eq.removeFilter(1), 0); });
    EXPECT_THAT(logs.out, testing::Contains(LogLine{"SUCCESS", "removeFilter", "Filter removed"}));
    eq.addFilter("PeakFilter");
    EXPECT_THAT(ids(eq), ElementsAre(0u, 2u, 3u));

    logs = captureLogs([&] { EXPECT_EQ(eq.addFilter("LowShelf"), -1); });  // uses id 4 up
    EXPECT_THAT(logs.err, ElementsAre(LogLine{"ERROR", "createEQFilter", "Filter not found"},
                                      LogLine{"ERROR", "addFilter", "Filter not found"}));
    eq.addFilter("PeakFilter");
    EXPECT_THAT(ids(eq), ElementsAre(0u, 2u, 3u, 5u));

    logs = captureLogs([&] {
        EXPECT_EQ(eq.removeFilter(1), -1);
        EXPECT_EQ(eq.setFilterParameter(4, "gain", 3), -1);
        EXPECT_EQ(eq.setFilterParameter(0, "frequency", 500), -1);
    });
    EXPECT_THAT(logs.err, ElementsAre(LogLine{"ERROR", "removeFilter", "Filter not found"},
                                      LogLine{"ERROR", "setFilterParameter", "Filter not found"},
                                      LogLine{"ERROR", "setEffectParameter", "EQ Parameter not found"}));
    const auto filter = eq.getFilters().front();
    EXPECT_EQ((filter.get()->*(filter->getGetters().at("centerFreq")))(), 1000.0f);
}

TEST_F(PeakFilterEQEffect, DeepCopyKeepsIdsAndNumberingAndStartsFromSilence) {
    const auto build = [] {
        auto eq = std::make_shared<EQEffect>("EQEffect");
        for (int i = 0; i < 3; ++i) eq->addFilter("PeakFilter");
        eq->removeFilter(1);
        eq->setFilterParameter(0, "gain", 9);
        eq->setFilterParameter(2, "centerFreq", 300);
        return eq;
    };
    const auto source = build();
    auto warmUp = effecttest::noise(2 * 1000, 21);
    effecttest::processInBlocks(*source, warmUp, 2, 48000);

    const auto copied = makeDeepCopy(source);
    auto& copy = dynamic_cast<EQEffect&>(*copied);
    EXPECT_THAT(ids(copy), ElementsAre(0u, 2u));
    EXPECT_NE(copy.getFilters()[0], source->getFilters()[0]);

    // The copy sounds exactly like a fresh effect set up the same way; the source does not.
    const auto input = effecttest::noise(2 * 500, 22);
    auto fromCopy = input, fromFresh = input, fromSource = input;
    effecttest::processInBlocks(copy, fromCopy, 2, 48000);
    effecttest::processInBlocks(*build(), fromFresh, 2, 48000);
    effecttest::processInBlocks(*source, fromSource, 2, 48000);
    EXPECT_EQ(fromCopy, fromFresh);
    EXPECT_NE(fromSource, fromFresh);

    copy.addFilter("PeakFilter");
    EXPECT_THAT(ids(copy), ElementsAre(0u, 2u, 3u));
    EXPECT_THAT(ids(*source), ElementsAre(0u, 2u));
    const auto logs = captureLogs([] { EXPECT_EQ(EQFilterFactory::makeDeepCopy(nullptr), nullptr); });
    EXPECT_THAT(logs.err, ElementsAre(LogLine{"ERROR", "makeDeepCopy", "Filter not found"}));
}
