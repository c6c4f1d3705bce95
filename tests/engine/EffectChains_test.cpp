#include "effects/EQEffect.hpp"
#include "effects/Effect.hpp"
#include "effects/EffectFactory.hpp"
#include "engine/Core.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <cmath>

using testsupport::LogCapture;
using testsupport::VirtualEngine;

namespace {

std::vector<std::string> names(const EffectChain& chain) {
    std::vector<std::string> result;
    for (const auto& effect : chain) result.push_back(effect->getName());
    return result;
}

// A running stereo stream with 4-frame periods on the virtual machine.
class EffectChainTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture quiet;
        engine.system->settleBufferFramesAt(4);
        Core& core = engine.makeCore();
        id = static_cast<unsigned int>(core.addStream(engine.mic, engine.speakers, 2, 2, 48000, 4));
        stream = core.getStreamById(id);
        ASSERT_EQ(core.startStream(id), 0);
    }
    std::vector<float> period() { return engine.runPeriod(*stream, input); }

    VirtualEngine engine;
    unsigned int id{};
    std::shared_ptr<Stream> stream;
    const std::vector<float> input{0.5f, -0.5f, 0.25f, -0.25f, 1, -1, 0, 0};
};

TEST_F(EffectChainTest, NewStreamCarriesOnlyItsMandatoryVolume) {
    const auto chain = stream->getEffects();
    ASSERT_EQ(names(chain), (std::vector<std::string>{"VolumeEffect"}));
    EXPECT_TRUE(chain[0]->isMandatory());
    LogCapture log;
    EXPECT_EQ(stream->removeEffect("VolumeEffect", false), -1);
    EXPECT_TRUE(log.contains("Cannot remove mandatory effect"));
    EXPECT_EQ(stream->removeEffect("VolumeEffect", true), 0);
    EXPECT_TRUE(stream->getEffects().empty());
    EXPECT_EQ(stream->removeEffect("VolumeEffect", true), -1);
    EXPECT_EQ(period(), input) << "an empty chain passes the routed input";
}

TEST_F(EffectChainTest, DuplicatesAndUnknownNamesAreRefusedWithoutPartialChanges) {
    LogCapture log;
    EXPECT_EQ(engine.core->addEffectToStream(id, "ReverbEffect"), 0);
    EXPECT_EQ(engine.core->addEffectToStream(id, "ReverbEffect"), -1);
    EXPECT_EQ(engine.core->addEffectToStream(id, "reverbeffect"), -1);
    EXPECT_EQ(engine.core->addEffectToStream(99, "PanEffect"), -1);
    EXPECT_EQ(names(stream->getEffects()), (std::vector<std::string>{"VolumeEffect", "ReverbEffect"}));
    log.take();
    EXPECT_EQ(log.count("Effect already added"), 1);
    EXPECT_EQ(log.count("Stream not found"), 3);
    EXPECT_TRUE(log.contains("Socket not initialized"));
}

TEST_F(EffectChainTest, AddByInstanceReplacesAtTheEndOrAppends) {
    LogCapture log;
    ASSERT_EQ(stream->addEffect("PanEffect"), 0);
    auto newVolume = createEffect("VolumeEffect");
    EXPECT_EQ(stream->addEffectByInstance(newVolume), 0);
    EXPECT_EQ(names(stream->getEffects()), (std::vector<std::string>{"PanEffect", "VolumeEffect"}));
    EXPECT_EQ(stream->getEffects().back(), newVolume);
    EXPECT_EQ(stream->addEffectByInstance(createEffect("ReverbEffect")), 0);
    EXPECT_EQ(names(stream->getEffects()), (std::vector<std::string>{"PanEffect", "VolumeEffect", "ReverbEffect"}));
    EXPECT_TRUE(log.contains("Effect already added, replacing it"));
}

TEST_F(EffectChainTest, StreamAndMasterVolumesMultiply) {
    LogCapture log;
    EXPECT_EQ(engine.core->setEffectParameter(id, "VolumeEffect", "volume", 50), 0);
    EXPECT_EQ(engine.core->setMasterEffectParameter("VolumeEffect", "volume", 50), 0);
    const auto output = period();
    for (std::size_t i = 0; i < input.size(); ++i) EXPECT_NEAR(output[i], input[i] * 0.25f, 1e-6f) << i;
    EXPECT_FLOAT_EQ(stream->getEffectParameterValue("VolumeEffect", "volume"), 50.0f);
    EXPECT_FLOAT_EQ(stream->getEffectParameterValue("Missing", "volume"), -1.0f);
    EXPECT_THROW(stream->getEffectParameterValue("VolumeEffect", "nope"), std::out_of_range);
    EXPECT_EQ(engine.core->setEffectParameter(id, "Missing", "volume", 50), -1);
    EXPECT_EQ(engine.core->setMasterEffectParameter("Missing", "volume", 50), -1);
    EXPECT_TRUE(log.contains("Master effect not found"));
}

