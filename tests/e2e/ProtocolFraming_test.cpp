// How the engine cuts what a client sends into requests: several in one write, one over several
// writes, sizes no request can have, a packet left half-sent, and what the console echo shows.

#include "ProtocolClient.hpp"
#include "PulseTools.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::entries;
using testsupport::hex;
using testsupport::ProtocolClient;
using testsupport::rawPacket;
using testsupport::Request;

namespace {

enum Type : std::uint16_t { PrintTest = 1, AddStream = 5, SetEffectParameter, StartStream, FaderValue = 12, EditStream = 15,
                            EffectParameters = 19 };

Bytes operator+(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

Bytes setVolume(int stream, float value) {
    return Request().i32(stream).str("VolumeEffect").str("volume").f32(value).packet(SetEffectParameter);
}

class ProtocolFramingTest : public testsupport::ProtocolEngineTest {
protected:
    ProtocolFramingTest() : ProtocolEngineTest(VANTRELL_BINARY) {}

    // The master volume as the engine reports it, asked on its own.
    std::string masterVolume() {
        const auto reply = exchange(EffectParameters, Request().i32(-1).str("VolumeEffect"));
        return reply.size() == 1 ? entries(reply[0], "issfff").at(0) : "no reply";
    }
    static std::string volumeLine(float value) {
        char text[32];
        std::snprintf(text, sizeof(text), "%g", value);
        return std::string("-1 VolumeEffect volume ") + text + " 0 200";
    }
};

class BackToBack : public ProtocolFramingTest, public ::testing::WithParamInterface<int> {};

// Even requests set the master volume, odd ones read it back: every read sees the set before it.
// Steps of a quarter keep 600 requests inside the volume's range.
TEST_P(BackToBack, EveryRequestOfOneWriteIsAnsweredInOrder) {
    const int count = GetParam();
    Bytes all;
    for (int k = 0; k < count; ++k)
        all = all + (k % 2 ? Request().i32(-1).str("VolumeEffect").packet(EffectParameters)
                           : setVolume(-1, (k + 1) * 0.25f));
    // Read while the engine works: unread replies would fill the connection and stall it.
    ASSERT_TRUE(client.sendBytes(all));
    for (int k = 1; k < count; k += 2) {
        const auto reply = client.receive(5s);
        ASSERT_TRUE(reply) << "no answer to request " << k;
        EXPECT_EQ(entries(*reply, "issfff").at(0), volumeLine(k * 0.25f)) << "request " << k;
    }
    EXPECT_EQ(masterVolume(), volumeLine((count % 2 ? count : count - 1) * 0.25f));
}

INSTANTIATE_TEST_SUITE_P(Requests, BackToBack, ::testing::Values(2, 3, 600));

TEST_F(ProtocolFramingTest, ARequestSplitOverThreeWritesIsHandledOnceWhenComplete) {
    const Bytes request = Request().i32(-1).str("VolumeEffect").packet(EffectParameters);
    const int before = receipts();
    for (std::size_t from : {0, 3, 11}) {
        const std::size_t to = from == 11 ? request.size() : (from == 0 ? 3 : 11);
        ASSERT_TRUE(client.sendBytes(Bytes(request.begin() + long(from), request.begin() + long(to))));
        if (to == request.size()) break;
        EXPECT_FALSE(client.receive(300ms)) << "answered before the request was whole";
        EXPECT_EQ(receipts(), before);
    }
    const auto reply = client.receive(5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(entries(*reply, "issfff").at(0), volumeLine(100));
    EXPECT_EQ(masterVolume(), volumeLine(100));
    EXPECT_EQ(receipts(), before + 3); // the request, then masterVolume's request and marker
}

// Three changes in one write (stream 80%, master 50%, stream 50%) all land: a quarter of the tone.
TEST_F(ProtocolFramingTest, ThreeParameterChangesInOneWriteAllTakeEffect) {
    exchange(AddStream, Request().i32(0).i32(0).i32(1).i32(2).i32(48000).i32(1024));
    EXPECT_TRUE(exchange(StartStream, Request().i32(0)).empty());
    ASSERT_TRUE(engine->waitFor(" started successfully", 5s)) << engine->err();
    auto level = [] {
        std::this_thread::sleep_for(200ms);
        return testsupport::estimateTone(testsupport::recordMonitor("vantrell_main", 2, 48000, 1200ms), 2, 0,
                                         48000, 12000).rms;
    };
    const double full = level();
    ASSERT_GT(full, 0.2);
    deliver(setVolume(0, 80) + setVolume(-1, 50) + setVolume(0, 50), nullptr, 3);
    const auto fader = exchange(FaderValue, Request().i32(0));
    ASSERT_EQ(fader.size(), 1u);
    EXPECT_EQ(hex(fader[0].wire()), hex(Request().i32(0).f32(50).packet(FaderValue)));
    EXPECT_EQ(masterVolume(), volumeLine(50));
    EXPECT_NEAR(level() / full, 0.25, 0.03);
}

class ImpossibleSize : public ProtocolFramingTest, public ::testing::WithParamInterface<std::int32_t> {};

// The header and what came with it are dropped with one line; the next request is served.
TEST_P(ImpossibleSize, IsDroppedWithOneLineAndServingGoesOn) {
    const std::int32_t size = GetParam();
    ASSERT_TRUE(client.sendBytes(rawPacket(size, PrintTest, Request().i32(31).i32(41).payload()) + setVolume(-1, 7)));
    const std::string line = "Socket dropped a packet with impossible size: " + std::to_string(size) + " and id: 1";
    ASSERT_TRUE(engine->waitFor(line, 5s));
    EXPECT_EQ(masterVolume(), volumeLine(100));
    EXPECT_EQ(engine->count(line), 1);
    EXPECT_EQ(engine->out().find("\n31 41\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImpossibleSize, ::testing::Values(-1, INT_MAX, 65537));

TEST_F(ProtocolFramingTest, ARequestLongerThanOneReadIsHandledWhole) {
    const auto added = exchange(AddStream, Request().i32(0).i32(0).i32(1).i32(2).i32(48000).i32(512));
    ASSERT_FALSE(added.empty());
    std::istringstream stream(entries(added[0], "iiiiis").at(0));
    int id, input, output;
    stream >> id >> input >> output;
    // Read whole, then refused for its length: the stream keeps its name.
    const std::string name(5000, 'n');
    const auto edited = exchange(EditStream, Request().i32(id).i32(input).i32(output).i32(1).i32(2).i32(48000).i32(512).str(name));
    ASSERT_FALSE(edited.empty());
    EXPECT_TRUE(engine->waitFor("Stream name refused: 5000 bytes is beyond the limit of 256", 5s));
    EXPECT_EQ(entries(edited[0], "iiiiis").at(0), entries(added[0], "iiiiis").at(0));
}

TEST_F(ProtocolFramingTest, TheEchoOfReceivedBytesCarriesNoRawEscape) {
    const std::string hostile = "\x1b[2J\x1b]0;owned\x07 tail\\";
    ASSERT_TRUE(client.sendBytes(Bytes(hostile.begin(), hostile.end())));
    ASSERT_TRUE(engine->waitFor("\\x1b[2J\\x1b]0;owned\\x07 tail\\x5c\n", 5s)) << engine->out();
    EXPECT_EQ(engine->out().find("\x1b[2J"), std::string::npos);
    EXPECT_EQ(engine->out().find("\x1b]0;"), std::string::npos);
}

// A packet left half-sent ends that connection 2 s after its first byte, though more bytes trickle
// in; another client is served meanwhile.
TEST_F(ProtocolFramingTest, AHalfPacketThenATrickleIsClosedAfterTwoSecondsAndHoldsNoOneUp) {
    ProtocolClient next;
    ASSERT_TRUE(next.connect());
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.sendBytes({0xE8, 0x03, 0x00, 0x00, 0x01})); // a header announcing 1000 bytes
    ASSERT_TRUE(next.sendBytes(Request().i32(-1).str("VolumeEffect").packet(EffectParameters)));
    const auto reply = next.receive(1s);
    ASSERT_TRUE(reply) << "the half packet held another client up";
    EXPECT_EQ(entries(*reply, "issfff").at(0), volumeLine(100));
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - sent < 4s) {
        client.sendBytes({0x00});
        closed = client.waitClosedByPeer(200ms);
    }
    ASSERT_TRUE(closed) << "the trickle held the connection";
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 1900ms);
    EXPECT_TRUE(engine->waitFor("Client left a packet incomplete for 2 s; closing the connection", 1s));
}

} // namespace
