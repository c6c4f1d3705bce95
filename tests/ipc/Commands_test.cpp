// Requests wrapped in a Command over the real socket: the request's own replies, then a result
// under the client's id with done, refused or unknown and the engine's reason.

#include "ctl/Replies.hpp"
#include "engine/Core.hpp"
#include "ipc/Socket.hpp"

#include "LogCapture.hpp"
#include "ProtocolClient.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using testsupport::Packet;
using testsupport::ProtocolClient;
using testsupport::Request;

namespace {

constexpr std::uint16_t kCommand = 64, kCommandResult = 65;
constexpr std::uint16_t kStreamList = 4, kAddStream = 5, kSetEffectParameter = 6, kStartStream = 7,
                        kSaveSession = 10, kLoadSession = 11, kEffectList = 14, kEditStream = 15,
                        kAddEffect = 17, kDeleteEffect = 20;

struct Answer {
    Ctl::CommandOutcome outcome;
    int status{-1};
    std::vector<std::uint16_t> replies; // the types that came before the result
};

Request wrapped(int id, int type, const Request& request) {
    return Request().i32(id).i32(type).raw(request.payload());
}

// Reads up to the result of command `id`.
Answer awaitResult(ProtocolClient& client, int id) {
    Answer answer;
    while (auto packet = client.receive(2s)) {
        if (packet->type != kCommandResult) {
            answer.replies.push_back(packet->type);
            continue;
        }
        answer.outcome = Ctl::decodeCommandOutcome(
            {static_cast<std::int32_t>(packet->payload.size()), packet->type,
             std::vector<char>(packet->payload.begin(), packet->payload.end())});
        testsupport::Reply fields(*packet);
        fields.i32();
        answer.status = fields.i32();
        if (answer.outcome.id == id) return answer;
    }
    ADD_FAILURE() << "no result for command " << id;
    return answer;
}

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine.makeCore();
        {
            auto guard = engine.core->lock();
            ASSERT_EQ(engine.core->addStream(engine.mic, engine.speakers, 0, 0, 48000, 256), 0);
        }
        socket = std::make_unique<IPC::Socket>(engine.core.get());
        socket->startListenThread();
        ASSERT_TRUE(client.connect());
    }

    void TearDown() override {
        client.close();
        socket.reset();
    }

    Answer command(int type, const Request& request, int id = 1) {
        EXPECT_TRUE(client.send(kCommand, wrapped(id, type, request)));
        return awaitResult(client, id);
    }

    testsupport::LogCapture log;
    testsupport::VirtualEngine engine;
    std::unique_ptr<IPC::Socket> socket;
    ProtocolClient client;
};

TEST_F(CommandsTest, EachRefusalComesBackWithTheEnginesReason) {
    struct Case {
        const char* what;
        int type;
        Request request;
        int status;
        std::string reason; // a part of it
    };
    const std::vector<Case> cases{
        {"start a stream that is not there", kStartStream, Request().i32(9), 1, "Stream not found"},
        {"add a stream of 65 channels", kAddStream, Request().i32(0).i32(0).i32(65).i32(2).i32(48000).i32(256), 1,
         "Input channels out of range"},
        {"set a volume past its range", kSetEffectParameter,
         Request().i32(0).str("VolumeEffect").str("volume").f32(1000.0f), 1, "outside"},
        {"add an effect that does not exist", kAddEffect, Request().i32(0).str("Bogus"), 1, "Effect not found"},
        {"remove an effect the chain lacks", kDeleteEffect, Request().i32(0).str("PanEffect"), 1, ""},
        {"save where nothing can be written", kSaveSession, Request().str("/proc/none/s.json"), 1,
         "Could not create session file"},
        {"load a file that is not there", kLoadSession, Request().str(engine.dir.file("absent.json")), 1,
         "Could not open session file"},
        {"rename a stream past 256 bytes", kEditStream,
         Request().i32(0).i32(engine.mic).i32(engine.speakers).i32(2).i32(2).i32(48000).i32(256).str(std::string(300, 'n')),
         1, "Stream name refused"},
        {"send a request of no known type", 99, Request(), 2, "no request of type 99"},
        {"send a type past any header's", 65536 + 4, Request(), 2, "no request of type 65540"},
        {"nest a command", kCommand, wrapped(3, kStartStream, Request().i32(0)), 2, "cannot carry"},
        {"start the stream", kStartStream, Request().i32(0), 0, ""},
    };
    int id = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto answer = command(c.type, c.request, ++id);
        EXPECT_EQ(answer.outcome.id, id);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.outcome.done, c.status == 0);
        if (c.status != 0) EXPECT_FALSE(answer.outcome.reason.empty());
        EXPECT_NE(answer.outcome.reason.find(c.reason), std::string::npos) << answer.outcome.reason;
    }
    auto guard = engine.core->lock();
    EXPECT_TRUE(engine.core->getStreamById(0)->isStarted());
}

// A command too short to name its request is still answered under its id, or its client waits out
// its deadline.
TEST_F(CommandsTest, ACommandWithOnlyItsIdIsAnsweredUnderIt) {
    for (const auto& cut : {Request().i32(77), Request().i32(78).raw({7, 0})}) {
        const int id = cut.payload()[0];
        ASSERT_TRUE(client.send(kCommand, cut));
        const auto answer = awaitResult(client, id);
        EXPECT_EQ(answer.outcome.id, id);
        EXPECT_EQ(answer.status, 2);
        EXPECT_NE(answer.outcome.reason.find("request type"), std::string::npos) << answer.outcome.reason;
    }
}

// The request's own replies come first, exactly as a bare request gets them; a bare request gets no
// result at all.
TEST_F(CommandsTest, RepliesComeBeforeTheResultAndBareRequestsGetNone) {
    const auto listed = command(kStreamList, Request(), 5);
    EXPECT_EQ(listed.replies, (std::vector<std::uint16_t>{kStreamList, 12}));
    EXPECT_TRUE(listed.outcome.done);

    ASSERT_TRUE(client.send(kStartStream, Request().i32(9)));
    ASSERT_TRUE(client.send(kEffectList, Request().i32(0)));
    const auto next = client.receive(2s);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->type, kEffectList);
}

// Two clients that use the same ids each get their own results, in the order they asked.
TEST_F(CommandsTest, TwoClientsInterleavedEachGetTheirOwnResults) {
    ProtocolClient other;
    ASSERT_TRUE(other.connect());
    ASSERT_TRUE(client.send(kCommand, wrapped(1, kStartStream, Request().i32(9))));
    ASSERT_TRUE(other.send(kCommand, wrapped(1, kEffectList, Request().i32(0))));
    ASSERT_TRUE(client.send(kCommand, wrapped(2, kEffectList, Request().i32(0))));
    ASSERT_TRUE(other.send(kCommand, wrapped(2, kStartStream, Request().i32(9))));

    const auto mineFirst = awaitResult(client, 1), otherFirst = awaitResult(other, 1);
    const auto mineSecond = awaitResult(client, 2), otherSecond = awaitResult(other, 2);
    EXPECT_FALSE(mineFirst.outcome.done);
    EXPECT_TRUE(mineFirst.replies.empty());
    EXPECT_TRUE(otherFirst.outcome.done);
    EXPECT_EQ(otherFirst.replies, std::vector<std::uint16_t>{kEffectList});
    EXPECT_TRUE(mineSecond.outcome.done);
    EXPECT_EQ(mineSecond.replies, std::vector<std::uint16_t>{kEffectList});
    EXPECT_FALSE(otherSecond.outcome.done);
    EXPECT_TRUE(otherSecond.replies.empty());
    other.close();
}

} // namespace
