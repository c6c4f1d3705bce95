// Stream groups on virtual devices: linking, settings, volume sync, the joining copy, equalizer
// filter propagation, group-wide chain operations, the five-band equalizer and the console commands.

#include "console/CommandLineController.hpp"
#include "effects/EQDemoEffect.hpp"
#include "effects/EQEffect.hpp"
#include "effects/PeakFilter.hpp"
#include "engine/Core.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using testsupport::LogCapture;
using testsupport::VirtualEngine;

namespace {

class StreamGroupsTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture quiet;
        core = &engine.makeCore();
        for (int i = 0; i < 4; ++i) core->addStream(engine.mic, engine.speakers, 2, 2, 48000, 256);
    }

    Stream& stream(unsigned int id) { return *core->getStreamById(id); }
    float volume(unsigned int id) { return stream(id).getEffectParameterValue("VolumeEffect", "volume"); }
    std::vector<std::string> chain(unsigned int id) {
        std::vector<std::string> names;
        for (const auto& effect : stream(id).getEffects()) names.push_back(effect->getName());
        return names;
    }
    std::shared_ptr<EQEffect> equalizer(unsigned int id) {
        for (const auto& effect : stream(id).getEffects())
            if (effect->getName() == "EQEffect") return std::static_pointer_cast<EQEffect>(effect);
        return nullptr;
    }
    float filterGain(unsigned int id, std::size_t filter) {
        return std::static_pointer_cast<PeakFilter>(equalizer(id)->getFilters().at(filter))->getGain();
    }

    VirtualEngine engine;
    Core* core{};
};

TEST_F(StreamGroupsTest, LinkingChecksEveryIdFirstAndReusesNoIdUntilCleared) {
    LogCapture log;
    EXPECT_EQ(core->linkStreams({0, 1}), 0);
    EXPECT_EQ(core->linkStreams({2, 3}), 0);
    EXPECT_EQ(stream(1).getGroupID(), 0);
    EXPECT_EQ(stream(3).getGroupID(), 1);

    EXPECT_EQ(core->unlinkStream(2), 0);
    EXPECT_EQ(core->linkStreams({2, 3}), -1) << "3 is still linked";
    EXPECT_EQ(stream(2).getGroupID(), -1) << "a refused link changes nothing";
    EXPECT_EQ(core->linkStreams({2, 9}), -1);
    EXPECT_EQ(core->getStreamGroupSyncs().size(), 2u);

    // Emptied groups stay, so the next id is the next position.
    core->unlinkStream(0);
    core->unlinkStream(1);
    EXPECT_EQ(core->linkStreams({0, 1}), 0);
    EXPECT_EQ(stream(0).getGroupID(), 2);
    EXPECT_TRUE(log.contains("Stream already linked"));

    core->clearStreamGroups();
    EXPECT_TRUE(core->getStreamGroupSyncs().empty());
    for (unsigned int id = 0; id < 4; ++id) EXPECT_EQ(stream(id).getGroupID(), -1);
}

TEST_F(StreamGroupsTest, SyncModesExcludeEachOtherAndVolumeIsNeverAShareableEffect) {
    LogCapture log;
    core->linkStreams({0, 1});
    ASSERT_EQ(core->getStreamGroupSyncs().size(), 1u);
    auto group = core->getStreamGroupSyncs().front();
    core->setStreamGroupVolumeLevelSync(0, true);
    core->setStreamGroupVolumeRatioSync(0, true);
    EXPECT_TRUE(group->getVolumeRatio());
    EXPECT_FALSE(group->getVolumeLevel());
    core->setStreamGroupVolumeRatioSync(0, false);
    EXPECT_FALSE(group->getVolumeLevel() || group->getVolumeRatio());

    EXPECT_EQ(core->addEffectToStreamGroupSync(0, "VolumeEffect"), -1);
    EXPECT_EQ(core->addEffectToStreamGroupSync(7, "PanEffect"), -1);
    EXPECT_EQ(core->setStreamsGroupColor(7, {1, 2, 3}), -1);
    EXPECT_EQ(core->setStreamsGroupColor(0, {1, 2, 3}), 0);
    EXPECT_EQ(group->getColor(), (GroupColor{1, 2, 3}));
    EXPECT_TRUE(log.contains("Volume effect cannot be added to a group."));
    EXPECT_TRUE(log.contains("Stream group (0) color set to \x1b[48;2;1;2;3m  \x1b[0m\x1b[33m"));
}