TEST_F(EffectChainTest, DisabledEffectsKeepTheirPlaceAndPassAudio) {
    LogCapture log;
    ASSERT_EQ(engine.core->setEffectParameter(id, "VolumeEffect", "volume", 0), 0);
    EXPECT_EQ(period(), std::vector<float>(8, 0.0f));
    EXPECT_EQ(engine.core->setEffectEnable(id, "VolumeEffect", false), 0);
    EXPECT_EQ(period(), input);
    EXPECT_EQ(engine.core->setMasterEffectEnable("VolumeEffect", false), 0);
    EXPECT_EQ(engine.core->setMasterEffectEnable("Missing", false), -1);
    EXPECT_EQ(names(stream->getEffects()), (std::vector<std::string>{"VolumeEffect"}));
    EXPECT_TRUE(log.contains("Master effect VolumeEffect set to disabled"));
    EXPECT_TRUE(log.contains("Effect VolumeEffect disabled"));
}

TEST_F(EffectChainTest, MasterChainDeleteClearAndRefusals) {
    LogCapture log;
    ASSERT_EQ(engine.core->setMasterEffectParameter("VolumeEffect", "volume", 10), 0);
    EXPECT_EQ(engine.core->deleteMasterEffect("VolumeEffect"), 0);
    EXPECT_TRUE(engine.core->getMasterEffects().empty());
    EXPECT_EQ(engine.core->deleteMasterEffect("VolumeEffect"), -1);
    EXPECT_EQ(period(), input) << "no master effect: the stream's own chain only";

    EXPECT_EQ(engine.core->addMasterEffect(""), -1);
    EXPECT_EQ(engine.core->addMasterEffect("PanEffect"), 0);
    EXPECT_EQ(engine.core->addMasterEffect("PanEffect"), -1);
    EXPECT_EQ(engine.core->addMasterEffect("EQDemoEffect"), -1);
    EXPECT_EQ(engine.core->clearMasterEffects(), 0);
    const auto master = engine.core->getMasterEffects();
    ASSERT_EQ(names(master), (std::vector<std::string>{"VolumeEffect"}));
    EXPECT_FLOAT_EQ((master[0].get()->*master[0]->getGetters().at("volume"))(), 100.0f);
    EXPECT_EQ(period(), input);
    log.take();
    EXPECT_TRUE(log.contains("Master effect VolumeEffect deleted"));
    EXPECT_TRUE(log.contains("Master effect VolumeEffect not found or is mandatory"));
    EXPECT_TRUE(log.contains("Effect name is empty"));
    EXPECT_TRUE(log.contains("Master effect PanEffect already exists"));
    EXPECT_TRUE(log.contains("Core or Stream is null for EQDemoEffect"));
    EXPECT_TRUE(log.contains("Effect creation failed"));
}

TEST_F(EffectChainTest, RemovedEffectsDieOnTheControlSide) {
    LogCapture log;
    ASSERT_EQ(stream->addEffect("ReverbEffect"), 0);
    period();
    std::weak_ptr<Effect> reverb = stream->getEffects().back();
    ASSERT_EQ(engine.core->removeEffectFromStream(id, "ReverbEffect"), 0);
    EXPECT_TRUE(reverb.expired()) << "no period holds it, so removal frees it at once";
    EXPECT_EQ(engine.core->removeEffectFromStream(id, "ReverbEffect"), -1);
    EXPECT_EQ(engine.core->removeEffectFromStream(id, "VolumeEffect"), -1);
    EXPECT_TRUE(log.contains("Effect destructor"));
}

TEST_F(EffectChainTest, EqualizerFiltersThroughTheCore) {
    LogCapture log;
    EXPECT_EQ(engine.core->addEQFilterToStream(id, "PeakFilter"), -1) << "no equalizer yet";
    ASSERT_EQ(engine.core->addEffectToStream(id, "EQEffect"), 0);
    EXPECT_EQ(engine.core->addEQFilterToStream(id, "PeakFilter"), 0);
    EXPECT_EQ(engine.core->addEQFilterToStream(id, "ShelfFilter"), -1);
    EXPECT_EQ(engine.core->setEQFilterParameter(id, 0, "gain", 6), 0);
    EXPECT_EQ(engine.core->setEQFilterParameter(id, 1, "gain", 6), -1) << "id 1 was used up";
    EXPECT_EQ(engine.core->getEQFilterInfo(id), 0);
    EXPECT_EQ(engine.core->removeEQFilterFromStream(id, 0), 0);
    EXPECT_EQ(engine.core->removeEQFilterFromStream(id, 0), -1);
    EXPECT_EQ(engine.core->getEQFilterInfo(77), -1);
    log.take();
    EXPECT_TRUE(log.contains("EQEffect not found"));
    EXPECT_TRUE(log.contains("(in function addEQFilterToStream at line"));
    EXPECT_TRUE(log.contains("Filter removed"));
}

} // namespace
