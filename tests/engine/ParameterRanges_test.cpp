// Every parameter refuses values outside the range it advertises (NaN and infinities too), with one
// line and the current value kept, whichever way the value comes: the console, the socket or a
// session file. A refused session value leaves the running set-up as it was.

#include "console/CommandLineController.hpp"
#include "effects/EQEffect.hpp"
#include "effects/Effect.hpp"
#include "engine/Core.hpp"
#include "ipc/Socket.hpp"
#include "sessions/SessionsManager.hpp"

#include "LogCapture.hpp"
#include "ProtocolClient.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::LogCapture;

namespace {

struct Range {
    const char* effect;  // "PeakFilter": filter 0 of the stream's equalizer
    const char* parameter;
    float min, max;
};

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

    bool isFilter() const { return std::string(GetParam().effect) == "PeakFilter"; }
    // The value as the engine holds it; NaN when the parameter has no getter.
    float current() {
        const auto stream = core->getStreamById(0);
        for (const auto& effect : stream->getEffects()) {
            if (isFilter() && effect->getName() == "EQEffect") {
                const auto filter = std::static_pointer_cast<EQEffect>(effect)->getFilters().at(0);
                return (filter.get()->*filter->getGetters().at(GetParam().parameter))();
            }
            if (effect->getName() != GetParam().effect) continue;
            const auto getters = effect->getGetters();
            const auto found = getters.find(GetParam().parameter);
            return found == getters.end() ? NAN : (effect.get()->*found->second)();
        }
        return NAN;
    }
    void expectRefusedOnce(LogCapture& log, float value, const char* way) {
        EXPECT_EQ(log.count("Value refused: "), 1) << way << " " << value << "\n" << log.take();
    }

    testsupport::VirtualEngine engine;
    Core* core{};
    std::unique_ptr<IPC::Socket> socket;
    testsupport::ProtocolClient client;
};

TEST_P(ParameterRangeTest, ValuesOutsideTheAdvertisedRangeAreRefusedEverywhere) {
    const auto& [effectName, parameter, min, max] = GetParam();
    if (!isFilter())
        for (const auto& effect : core->getStreamById(0)->getEffects())
            if (effect->getName() == effectName) {
                EXPECT_EQ(effect->getMinValue(), min);
                EXPECT_EQ(effect->getMaxValue(), max);
            }
    const std::string set = isFilter() ? "setEQFilterParameter 0 0 " : std::string("setEffectParameter 0 ") + effectName + " ";
    CommandLineController console(core);
    const float before = current();

    for (const float value : {min - 1.0f, max + 1.0f, NAN, INFINITY, -INFINITY}) {
        {
            LogCapture log;
            const std::string text = std::isnan(value) ? "nan" : std::isinf(value) ? (value > 0 ? "inf" : "-inf")
                                                                                   : std::to_string(value);
            EXPECT_EQ(console.parseCommand(set + parameter + " " + text), -1) << text;
            expectRefusedOnce(log, value, "console");
        }
        if (!isFilter()) {
            LogCapture log;
            ASSERT_TRUE(client.connected() || client.connect());
            client.send(6, testsupport::Request().i32(0).str(effectName).str(parameter).f32(value));
            client.send(12, testsupport::Request().i32(0));  // answered once the change has been handled
            ASSERT_TRUE(client.receive(5s));
            expectRefusedOnce(log, value, "socket");
        }
        EXPECT_TRUE(std::isnan(before) ? std::isnan(current()) : current() == before) << value;
    }

    // A session carrying a value out of range is refused whole, before anything is cleared.
    const std::string path = engine.dir.file("session.json");
    LogCapture log;
    SessionsManager(core).saveSession(path);
    json document = json::parse(std::ifstream(path));
    for (auto& effect : document[1][0]["effects"]) {
        if (isFilter() && effect["name"] == "EQEffect") effect["filters"][0][parameter] = max + 1.0f;
        else if (effect["name"] == effectName) effect["parameters"][parameter] = min - 1.0f;
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
                      Range{"EQDemoEffect", "gainBand1", -24, 10}, Range{"EQDemoEffect", "gainBand5", -24, 10},
                      Range{"PeakFilter", "gain", -24, 24}, Range{"PeakFilter", "centerFreq", 20, 20000},
                      Range{"PeakFilter", "Q", 0.1f, 40}),
    [](const auto& info) { return std::string(info.param.effect) + "_" + info.param.parameter; });

} // namespace
