// The socket server over an engine of virtual devices, with several clients at once: each answered
// on its own connection, every one told of every change whoever made it, a client that stops reading
// or trickles a packet closed without holding the others up, and nothing written to a descriptor
// once its client has gone.

#include "ipc/Outbox.hpp"
#include "ipc/Socket.hpp"

#include "commands/CommandDispatcher.hpp"
#include "engine/Core.hpp"

#include "Eventually.hpp"
#include "LogCapture.hpp"
#include "ProtocolClient.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <array>
#include <fcntl.h>
#include <limits>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::LogCapture;
using testsupport::ProtocolClient;
using testsupport::Request;

namespace {

constexpr std::uint16_t kEffectList = 14, kSetEffectEnable = 18, kEffectParameters = 19, kDeleteEffect = 20;

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture quiet;
        engine.makeCore();
        socket = std::make_unique<IPC::Socket>(engine.core.get());
        socket->startListenThread();
    }

    // A socket that takes `requestsPerSecond` from each client in place of the default one.
    void restartSocket(int requestsPerSecond) {
        LogCapture quiet;
        socket.reset();
        socket = std::make_unique<IPC::Socket>(engine.core.get(), requestsPerSecond);
        socket->startListenThread();
    }

    void TearDown() override {
        LogCapture quiet;
        for (auto& client : clients) client.close();
        socket.reset();
    }

    void connectAll() {
        for (auto& client : clients) ASSERT_TRUE(client.connect());
        ASSERT_TRUE(eventually([&] { return socket->clientCount() == clients.size(); }));
    }

    // The master chain's list as each client must see it.
    static std::vector<std::string> masterList(bool volumeEnabled) {
        return {std::string("-1 VolumeEffect ") + (volumeEnabled ? "1" : "0")};
    }

    // The list pushed to every client; the one that asked (if any) has its reply, the same list, besides
    // the push, or instead of it.
    void expectEveryClientHears(const std::vector<std::string>& list, std::size_t asker = 99, int askerCopies = 2) {
        for (std::size_t i = 0; i < clients.size(); ++i)
            for (int copy = 0; copy < (i == asker ? askerCopies : 1); ++copy) {
                const auto pushed = clients[i].receive(2s);
                ASSERT_TRUE(pushed) << "client " << i;
                EXPECT_EQ(pushed->type, kEffectList);
                EXPECT_EQ(testsupport::entries(*pushed, "isi"), list) << "client " << i;
            }
        for (std::size_t i = 0; i < clients.size(); ++i) EXPECT_FALSE(clients[i].receive(0ms)) << "client " << i;
    }

    testsupport::VirtualEngine engine;
    std::unique_ptr<IPC::Socket> socket;
    std::array<ProtocolClient, 4> clients;
};

TEST_F(SocketTest, EveryClientIsAnsweredAloneAndHearsEveryChange) {
    connectAll();
    // A question is answered to the one who asked, and only to it.
    for (std::size_t i = 0; i < clients.size(); ++i) {
        ASSERT_TRUE(clients[i].send(kEffectParameters, Request().i32(-1).str("VolumeEffect")));
        const auto answer = clients[i].receive(2s);
        ASSERT_TRUE(answer) << "client " << i;
        EXPECT_EQ(answer->type, kEffectParameters);
        for (std::size_t other = 0; other < clients.size(); ++other)
            if (other != i) EXPECT_FALSE(clients[other].receive(0ms)) << "client " << other << " heard " << i;
    }
    // A change made by one client reaches all of them, the one that made it included.
    ASSERT_TRUE(clients[2].send(kSetEffectEnable, Request().i32(-1).str("VolumeEffect").i32(0)));
    expectEveryClientHears(masterList(false), 2);
    // So does one made on another thread through the dispatcher, as the console does.
    ASSERT_TRUE(dispatch(*engine.core, command::SetMasterEffectEnable{"VolumeEffect", true}).ok());
    expectEveryClientHears(masterList(true));
    // And a device that goes while a stream uses it.
    auto stream = engine.core->getStreamById(static_cast<unsigned>(
        engine.core->addStream(engine.headset, engine.headset, 0, 0, 48000, 256)));
    ASSERT_TRUE(stream);
    ASSERT_EQ(engine.core->startStream(stream->getStreamId()), 0);
    engine.system->unplug(engine.headset);
    engine.core->deviceEvents().drain();
    const auto notice = testsupport::hex(Request().i32(static_cast<int>(engine.headset)).i32(0).packet(21));
    for (auto& client : clients) {
        const auto lost = client.receive(2s);
        ASSERT_TRUE(lost);
        EXPECT_EQ(testsupport::hex(lost->wire()), notice);
    }
}

