// The requests a control panel adds to the protocol, over the real socket and decoded by the
// client's own decoders: stream states with their routes, stopping, switching one route, groups.

#include "ctl/Replies.hpp"
#include "engine/Core.hpp"
#include "ipc/Packet.hpp"
#include "ipc/Socket.hpp"

#include "LogCapture.hpp"
#include "ProtocolClient.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using testsupport::Request;
using Routes = std::vector<std::pair<int, int>>;

namespace {

constexpr std::uint16_t kStreamStates = 22, kStopStream = 23, kSetChannelRedirect = 24, kStreamGroups = 25;

class PanelRequestsTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine.makeCore();
        socket = std::make_unique<IPC::Socket>(engine.core.get());
        socket->startListenThread();
        ASSERT_TRUE(client.connect());
    }

    void TearDown() override {
        client.close();
        socket.reset();
    }

    Ctl::Frame ask(std::uint16_t type, const Request& request = Request()) {
        EXPECT_TRUE(client.send(type, request));
        const auto answer = client.receive(2s);
        if (!answer) {
            ADD_FAILURE() << "no answer to type " << type;
            return {};
        }
        EXPECT_EQ(answer->type, type == kStreamGroups ? kStreamGroups : kStreamStates);
        return {static_cast<std::int32_t>(answer->payload.size()), answer->type,
                std::vector<char>(answer->payload.begin(), answer->payload.end())};
    }

    std::vector<Ctl::StreamStateEntry> states(std::uint16_t type = kStreamStates, const Request& request = Request()) {
        return Ctl::decodeStreamStates(ask(type, request));
    }

    Routes route(int stream, int input, int output, bool on) {
        const auto answer = states(kSetChannelRedirect, Request().i32(stream).i32(input).i32(output).i32(on));
        return answer.empty() ? Routes{} : answer.front().routes;
    }

    int addStream(unsigned input, unsigned output) {
        auto guard = engine.core->lock();
        return engine.core->addStream(input, output, 0, 0, 48000, 256);
    }

    testsupport::LogCapture log;
    testsupport::VirtualEngine engine;
    std::unique_ptr<IPC::Socket> socket;
    testsupport::ProtocolClient client;
};

TEST_F(PanelRequestsTest, StatesCarryEachStreamAndRoutesSwitchOneAtATime) {
    EXPECT_TRUE(states().empty());
    ASSERT_EQ(addStream(engine.mic, engine.speakers), 0);
    {
        auto guard = engine.core->lock();
        ASSERT_EQ(engine.core->startStream(0), 0);
        ASSERT_EQ(engine.core->setEffectParameter(0, "VolumeEffect", "volume", 40.0f), 0);
    }
    auto list = states();
    ASSERT_EQ(list.size(), 1u);
    const auto& s = list.front();
    EXPECT_EQ(s.stream.id, 0);
    EXPECT_EQ(s.stream.inputDevice, static_cast<int>(engine.mic));
    EXPECT_EQ(s.stream.outputDevice, static_cast<int>(engine.speakers));
    EXPECT_EQ(s.stream.sampleRate, 48000);
    EXPECT_EQ(s.stream.bufferFrames, 256);
    EXPECT_FLOAT_EQ(s.stream.volume, 40.0f);
    EXPECT_TRUE(s.running);
    EXPECT_EQ(s.inputChannels, 2);
    EXPECT_EQ(s.outputChannels, 2);
    EXPECT_EQ(s.groupId, -1);
    EXPECT_EQ(s.routes, (Routes{{0, 0}, {1, 1}}));

    EXPECT_EQ(route(0, 0, 1, true), (Routes{{0, 0}, {1, 1}, {0, 1}}));
    EXPECT_EQ(route(0, 0, 1, true), (Routes{{0, 0}, {1, 1}, {0, 1}})) << "no route twice";
    EXPECT_EQ(route(0, 0, 0, false), (Routes{{1, 1}, {0, 1}}));
    EXPECT_EQ(route(0, 0, 0, false), (Routes{{1, 1}, {0, 1}})) << "a route that is not there";
    EXPECT_EQ(route(0, 2, 0, true), (Routes{{1, 1}, {0, 1}})) << "a channel the stream lacks";
    EXPECT_EQ(route(0, -1, 0, true), (Routes{{1, 1}, {0, 1}}));
    EXPECT_EQ(route(7, 0, 0, true), (Routes{{1, 1}, {0, 1}})) << "no such stream";

    // The audio follows the switched routes: left in reaches both outputs, right in the right.
    auto& stream = *engine.core->getStreamById(0);
    std::vector<float> input;
    for (int frame = 0; frame < 256; ++frame) input.insert(input.end(), {0.5f, 0.25f});
    const auto output = engine.runPeriod(stream, input);
    ASSERT_EQ(output.size(), input.size());
    EXPECT_NEAR(output[200 * 2], 0.0f, 1e-6f) << "left out: nothing routes there now";
    EXPECT_GT(output[200 * 2 + 1], 0.2f) << "right out: left in and right in";

    list = states(kStopStream, Request().i32(0));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_FALSE(list.front().running);
    EXPECT_TRUE(log.contains("InputChannel not found")) << "a refused route says why";
}

TEST_F(PanelRequestsTest, GroupsCarryColourSyncModeSharedEffectsAndMembers) {
    for (int i = 0; i < 4; ++i) ASSERT_EQ(addStream(engine.mic, engine.speakers), i);
    EXPECT_TRUE(Ctl::decodeGroups(ask(kStreamGroups)).empty());
    {
        auto guard = engine.core->lock();
        ASSERT_EQ(engine.core->linkStreams({0, 2}), 0);
        ASSERT_EQ(engine.core->setStreamsGroupColor(0, {10, 20, 250}), 0);
        ASSERT_EQ(engine.core->setStreamGroupVolumeRatioSync(0, true), 0);
        ASSERT_EQ(engine.core->addEffectToStreamGroupSync(0, "PanEffect"), 0);
        ASSERT_EQ(engine.core->linkStreams({1, 3}), 0);
        ASSERT_EQ(engine.core->unlinkStream(1), 0);
        ASSERT_EQ(engine.core->unlinkStream(3), 0);
    }
    const auto groups = Ctl::decodeGroups(ask(kStreamGroups));
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].id, 0);
    EXPECT_EQ(std::tuple(groups[0].red, groups[0].green, groups[0].blue), std::tuple(10, 20, 250));
    EXPECT_FALSE(groups[0].volumeLevel);
    EXPECT_TRUE(groups[0].volumeRatio);
    EXPECT_EQ(groups[0].effects, std::vector<std::string>{"PanEffect"});
    EXPECT_EQ(groups[0].members, (std::vector<int>{0, 2}));
    EXPECT_TRUE(groups[1].members.empty()) << "an emptied group stays";
    std::vector<int> memberships;
    for (const auto& s : states()) memberships.push_back(s.groupId);
    EXPECT_EQ(memberships, (std::vector<int>{0, -1, 0, -1}));
}

} // namespace
