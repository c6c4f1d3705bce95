#include "EffectTestSupport.hpp"
#include "effects/EQEffect.hpp"
#include "effects/EffectFactory.hpp"

#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <tuple>

using effecttest::captureLogs;
using effecttest::LogLine;
using testing::ElementsAre;
using testing::Field;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

class EffectCatalogue : public effecttest::EffectTestBase {};

float read(Effect& effect, const std::string& parameter) {
    return (effect.*(effect.getGetters().at(parameter)))();
}

// The setters the registry holds, to reach them past its range check.
class SetterAccess : public Effect {
public:
    static Setter of(const Effect& effect, const std::string& parameter) {
        return (effect.*&SetterAccess::setters).at(parameter);
    }
};
Effect::Setter setterOf(const Effect& effect, const std::string& parameter) {
    return SetterAccess::of(effect, parameter);
}

class UncataloguedEffect : public Effect {
public:
    UncataloguedEffect() : Effect("VolumeEffect2") {}
    void process(float*, float*, unsigned, unsigned, unsigned) noexcept override {}
    std::string getSnapshotDump() override { return {}; }
};

} // namespace

TEST_F(EffectCatalogue, NamesAreExactAndTheFiveBandEqualizerNeedsItsStream) {
    for (const std::string name : {"volumeeffect", "Reverb", ""}) {
        std::shared_ptr<Effect> effect;
        const auto logs = captureLogs([&] { effect = createEffect(name); });
        EXPECT_EQ(effect, nullptr) << name;
        EXPECT_THAT(logs.err, ElementsAre(LogLine{"ERROR", "createEffect", "Effect not found"})) << name;
    }

    std::shared_ptr<Effect> effect;
    auto logs = captureLogs([&] { effect = createEffect("EQDemoEffect"); });
    EXPECT_EQ(effect, nullptr);
    EXPECT_THAT(logs.err, ElementsAre(LogLine{"ERROR", "createEffect", "Core or Stream is null for EQDemoEffect"},
                                      LogLine{"ERROR", "createEffect", "Effect not found"}));
}

TEST_F(EffectCatalogue, DeepCopiesKeepFlagsAndReportTheirOwnRange) {
    const auto volume = createEffect("VolumeEffect");
    volume->setIsMandatory(true);
    volume->setEnable(false);
    std::shared_ptr<Effect> copy;
    auto logs = captureLogs([&] { copy = makeDeepCopy(volume); });
    EXPECT_TRUE(copy->isMandatory());
    EXPECT_FALSE(copy->getEnable());
    EXPECT_EQ(copy->getMaxValue(), 200.0f);
    // The base is built from the name; the type's own constructor line is not repeated.
    EXPECT_THAT(logs.out, ElementsAre(LogLine{"LOG", "Effect", "Effect constructor"}));

    const auto reverb = createEffect("ReverbEffect");
    copy = makeDeepCopy(reverb);
    EXPECT_EQ(reverb->getMinValue(), 0.0f);
    EXPECT_EQ(reverb->getMaxValue(), 100.0f);
    EXPECT_EQ(copy->getMinValue(), 0.0f) << "a copy takes the range values are checked against";
    EXPECT_EQ(copy->getMaxValue(), 100.0f);

    const auto equalizer = createEffect("EqualizerEffect");
    copy.reset();
    logs = captureLogs([&] { copy = makeDeepCopy(equalizer); });
    EXPECT_THAT(logs.out, IsEmpty());

    const std::shared_ptr<Effect> unknown = std::make_shared<UncataloguedEffect>();
    copy.reset();
    logs = captureLogs([&] { copy = makeDeepCopy(unknown); });
    EXPECT_EQ(copy, nullptr);
    EXPECT_THAT(logs.err, ElementsAre(LogLine{"ERROR", "makeDeepCopy", "Effect not found"}));
}

TEST_F(EffectCatalogue, CopiesActOnThemselvesThroughTheRegistry) {
    const std::vector<std::pair<std::string, std::string>> parameters = {
        {"VolumeEffect", "volume"},     {"PanEffect", "panX"},          {"EqualizerEffect", "midGain"},
        {"DeviceDelayEffect", "delay"}, {"ReverbEffect", "roomSize"},
    };
    for (const auto& [name, parameter] : parameters) {
        SCOPED_TRACE(name);
        const auto source = createEffect(name);
        source->setEffectParameter(parameter, 0.25f);
        const auto copy = makeDeepCopy(source);
        EXPECT_EQ(read(*copy, parameter), 0.25f);
        copy->setEffectParameter(parameter, 0.75f);
        EXPECT_EQ(read(*copy, parameter), 0.75f);
        EXPECT_EQ(read(*source, parameter), 0.25f);
    }
}

