// The web panel's server side without a browser: who is let in, the port it takes, the JSON the
// page is handed, what a meter reading covers, and actions whose arguments are refused before the
// engine is asked.

#include "ctl/Failure.hpp"
#include "ctl/web/Access.hpp"
#include "ctl/web/Levels.hpp"
#include "ctl/web/PanelActions.hpp"
#include "ctl/web/PanelModel.hpp"
#include "ctl/web/PanelPort.hpp"
#include "ipc/SocketUtils.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <regex>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Ctl::Web::RequestFacts;

struct AccessCase {
    RequestFacts request;
    int status;
};

class WebAccess : public ::testing::TestWithParam<AccessCase> {};

TEST_P(WebAccess, OnlyThePanelsOwnPageWithTheTokenIsServed) {
    EXPECT_EQ(Ctl::Web::refusalStatus(GetParam().request, "0123abcd", 8732), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, WebAccess,
    ::testing::Values(AccessCase{{"127.0.0.1:8732", std::nullopt, "0123abcd"}, 0},
                      AccessCase{{"localhost:8732", "http://localhost:8732", "0123abcd"}, 0},
                      AccessCase{{"127.0.0.1:8732", "http://127.0.0.1:8732", "0123abcd"}, 0},
                      AccessCase{{"127.0.0.1:8732", std::nullopt, ""}, 401},
                      AccessCase{{"127.0.0.1:8732", std::nullopt, "0123abce"}, 401},
                      AccessCase{{"127.0.0.1:8732", std::nullopt, "0123abcd0"}, 401},
                      // A name rebound to 127.0.0.1 by a page, another port, another page's script.
                      AccessCase{{"attacker.example:8732", std::nullopt, "0123abcd"}, 403},
                      AccessCase{{"127.0.0.1:8733", std::nullopt, "0123abcd"}, 403},
                      AccessCase{{"127.0.0.1", std::nullopt, "0123abcd"}, 403},
                      AccessCase{{"127.0.0.1:8732", "http://attacker.example", "0123abcd"}, 403},
                      AccessCase{{"127.0.0.1:8732", "http://127.0.0.1:9000", "0123abcd"}, 403},
                      AccessCase{{"127.0.0.1:8732", "null", "0123abcd"}, 403},
                      AccessCase{{"127.0.0.1:8732", "https://127.0.0.1:8732", "0123abcd"}, 403}));

TEST(WebAccessToken, IsFreshAndHexadecimal) {
    const std::string first = Ctl::Web::makeToken(), second = Ctl::Web::makeToken();
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9a-f]{32}"))) << first;
    EXPECT_NE(first, second);
    EXPECT_EQ(Ctl::Web::refusalStatus({"127.0.0.1:1", std::nullopt, ""}, "", 1), 401) << "no token lets nobody in";
}

// A server that lets its port go when it ends, listening or not.
struct BoundServer : httplib::Server {
    ~BoundServer() override { ::close(svr_sock_); }
};

TEST(WebPanelPort, ATakenPortIsNotSharedButMovedOnFrom) {
    BoundServer other, panel, movedPanel;
    const int port = other.bind_to_any_port("127.0.0.1"); // with cpp-httplib's SO_REUSEPORT
    EXPECT_EQ(Ctl::Web::bindPanelPort(panel, port, 1), std::nullopt);
    EXPECT_GT(Ctl::Web::bindPanelPort(movedPanel, port, 10).value_or(0), port);
}

// A mono export of five periods of four samples, oldest first, the next write at offset 0.
Ctl::RingSnapshot quietRing() { return {std::vector<float>(20, 0.01f), 0, 4}; }

TEST(WebPanelLevels, AReadingCoversEveryPeriodWrittenSinceTheLast) {
    const auto start = std::chrono::steady_clock::now();
    Ctl::Web::RingFollower follower;
    auto ring = quietRing();
    ring.samples[16] = 1.0f; // in the newest period: read now, and not again
    follower.read(ring, 1, start);
    // Three periods later, a click in the first of them.
    std::rotate(ring.samples.begin(), ring.samples.begin() + 12, ring.samples.end());
    std::fill(ring.samples.begin() + 8, ring.samples.end(), 0.01f);
    ring.samples[9] = 0.5f;
    ring.writeOffset = 3 * 4 * sizeof(float);
    EXPECT_NEAR(follower.read(ring, 1, start + 40ms)[0].peakDb, -6.02, 0.01);
}

