// The socket itself against the real binary: malformed input, clients that come and go side by side
// or stop reading,
// shutdown with a client connected, and a second engine that must leave the first one's socket alone.

#include "ProtocolClient.hpp"
#include "PulseTools.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::EngineProcess;
using testsupport::hex;
using testsupport::ProtocolClient;
using testsupport::Request;

namespace {

constexpr std::uint16_t kSetEffectParameter = 6, kEffectList = 14, kEffectParameters = 19;

class ProtocolTransportTest : public testsupport::ProtocolEngineTest {
protected:
    ProtocolTransportTest() : ProtocolEngineTest(VANTRELL_BINARY) {}

    void SetUp() override {
        ProtocolEngineTest::SetUp();
        if (HasFatalFailure()) return;
        const auto first = exchange(kEffectList, Request().i32(-1));
        ASSERT_EQ(first.size(), 1u);
        masterList = first[0].wire();
    }

    // The master effect list, asked for and answered on `via`.
    void expectServed(ProtocolClient* via = nullptr) {
        ProtocolClient& on = via ? *via : client;
        deliver(Request().i32(-1).packet(kEffectList), &on);
        const auto answer = on.receive();
        ASSERT_TRUE(answer) << "no answer";
        EXPECT_EQ(hex(answer->wire()), hex(masterList));
    }

    Bytes masterList;
};

TEST_F(ProtocolTransportTest, MalformedInputIsReadSafelyAndServingGoesOn) {
    // Unknown types get one line on standard error and no answer.
    for (std::uint16_t type : {99, 21, 0}) {
        const int before = engine->count("No handler registered for packet type!\n");
        EXPECT_TRUE(exchange(type, Request().i32(1)).empty()) << "type " << type;
        // Standard error is read on its own: the line may come after the silence that ended the exchange.
        EXPECT_TRUE(engine->waitFor("No handler registered for packet type!\n", 5s, before + 1)) << "type " << type;
        EXPECT_EQ(engine->count("No handler registered for packet type!\n"), before + 1) << "type " << type;
    }
    EXPECT_NE(engine->err().find("No handler registered for packet type!\n"), std::string::npos);
    expectServed();

    // A string whose length runs past the payload is empty.
    EXPECT_TRUE(exchange(kEffectParameters, Request().i32(5).i32(100).raw({'a', 'b', 'c'})).empty());
    EXPECT_TRUE(engine->waitFor("Getting stream effect parameters for stream: 5 effect: \x1b[0m", 5s));
    // So is one with a negative length; the next field starts right after the length.
    EXPECT_TRUE(exchange(kSetEffectParameter, Request().i32(-1).i32(-7).str("volume").f32(12.5f)).empty());
    EXPECT_TRUE(engine->waitFor("Setting master effect parameter:  parameter: volume value: 12.500000", 5s));
    EXPECT_TRUE(exchange(kEffectParameters, Request().i32(-1).i32(-3).raw({'x', 'y', 'z'})).empty());
    EXPECT_TRUE(engine->waitFor("Getting master effect parameters for effect: \x1b[0m", 5s));
    // A missing float is 0; an unknown master effect sends nothing.
    EXPECT_TRUE(exchange(kSetEffectParameter, Request().i32(-1).str("a").str("b")).empty());
    EXPECT_TRUE(engine->waitFor("Setting master effect parameter: a parameter: b value: 0.000000", 5s));
    EXPECT_TRUE(engine->waitFor("(in function setMasterEffectParameter at line", 5s));
    expectServed();

    // Random bytes, raw and under the effect request types.
    std::mt19937 random(7);
    auto noise = [&](std::size_t size) {
        Bytes bytes(size);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        return bytes;
    };
    ASSERT_TRUE(client.sendBytes(noise(2048)));
    EXPECT_TRUE(engine->waitFor("Socket dropped a packet with impossible size: -166083409 and id: 54083", 5s));
    for (std::uint16_t type : {6, 12, 14, 16, 17, 18, 19, 20})
        for (int round = 0; round < 4; ++round) exchange(type, Request().raw(noise(40)));
    expectServed();
    EXPECT_TRUE(engine->alive());
}

TEST_F(ProtocolTransportTest, AClientThatLeavesMidReplyCostsNothing) {
    // One that has stopped reading (every write to it fails), then one that closes right after asking.
    for (bool closes : {false, true}) {
        const int closed = engine->count("Client socket closed");
        if (!closes) client.stopReceiving();
        ASSERT_TRUE(client.send(2)); // the device list: a refresh, then a reply
        if (closes) client.close();
        ASSERT_TRUE(engine->waitFor("Client socket closed", 5s, closed + 1)) << "closes " << closes;
        ASSERT_TRUE(engine->alive()) << "the engine died writing to a client that had gone";
        ASSERT_TRUE(client.connect());
        expectServed();
    }
}

TEST_F(ProtocolTransportTest, ClientsReconnectAndOthersAreServedBesideThem) {
    client.close();
    ASSERT_TRUE(engine->waitFor("Client socket closed", 5s));
    ASSERT_TRUE(client.connect());
    expectServed();

    // A second connection is served while the first one stays, each on its own.
    ProtocolClient second;
    ASSERT_TRUE(second.connect());
    expectServed(&second);
    EXPECT_FALSE(client.receive(100ms)) << "the first client heard the second one's answer";
    expectServed();
    EXPECT_FALSE(second.receive(100ms));
}

// A client that asks and never reads is dropped once its replies back up; meanwhile another client
// and the console answer at once.
TEST_F(ProtocolTransportTest, AClientThatNeverReadsHoldsUpNeitherClientsNorConsole) {
    ProtocolClient other;
    ASSERT_TRUE(other.connect());
    ASSERT_TRUE(client.sendBytes(testsupport::requestFlood()));
    for (int round = 0; round < 3; ++round) {
        const auto asked = std::chrono::steady_clock::now();
        expectServed(&other);
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms) << "round " << round;
        const int helps = engine->count("Available commands:");
        engine->send("help");
        ASSERT_TRUE(engine->waitFor("Available commands:", 1s, helps + 1)) << "round " << round;
    }
    EXPECT_TRUE(engine->waitFor("Client stopped reading: it took nothing for 2 s; closing the connection", 10s));
    EXPECT_TRUE(client.waitClosedByPeer(5s));
    expectServed(&other);
}