TEST_F(StreamGroupsTest, VolumeFollowsTheGroupsMode) {
    LogCapture log;
    core->linkStreams({0, 1, 2});
    core->setEffectParameter(0, "VolumeEffect", "volume", 50);
    core->setEffectParameter(1, "VolumeEffect", "volume", 40);
    core->setEffectParameter(2, "VolumeEffect", "volume", 20);
    EXPECT_EQ(volume(0), 50.0f) << "without a mode each stream keeps its own";

    core->setStreamGroupVolumeRatioSync(0, true);
    core->setEffectParameter(0, "VolumeEffect", "volume", 25);
    EXPECT_EQ(volume(0), 25.0f);
    EXPECT_FLOAT_EQ(volume(1), 20.0f);
    EXPECT_FLOAT_EQ(volume(2), 10.0f);

    // From silence no factor exists: the others keep their volume, and nothing turns non-finite.
    core->setEffectParameter(0, "VolumeEffect", "volume", 0);
    core->setEffectParameter(0, "VolumeEffect", "volume", 60);
    EXPECT_FLOAT_EQ(volume(1), 0.0f);
    core->setEffectParameter(1, "VolumeEffect", "volume", 30);
    EXPECT_FLOAT_EQ(volume(2), 0.0f);

    core->setStreamGroupVolumeLevelSync(0, true);
    core->setEffectParameter(2, "VolumeEffect", "volume", 30);
    for (unsigned int id : {0u, 1u, 2u}) EXPECT_EQ(volume(id), 30.0f);

    core->linkStreams({3});
    EXPECT_EQ(core->setEffectParameter(3, "VolumeEffect", "volume", 70), 0) << "the only member still changes";
    EXPECT_EQ(volume(3), 70.0f);
    EXPECT_TRUE(log.contains("Volume level and volume ratio are not sync"));
    EXPECT_TRUE(log.contains("Volume ratio undefined"));
}

TEST_F(StreamGroupsTest, JoiningCopiesTheMembersEffectsAndSharedChangesReachEveryMember) {
    LogCapture quiet;
    core->linkStreams({0, 1});
    ASSERT_EQ(core->addEffectToStream(0, "ReverbEffect"), 0) << "reaches both members";
    core->setEffectParameter(0, "ReverbEffect", "decay", 0.7f);
    EXPECT_EQ(chain(1), (std::vector<std::string>{"VolumeEffect", "ReverbEffect"}));
    EXPECT_NE(stream(1).getEffectParameterValue("ReverbEffect", "decay"), 0.7f) << "not a shared type yet";

    core->addEffectToStreamGroupSync(0, "ReverbEffect");
    core->setEffectParameter(1, "ReverbEffect", "mix", 33.0f);
    EXPECT_EQ(stream(0).getEffectParameterValue("ReverbEffect", "mix"), 33.0f);

    // Stream 2 joins: it receives a copy of the reverb with the members' parameters.
    // Its own volume, the last member's in table order, is copied last.
    core->setEffectParameter(2, "VolumeEffect", "volume", 70.0f);
    ASSERT_EQ(core->addStreamToStreamGroupSync(2, 0), 0);
    EXPECT_EQ(chain(2), (std::vector<std::string>{"ReverbEffect", "VolumeEffect"}));
    EXPECT_EQ(stream(2).getEffectParameterValue("ReverbEffect", "mix"), 33.0f);
    EXPECT_EQ(volume(2), 70.0f);
    EXPECT_NE(stream(2).getEffects()[0], stream(1).getEffects()[1]) << "a copy, not a shared effect";

    // A filter change reaches the filter with that id on every member, shared type or not.
    core->addEffectToStream(0, "EQEffect");
    core->addEQFilterToStream(0, "PeakFilter");
    EXPECT_EQ(core->setEQFilterParameter(1, 0, "gain", 6.0f), 0);
    for (unsigned int id : {0u, 1u, 2u}) EXPECT_EQ(filterGain(id, 0), 6.0f) << id;

    EXPECT_EQ(core->setEffectEnable(2, "ReverbEffect", false), 0);
    EXPECT_FALSE(stream(0).getEffects()[1]->getEnable());
    EXPECT_EQ(core->setEffectEnable(3, "ReverbEffect", false), -1) << "stream 3 has no reverb";
    EXPECT_EQ(core->removeEffectFromStream(0, "ReverbEffect"), 0);
    EXPECT_EQ(chain(2), (std::vector<std::string>{"VolumeEffect", "EQEffect"}));
    EXPECT_EQ(chain(0), (std::vector<std::string>{"VolumeEffect", "EQEffect"}));
}

// Steady-state gain, in dB, of a sine at `frequency` through one stream's period loop.
double gainAt(VirtualEngine& engine, Stream& stream, double frequency) {
    constexpr unsigned int kFrames = 256, kRate = 48000;
    double inEnergy = 0, outEnergy = 0;
    std::vector<float> input(kFrames * 2);
    for (unsigned int period = 0; period < 400; ++period) {
        for (unsigned int frame = 0; frame < kFrames; ++frame) {
            const double t = double(period * kFrames + frame) / kRate;
            input[frame * 2] = input[frame * 2 + 1] = float(0.25 * std::sin(2 * std::numbers::pi * frequency * t));
        }
        const auto output = engine.runPeriod(stream, input);
        if (period < 200) continue; // past the filters' settling
        for (unsigned int i = 0; i < kFrames * 2; i += 2) {
            inEnergy += input[i] * input[i];
            outEnergy += output[i] * output[i];
        }
    }
    return 10 * std::log10(outEnergy / inEnergy);
}

