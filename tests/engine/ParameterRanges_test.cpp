// Every parameter refuses values outside the range it advertises (NaN and infinities too), with one
// line and the current value kept, whichever way the value comes: the console, the socket or a
// session file, which is then refused whole before anything is cleared.

#include "console/CommandLineController.hpp"
#include "effects/EQEffect.hpp"
#include "ipc/Socket.hpp"
#include "sessions/SessionsManager.hpp"

#include "LogCapture.hpp"
#include "ProtocolClient.hpp"
#include "VirtualEngine.hpp"

#include <cmath>
#include <fstream>

using namespace std::chrono_literals;
using testsupport::LogCapture;

namespace {

struct Range {
    std::string effect;  // "PeakFilter": filter 0 of the stream's equalizer
    std::string parameter;
    float min, max;
};
void PrintTo(const Range& range, std::ostream* os) { *os << range.effect << " " << range.parameter; }

class ParameterRangeTest : public ::testing::TestWithParam<Range> {
protected:
    void SetUp() override {
        LogCapture quiet;
        core = &engine.makeCore();
        ASSERT_EQ(core->addStream(engine.mic, engine.speakers, 2, 2, 48000, 4), 0);
        for (const char* name : {"PanEffect", "EqualizerEffect", "DeviceDelayEffect", "ReverbEffect", "EQDemoEffect"})
            ASSERT_EQ(core->addEffectToStream(0, name), 0) << name;
        socket = std::make_unique<IPC::Socket>(core);
        socket->startListenThread();
    }
    void TearDown() override {
        LogCapture quiet;
        client.close();
        socket.reset();
    }
    // What the engine holds: the effect's range and value (NaN without a getter), or the filter's value.
    std::tuple<float, float, float> held() {
        const auto& [name, parameter, min, max] = GetParam();
        for (const auto& effect : core->getStreamById(0)->getEffects()) {
            if (name == "PeakFilter" && effect->getName() == "EQEffect") {
                const auto filter = std::static_pointer_cast<EQEffect>(effect)->getFilters().at(0);
                return {min, max, (filter.get()->*filter->getGetters().at(parameter))()};
            }
            if (effect->getName() != name) continue;
            const auto getters = effect->getGetters();
            const float value = getters.count(parameter) ? (effect.get()->*getters.at(parameter))() : NAN;
            return {effect->getMinValue(), effect->getMaxValue(), value};
        }
        return {NAN, NAN, NAN};
    }
    testsupport::VirtualEngine engine;
    Core* core{};
    std::unique_ptr<IPC::Socket> socket;
    testsupport::ProtocolClient client;
};

TEST_P(ParameterRangeTest, ValuesOutsideTheAdvertisedRangeAreRefusedEverywhere) {
    const auto& [name, parameter, min, max] = GetParam();
    const bool filter = name == "PeakFilter";
    const auto [advertisedMin, advertisedMax, before] = held();
    EXPECT_EQ(advertisedMin, min);
    EXPECT_EQ(advertisedMax, max);
    CommandLineController console(core);
    for (const float value : {min - 1.0f, max + 1.0f, NAN, INFINITY, -INFINITY}) {
        const std::string text = std::isnan(value) ? "nan" : std::isinf(value) ? (value > 0 ? "inf" : "-inf")
                                                                               : std::to_string(value);
        LogCapture log;
        EXPECT_EQ(console.parseCommand((filter ? "setEQFilterParameter 0 0 " : "setEffectParameter 0 " + name + " ") +
                                       parameter + " " + text),
                  -1);
        if (!filter) {
            ASSERT_TRUE(client.connected() || client.connect());
            client.send(6, testsupport::Request().i32(0).str(name).str(parameter).f32(value));
            client.send(12, testsupport::Request().i32(0));  // answered once the change has been handled
            ASSERT_TRUE(client.receive(5s));
        }
        EXPECT_EQ(log.count("Value refused: "), filter ? 1 : 2) << value << "\n" << log.take();
        const float after = std::get<2>(held());
        EXPECT_TRUE(std::isnan(before) ? std::isnan(after) : after == before) << value;
    }

    const std::string path = engine.dir.file("session.json");
    LogCapture log;
    SessionsManager(core).saveSession(path);
    auto document = nlohmann::json::parse(std::ifstream(path));
    for (auto& effect : document[1][0]["effects"]) {
        if (filter && effect["name"] == "EQEffect") effect["filters"][0][parameter] = max + 1.0f;
        else if (effect["name"] == name) effect["parameters"][parameter] = min - 1.0f;
    }
    std::ofstream(path) << document.dump();
    const auto stream = core->getStreamById(0);
    SessionsManager(core).loadSession(path);
    EXPECT_TRUE(log.contains("Could not load session file: " + path)) << log.take();
    EXPECT_EQ(core->getStreamById(0), stream) << "the set-up was cleared";
}

INSTANTIATE_TEST_SUITE_P(
    EveryParameter, ParameterRangeTest,
    ::testing::Values(Range{"VolumeEffect", "volume", 0, 200}, Range{"PanEffect", "panX", -1, 1},
                      Range{"PanEffect", "panY", -1, 1}, Range{"EqualizerEffect", "lowGain", -1, 1},
                      Range{"EqualizerEffect", "midGain", -1, 1}, Range{"EqualizerEffect", "highGain", -1, 1},
                      Range{"DeviceDelayEffect", "delay", 0, 5000}, Range{"ReverbEffect", "decay", 0, 100},
                      Range{"ReverbEffect", "mix", 0, 100}, Range{"ReverbEffect", "roomSize", 0, 100},
                      Range{"EQDemoEffect", "gainBand1", -24, 10}, Range{"EQDemoEffect", "gainBand2", -24, 10},
                      Range{"EQDemoEffect", "gainBand3", -24, 10}, Range{"EQDemoEffect", "gainBand4", -24, 10},
                      Range{"EQDemoEffect", "gainBand5", -24, 10},
                      Range{"PeakFilter", "gain", -24, 24}, Range{"PeakFilter", "centerFreq", 20, 20000},
                      Range{"PeakFilter", "Q", 0.1f, 40}),
    [](const auto& info) { return info.param.effect + "_" + info.param.parameter; });

} // namespace