TEST_F(ProtocolTransportTest, ExitWithAClientConnectedEndsWithinASecond) {
    expectServed();
    engine->send("exit");
    ASSERT_EQ(engine->waitExit(1000ms), 0) << "still running a second after exit";
    EXPECT_TRUE(client.waitClosedByPeer(1s));

    const std::string out = engine->out();
    const auto socketGone = out.find("Socket destructor");
    const auto waited = out.find("Waiting for listen thread to finish...");
    const auto coreGone = out.find("Core destructor");
    ASSERT_NE(socketGone, std::string::npos);
    EXPECT_LT(socketGone, waited);
    EXPECT_LT(waited, coreGone);
    struct stat info {};
    EXPECT_NE(::stat(ProtocolClient::kPath, &info), 0) << "the socket file outlived the engine";
}

TEST_F(ProtocolTransportTest, StaleSocketFileIsReplacedButALiveOneIsLeftAlone) {
    client.close();
    engine->send("exit");
    ASSERT_EQ(engine->waitExit(5s), 0);

    // What a killed engine leaves behind: a socket file nobody listens on.
    {
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, ProtocolClient::kPath, sizeof(address.sun_path) - 1);
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(stale);
    }
    engine = startEngine();
    ASSERT_TRUE(engine);
    ASSERT_TRUE(client.connect());
    expectServed();
    struct stat before {};
    ASSERT_EQ(::stat(ProtocolClient::kPath, &before), 0);

    // A second engine keeps its console but does not take the socket.
    EngineProcess second(binary, dir.path().string());
    ASSERT_TRUE(second.waitFor("Failed to bind socket", 20s)) << second.out();
    ASSERT_TRUE(second.waitFor("> ", 10s));
    second.send("help");
    EXPECT_TRUE(second.waitFor("Available commands:", 5s));
    second.send("exit");
    EXPECT_EQ(second.waitExit(5s), 0);
    EXPECT_EQ(second.count("Unix socket started at"), 0);

    struct stat after {};
    ASSERT_EQ(::stat(ProtocolClient::kPath, &after), 0) << "the second engine removed the first one's socket";
    EXPECT_EQ(after.st_ino, before.st_ino);
    expectServed();
    client.close();
    ASSERT_TRUE(client.connect());
    expectServed();
}

} // namespace