TEST_F(StreamGroupsTest, FiveBandEqualizerBoostsEachBandCentreByItsGain) {
    LogCapture log;
    ASSERT_EQ(core->addEffectToStream(0, "EQDemoEffect"), 0);
    EXPECT_EQ(chain(0), (std::vector<std::string>{"VolumeEffect", "EQEffect", "EQDemoEffect"}));
    const auto filters = equalizer(0)->getFilters();
    ASSERT_EQ(filters.size(), 5u);
    EXPECT_EQ(stream(0).getEffects()[2]->getMinValue(), -24.0f);
    EXPECT_EQ(stream(0).getEffects()[2]->getMaxValue(), 10.0f);
    ASSERT_EQ(core->startStream(0), 0);

    // A peaking filter's gain at its own centre is its gain setting, whatever its Q; the other
    // bands sit at 0 dB there and so leave it alone.
    const char* bands[] = {"gainBand1", "gainBand2", "gainBand3", "gainBand4", "gainBand5"};
    const double expected[] = {6, -12, 9, -6, 3};
    for (int band = 0; band < 5; ++band) {
        auto peak = std::static_pointer_cast<PeakFilter>(filters[band]);
        EXPECT_EQ(peak->getCenterFreq(), EQDemoEffect::bandFrequencies[band]);
        EXPECT_EQ(peak->getQ(), EQDemoEffect::bandQs[band]);
        core->setEffectParameter(0, "EQDemoEffect", bands[band], float(expected[band]));
        EXPECT_NEAR(gainAt(engine, stream(0), EQDemoEffect::bandFrequencies[band]), expected[band], 0.2) << band;
        core->setEffectParameter(0, "EQDemoEffect", bands[band], 0.0f);
    }
}

TEST_F(StreamGroupsTest, AFiveBandEqualizerCopiedToAMemberShapesThatMemberOnceItLeaves) {
    LogCapture log;
    ASSERT_EQ(core->addEffectToStream(0, "EQDemoEffect"), 0);
    ASSERT_EQ(core->linkStreams({0}), 0);
    ASSERT_EQ(core->addStreamToStreamGroupSync(1, 0), 0);
    ASSERT_TRUE(equalizer(1));
    ASSERT_EQ(core->unlinkStream(1), 0);

    ASSERT_EQ(core->setEffectParameter(1, "EQDemoEffect", "gainBand1", 6.0f), 0);
    EXPECT_EQ(filterGain(1, 0), 6.0f);
    EXPECT_EQ(filterGain(0, 0), 0.0f) << "the source's stream moved";
}

TEST_F(StreamGroupsTest, RemovingAStreamWithTheFiveBandEqualizerReleasesItAtOnce) {
    LogCapture log;
    core->addEffectToStream(1, "EQDemoEffect");
    ASSERT_EQ(core->startStream(1), 0);
    std::weak_ptr<Stream> removed = core->getStreamById(1);
    auto band = stream(1).getEffects()[2];
    ASSERT_EQ(core->removeStream(1), 0);
    EXPECT_TRUE(removed.expired()) << "the effect must not keep its stream (or its audio) alive";
    band->setEffectParameter("gainBand1", 4.0f); // reaches nothing, and does not crash
    EXPECT_EQ(core->addStream(engine.mic, engine.speakers, 2, 2, 48000, 256), 1);
    EXPECT_EQ(core->startStream(1), 0) << "the devices are free again";
}

TEST_F(StreamGroupsTest, ConsoleRefusesBadGroupArguments) {
    CommandLineController console(core);
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"linkStreams 0", "Invalid number of arguments"},
        {"linkStreams 0 x", "Invalid stream id"},
        {"unlinkStreams x", "Invalid stream id"},
        {"setStreamsGroupColor 0 r 1 2", "Invalid red value"},
        {"setStreamsGroupColor 0 1 256 2", "Invalid green value"},
        {"addStreamToStreamGroupSync x 1", "Invalid group id"},
        {"addStreamToStreamGroupSync 4 1", "Group not found"},
        {"setStreamGroupVolumeLevelSync 0 yes", "Invalid sync level value"},
        {"setStreamGroupVolumeRatioSync 0 1", "Invalid sync ratio value"},
        {"addEffectToStreamGroupSync g PanEffect", "Invalid group id"},
        {"removeEffectFromStreamGroupSync 0 PanEffect", "Stream group not found"},
    };
    for (const auto& [line, message] : cases) {
        LogCapture log;
        EXPECT_EQ(console.parseCommand(line), -1) << line;
        EXPECT_TRUE(log.contains(message)) << line << "\n" << log.take();
    }
    LogCapture log;
    EXPECT_EQ(console.parseCommand("linkStreams 2 3"), 0);
    EXPECT_EQ(stream(3).getGroupID(), 0);
}

} // namespace