// The offset alone cannot tell a ring that came round since the last reading from a still one.
TEST(WebPanelLevels, ARingThatCameRoundIsReadWholeAndAStillOneAsSilence) {
    const auto start = std::chrono::steady_clock::now();
    Ctl::Web::RingFollower follower;
    follower.read(quietRing(), 1, start);
    auto round = quietRing();
    round.samples[1] = 0.5f;
    EXPECT_NEAR(follower.read(round, 1, start + 2s)[0].peakDb, -6.02, 0.01);
    EXPECT_EQ(follower.read(round, 1, start + 4s)[0].peakDb, Ctl::kSilenceDb);
}

TEST(WebPanelJson, NamesDevicesAndGroupsAndShowsTheLatestVolume) {
    Ctl::Web::PanelState state;
    state.connected = true;
    state.socketPath = "/tmp/engine.sock";
    state.inputs = {{129, "Sine source", 1}};
    state.outputs = {{130, "Main", 2}};
    Ctl::StreamStateEntry stream;
    stream.stream = {0, 129, 131, 48000, 512, "Stream129-131", 25.0f};
    stream.running = true;
    stream.inputChannels = 1;
    stream.outputChannels = 2;
    stream.groupId = 0;
    stream.routes = {{0, 0}, {0, 1}};
    state.streams = {stream};
    state.chains[0] = {{{"VolumeEffect", true, {{0, "VolumeEffect", "volume", 100.0f, 0.0f, 200.0f}}},
                        {"PanEffect", false, {{0, "PanEffect", "panX", 0.5f, -1.0f, 1.0f}}}},
                       {"ReverbEffect"}};
    state.chains[-1] = {{{"VolumeEffect", true, {{-1, "VolumeEffect", "volume", 80.0f, 0.0f, 200.0f}}}}, {}};
    state.groups = {{0, 255, 16, 300, false, true, {"PanEffect"}, {0}}};
    state.notices = {{3, "Device 131 (Alt) was disconnected"}};

    const Json page = Ctl::Web::panelJson(state);
    EXPECT_EQ(page["engine"], (Json{{"connected", true}, {"socket", "/tmp/engine.sock"}}));
    const Json& s = page["streams"][0];
    EXPECT_EQ(s["input"], (Json{{"id", 129}, {"name", "Sine source"}, {"missing", false}}));
    EXPECT_EQ(s["output"], (Json{{"id", 131}, {"name", "device 131"}, {"missing", true}})) << "a lost device";
    EXPECT_EQ(s["routes"], Json::parse("[[0,0],[0,1]]"));
    EXPECT_EQ(s["running"], true);
    EXPECT_EQ(s["chain"]["effects"][0]["parameters"][0],
              (Json{{"name", "volume"}, {"value", 25.0}, {"min", 0.0}, {"max", 200.0}}))
        << "the polled volume wins over the chain's older reading";
    EXPECT_EQ(s["chain"]["effects"][1]["enabled"], false);
    EXPECT_EQ(s["chain"]["effects"][1]["parameters"][0]["value"], 0.5);
    EXPECT_EQ(s["chain"]["addable"], Json::parse(R"(["ReverbEffect"])"));
    EXPECT_EQ(page["master"]["effects"][0]["parameters"][0]["value"], 80.0);
    EXPECT_EQ(page["groups"][0], Json::parse(R"({"id":0,"color":"#ff10ff","volumeSync":"ratio",
                                                 "effects":["PanEffect"],"members":[0]})"));
    EXPECT_EQ(page["notices"], Json::parse(R"([{"id":3,"text":"Device 131 (Alt) was disconnected"}])"));

    // A stream whose chain was not read yet, and values JSON cannot carry.
    state.chains.clear();
    state.chains[-1] = {{{"VolumeEffect", true, {{-1, "VolumeEffect", "volume", NAN, 0.0f, 200.0f}}}}, {}};
    const Json bare = Ctl::Web::panelJson(state);
    EXPECT_EQ(bare["streams"][0]["chain"], Json::parse(R"({"effects":[],"addable":[]})"));
    EXPECT_TRUE(bare["master"]["effects"][0]["parameters"][0]["value"].is_null());
}