TEST_F(SocketTest, AnEffectRemovedFromAStreamIsToldToTheOthersAndAnsweredOnceToTheAsker) {
    connectAll();
    const auto id = engine.core->addStream(engine.headset, engine.headset, 0, 0, 48000, 256);
    ASSERT_GE(id, 0);
    for (const char* effect : {"PanEffect", "ReverbEffect"}) {
        {
            auto guard = engine.core->lock();
            ASSERT_EQ(engine.core->addEffectToStream(static_cast<unsigned>(id), effect), 0);
        }
        for (auto& client : clients) ASSERT_TRUE(client.receive(2s));
    }
    const std::string volume = std::to_string(id) + " VolumeEffect 1", pan = std::to_string(id) + " PanEffect 1";
    ASSERT_TRUE(clients[1].send(kDeleteEffect, Request().i32(id).str("ReverbEffect")));
    expectEveryClientHears({volume, pan}, 1, 1);
    // From the console, every client is told.
    {
        auto guard = engine.core->lock();
        ASSERT_EQ(engine.core->removeEffectFromStream(static_cast<unsigned>(id), "PanEffect"), 0);
    }
    expectEveryClientHears({volume});
}

TEST_F(SocketTest, NothingReachesADescriptorWhoseClientHasGone) {
    ProtocolClient& client = clients[0];
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(eventually([&] { return socket->getClientSocket() >= 0; }));
    const int served = socket->getClientSocket();
    client.close();
    ASSERT_TRUE(eventually([&] { return socket->getClientSocket() == -1; }));
    // Its old number may belong to something else now.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    // Out of the way first: the pair itself may have taken the freed number.
    const int stranger = ::fcntl(pair[0], F_DUPFD_CLOEXEC, 100);
    const int watcher = ::fcntl(pair[1], F_DUPFD_CLOEXEC, 100);
    ::close(pair[0]);
    ::close(pair[1]);
    ASSERT_EQ(::dup2(stranger, served), served);
    {
        auto guard = engine.core->lock();
        ASSERT_EQ(engine.core->setMasterEffectEnable("VolumeEffect", false), 0);
    }
    char byte;
    EXPECT_EQ(::recv(watcher, &byte, 1, MSG_DONTWAIT), -1) << "a push reached a descriptor that is not a client";
    ::close(served);
    ::close(stranger);
    ::close(watcher);
}

TEST_F(SocketTest, AClientThatStopsReadingIsClosedWithoutHoldingTheOthers) {
    restartSocket(std::numeric_limits<int>::max()); // closed for not reading, not for its rate
    connectAll();
    LogCapture log;
    ProtocolClient& deaf = clients[0];
    ASSERT_TRUE(deaf.sendBytes(testsupport::requestFlood()));
    // While its replies wait, the others and the engine lock are served at once.
    for (int round = 0; round < 5; ++round) {
        const auto asked = std::chrono::steady_clock::now();
        ASSERT_TRUE(clients[1].send(kEffectList, Request().i32(-1)));
        ASSERT_TRUE(clients[1].receive(2s));
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms) << "round " << round;
        const auto locking = std::chrono::steady_clock::now();
        { auto guard = engine.core->lock(); }
        EXPECT_LT(std::chrono::steady_clock::now() - locking, 100ms) << "round " << round;
    }
    ASSERT_TRUE(eventually([&] { return socket->clientCount() == clients.size() - 1; }, 10s));
    EXPECT_TRUE(deaf.waitClosedByPeer(5s));
    EXPECT_EQ(log.count("Client stopped reading"), 1) << log.out();
    ASSERT_TRUE(clients[3].send(kEffectList, Request().i32(-1)));
    EXPECT_TRUE(clients[3].receive(2s));
}

TEST_F(SocketTest, AClientThatSendsThousandsAtOnceTakesTurnsWithTheOthers) {
    connectAll();
    LogCapture log;
    const auto flood = testsupport::requestFlood(2000);
    {
        // Both wait while the engine is busy, the flood first: one read of it holds some 600 requests.
        auto guard = engine.core->lock();
        ASSERT_TRUE(clients[0].sendBytes(flood));
        ASSERT_TRUE(clients[1].send(kEffectList, Request().i32(-1)));
    }
    ASSERT_TRUE(clients[1].receive(2s));
    const std::string handled = log.out();
    const auto asked = handled.find("Socket received packet with size: 4 and id: 14");
    ASSERT_NE(asked, std::string::npos);
    std::size_t before = 0;
    for (auto at = handled.find("and id: 19"); at < asked; at = handled.find("and id: 19", at + 1)) ++before;
    EXPECT_LT(before, 100u) << "the other client waited for the flood";
}