TEST_F(EffectCatalogue, ParametersThatSizeMemoryRefuseValuesBeyondTheirMaximum) {
    const std::tuple<const char*, const char*, float> bounded[] = {{"DeviceDelayEffect", "delay", 5000.0f},
                                                                   {"ReverbEffect", "roomSize", 100.0f}};
    for (const auto& [name, bound, maximum] : bounded) {
        const std::string parameter = bound; // a plain local: lambdas below capture it
        const auto effect = createEffect(name);
        EXPECT_TRUE(effect->setEffectParameter(parameter, maximum)) << name;
        bool accepted = true;
        const auto logs = captureLogs([&] { accepted = effect->setEffectParameter(parameter, 5e6f); });
        EXPECT_THAT(logs.err, ElementsAre(Field(&LogLine::message, HasSubstr("5000000.000000 ")))) << name;
        EXPECT_FALSE(accepted) << name << ": a refused value reported as set";
        EXPECT_EQ(read(*effect, parameter), maximum) << name;
    }
    captureLogs([] { EXPECT_FALSE(createEffect("PanEffect")->setEffectParameter("tilt", 1.0f)); });
}

// A runaway setting gives silent blocks, never infinities or NaN; set back, the effect sounds like a
// fresh one: its state was cleared, not left poisoned.
TEST_F(EffectCatalogue, RunawaySettingsGiveSilenceAndTheEffectRecovers) {
    const std::tuple<const char*, const char*, float, float> runaways[] = {
        {"ReverbEffect", "decay", 1000.0f, 50.0f}, {"ReverbEffect", "mix", NAN, 50.0f},
        {"EqualizerEffect", "lowGain", INFINITY, 1.0f}};
    for (const auto& [name, parameter, wild, sane] : runaways) {
        const auto effect = createEffect(name), fresh = createEffect(name);
        effect->prepare({48000, 2, 256});
        fresh->prepare({48000, 2, 256});
        // Out of range for the registry: set as a setter called directly would.
        (effect.get()->*setterOf(*effect, parameter))(wild);
        bool silenced = false;
        for (int block = 0; block < 4000 && !silenced; ++block) {
            std::vector<float> signal(512, 0.5f);
            effect->process(signal.data(), signal.data(), 2, 256, 48000);
            ASSERT_TRUE(std::all_of(signal.begin(), signal.end(), [](float s) { return std::isfinite(s); }));
            silenced = signal == std::vector<float>(512, 0.0f);
        }
        ASSERT_TRUE(silenced) << parameter;
        effect->setEffectParameter(parameter, sane);
        std::vector<float> recovered(2048, 0.5f), expected = recovered;
        effecttest::processInBlocks(*effect, recovered, 2, 48000);
        effecttest::processInBlocks(*fresh, expected, 2, 48000);
        EXPECT_EQ(recovered, expected) << parameter;
    }
}

TEST_F(EffectCatalogue, UnknownParametersAndEnableChangesAreLogged) {
    const auto reverb = createEffect("ReverbEffect");
    auto logs = captureLogs([&] { reverb->setEffectParameter("Mix", 10.0f); });
    EXPECT_THAT(logs.err, ElementsAre(LogLine{"ERROR", "setEffectParameter", "Parameter not found"}));
    EXPECT_EQ(read(*reverb, "mix"), 50.0f);
    EXPECT_FALSE(reverb->setEffectParameter("mix", 350.0f));  // outside the reported range: refused
    EXPECT_EQ(read(*reverb, "mix"), 50.0f);

    logs = captureLogs([&] {
        reverb->setEnable(false);
        reverb->setEnable(false);
        reverb->setEnable(true);
    });
    EXPECT_THAT(logs.out, ElementsAre(LogLine{"LOG", "setEnable", "Effect ReverbEffect disabled"},
                                      LogLine{"LOG", "setEnable", "Effect ReverbEffect disabled"},
                                      LogLine{"LOG", "setEnable", "Effect ReverbEffect enabled"}));
}

TEST_F(EffectCatalogue, SnapshotDumps) {
    const auto dump = [](const std::string& name, const std::string& parameter = "", float value = 0) {
        const auto effect = createEffect(name);
        if (!parameter.empty()) effect->setEffectParameter(parameter, value);
        if (auto* eq = dynamic_cast<EQEffect*>(effect.get()))
            for (int i = 0; i < 2; ++i) eq->addFilter("PeakFilter");
        return effect->getSnapshotDump();
    };
    EXPECT_EQ(dump("VolumeEffect"), "VolumeEffect: \nVolume: 100.000000 % (0.000000 dB)\n");
    EXPECT_EQ(dump("PanEffect", "panX", 0.5f), "PanEffect: \nPan X: -0.500000\nPan Y: 0.000000\n");
    EXPECT_EQ(dump("EqualizerEffect", "lowGain", 0.5f),
              "EqualizerEffect: \nLow gain: 0.500000\nMid gain: 1.000000\nHigh gain: 1.000000\n");
    EXPECT_EQ(dump("DeviceDelayEffect", "delay", 12.5f), "DeviceDelayEffect: \nDelay: 12.500000 ms\n");
    EXPECT_EQ(dump("ReverbEffect"), "ReverbEffect: \nReverb: ");
    EXPECT_EQ(dump("EQEffect"), "EQEffect: \nPeakFilter\nPeakFilter\n");
}