TEST(WebPanelReplies, StatesAndGroupsThatDoNotAddUpAreRefused) {
    using IPC::SocketUtils::serializeValues;
    auto frame = [](EPacketType type, std::vector<char> payload) {
        return Ctl::Frame{static_cast<std::int32_t>(payload.size()), static_cast<std::uint16_t>(type), payload};
    };
    std::vector<char> state;
    serializeValues(state, 1, 0, 129, 130, 48000, 512, std::string("S"), 1, 1, 2, -1, 100.0f, 1, 0, 1);
    ASSERT_EQ(Ctl::decodeStreamStates(frame(EPacketType::StreamStates, state)).front().routes,
              (std::vector<std::pair<int, int>>{{0, 1}}));
    state.resize(state.size() - 4); // the last route's output channel is missing
    EXPECT_THROW(Ctl::decodeStreamStates(frame(EPacketType::StreamStates, state)), Ctl::Failure);
    std::vector<char> group;
    serializeValues(group, 1, 0, 1, 2, 3, 0, 1, 1000000, 0); // more shared effects than bytes
    EXPECT_THROW(Ctl::decodeGroups(frame(EPacketType::StreamGroups, group)), Ctl::Failure);
}

struct ActionCase {
    std::string name;
    std::string arguments;
    Ctl::ExitStatus status;
};

class WebActions : public ::testing::TestWithParam<ActionCase> {};

// Bad arguments are refused before the engine is asked, so the engine's absence here shows only
// for arguments that pass.
TEST_P(WebActions, ArgumentsAreCheckedBeforeTheEngineIsAsked) {
    const auto& c = GetParam();
    Ctl::Web::PanelEngine::Link link("/nonexistent/engine.sock");
    try {
        Ctl::Web::parseAction(c.name, Json::parse(c.arguments))(link);
        ADD_FAILURE() << "accepted";
    } catch (const Ctl::Failure& failure) {
        EXPECT_EQ(failure.status(), c.status) << failure.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, WebActions,
    ::testing::Values(ActionCase{"format", "{}", Ctl::kUsage},
                      ActionCase{"route", "[1, 2]", Ctl::kUsage},
                      ActionCase{"route", R"({"id": 0, "input": 0, "output": 1})", Ctl::kUsage},
                      ActionCase{"route", R"({"id": 0, "input": -1, "output": 1, "on": true})", Ctl::kUsage},
                      ActionCase{"route", R"({"id": 0, "input": 0, "output": 1, "on": true})", Ctl::kRefused},
                      ActionCase{"setParameter", R"({"id": -1, "effect": "VolumeEffect", "parameter": "volume",
                                                     "value": "loud"})", Ctl::kUsage},
                      ActionCase{"setParameter", R"({"id": -1, "effect": "", "parameter": "volume", "value": 1})",
                                 Ctl::kUsage},
                      ActionCase{"setParameter", R"({"id": -1, "effect": "VolumeEffect", "parameter": "volume",
                                                     "value": 1e300})", Ctl::kUsage},
                      ActionCase{"setParameter", R"({"id": -1, "effect": "VolumeEffect", "parameter": "volume",
                                                     "value": 50})", Ctl::kNotRunning},
                      ActionCase{"addStream", R"({"input": -3})", Ctl::kUsage},
                      ActionCase{"addStream", R"({"bufferFrames": 2.5})", Ctl::kUsage},
                      ActionCase{"addStream", "{}", Ctl::kNotRunning},
                      ActionCase{"startStream", R"({"id": 4})", Ctl::kRefused},
                      ActionCase{"loadSession", R"({"name": 7})", Ctl::kUsage}));

} // namespace