// Requests that need no reply fill no queue: past its request rate a client is closed all the same,
// and a request's bytes count against the rate (a few large ones cost what many small ones do).
TEST_F(SocketTest, AClientThatFloodsRequestsNeedingNoReplyIsClosed) {
    const std::pair<testsupport::Bytes, int> floods[] = {
        {Request().i32(4242).packet(7), 1000}, // start an unknown stream: no reply
        {Request().i32(3).i32(4).raw(testsupport::Bytes(60000, 1)).packet(1), 20}, // a print test
    };
    restartSocket(100);
    connectAll();
    for (std::size_t round = 0; round < 2; ++round) {
        const auto& [one, count] = floods[round];
        ProtocolClient &flooder = clients[2 * round], &other = clients[2 * round + 1];
        testsupport::Bytes flood;
        for (int i = 0; i < count; ++i) flood.insert(flood.end(), one.begin(), one.end());
        LogCapture log;
        (void)flooder.sendBytes(flood); // the engine may close it before it has sent the lot
        EXPECT_TRUE(flooder.waitClosedByPeer(5s)) << one.size() << "-byte requests";
        ASSERT_TRUE(other.send(kEffectList, Request().i32(-1)));
        EXPECT_TRUE(other.receive(2s)) << "the others are served";
    }
}

TEST_F(SocketTest, APacketTrickledByteByByteIsClosedTwoSecondsAfterItsFirstByte) {
    ProtocolClient& trickler = clients[0];
    ASSERT_TRUE(trickler.connect());
    ASSERT_TRUE(eventually([&] { return socket->clientCount() == 1; }));
    const auto header = testsupport::rawPacket(1000, kEffectList, {});
    const auto started = std::chrono::steady_clock::now();
    bool closed = false;
    for (std::size_t sent = 0; !closed && std::chrono::steady_clock::now() - started < 5s; ++sent) {
        trickler.sendBytes({sent < header.size() ? header[sent] : std::uint8_t{0}});
        closed = trickler.waitClosedByPeer(200ms);
    }
    ASSERT_TRUE(closed) << "a trickle kept the packet open";
    const auto lasted = std::chrono::steady_clock::now() - started;
    EXPECT_GE(lasted, 1900ms);
    EXPECT_LT(lasted, 3500ms);
}

TEST_F(SocketTest, PastTheClientLimitAConnectionIsClosedAndTheOthersStay) {
    std::vector<ProtocolClient> many(IPC::Socket::kMaxClients);
    for (auto& client : many) ASSERT_TRUE(client.connect());
    ASSERT_TRUE(eventually([&] { return socket->clientCount() == IPC::Socket::kMaxClients; }));
    ProtocolClient& extra = clients[0];
    ASSERT_TRUE(extra.connect());
    EXPECT_TRUE(extra.waitClosedByPeer(5s));
    ASSERT_TRUE(many.back().send(kEffectList, Request().i32(-1)));
    EXPECT_TRUE(many.back().receive(2s));
    many.front().close();
    ASSERT_TRUE(eventually([&] { return socket->clientCount() == IPC::Socket::kMaxClients - 1; }));
    ASSERT_TRUE(extra.connect());
    ASSERT_TRUE(extra.send(kEffectList, Request().i32(-1)));
    EXPECT_TRUE(extra.receive(2s)) << "a freed place was not given to the next client";
}

TEST(OutboxTest, AClientThatTakesNothingIsGivenUpPastTheBound) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    IPC::Outbox outbox;
    outbox.open(pair[0]);
    const std::vector<char> packet(64 * 1024, 'x');
    // The kernel takes a buffer's worth; the queue holds the rest up to its bound.
    auto state = IPC::Outbox::State::Idle;
    for (int posted = 0; posted < 40 && state != IPC::Outbox::State::Overflow; ++posted) {
        outbox.post(pair[0], packet);
        state = outbox.flush(pair[0]);
        if (posted * packet.size() < IPC::Outbox::kQueueLimit) EXPECT_NE(state, IPC::Outbox::State::Overflow);
    }
    EXPECT_EQ(state, IPC::Outbox::State::Overflow);
    outbox.close(pair[0]);
    ::close(pair[0]);
    ::close(pair[1]);
}

} // namespace
