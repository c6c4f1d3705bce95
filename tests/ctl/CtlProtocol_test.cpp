// The client's side of the wire: requests in the layout the engine decodes, replies decoded from
// the layout the engine encodes, and replies that do not add up refused rather than half-read.

#include "ctl/Failure.hpp"
#include "ctl/Replies.hpp"
#include "ipc/Packet.hpp"
#include "ipc/SocketUtils.hpp"

#include <gtest/gtest.h>

namespace {

using IPC::SocketUtils::serializeValues;

std::vector<unsigned char> bytes(const std::vector<char>& data) { return {data.begin(), data.end()}; }

Ctl::Frame frame(EPacketType type, std::vector<char> payload) {
    return {static_cast<std::int32_t>(payload.size()), static_cast<std::uint16_t>(type), std::move(payload)};
}

TEST(CtlProtocol, RequestsRoundTripThroughTheEngineDecoder) {
    using SetParameter = IPC::Packet<int, std::string, std::string, float>;
    const auto payload = SetParameter::serialize(-1, "EQDemoEffect", "q", 100.0f);
    const std::vector<unsigned char> expected{0xFF, 0xFF, 0xFF, 0xFF, 12, 0, 0, 0, 'E', 'Q', 'D', 'e', 'm', 'o', 'E',
                                              'f',  'f',  'e',  'c',  't', 1, 0, 0, 0,   'q', 0,   0,   0xC8, 0x42};
    EXPECT_EQ(bytes(payload), expected);
    SetParameter decoded;
    decoded.deserialize(payload);
    EXPECT_EQ(decoded.getData(), std::make_tuple(-1, std::string("EQDemoEffect"), std::string("q"), 100.0f));

    EXPECT_EQ(bytes(IPC::SocketUtils::framePacket(EPacketType::EffectList, {})),
              (std::vector<unsigned char>{0, 0, 0, 0, 14, 0}));
}

TEST(CtlProtocol, RepliesDecodeWhatTheEngineEncodes) {
    std::vector<char> streams;
    serializeValues(streams, 2, 0, 129, 130, 48000, 512, std::string("Stream129-130"), 3, 129, 131, 44100, 1024,
                    std::string(""));
    const auto decoded = Ctl::decodeStreams(frame(EPacketType::StreamList, streams));
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(decoded[0].name, "Stream129-130");
    EXPECT_EQ(decoded[1].id, 3);
    EXPECT_EQ(decoded[1].outputDevice, 131);
    EXPECT_EQ(decoded[1].bufferFrames, 1024);

    std::vector<char> parameters;
    serializeValues(parameters, 1, -1, std::string("ReverbEffect"), std::string("mix"), 30.0f, 0.0f, 100.0f);
    const auto listed = Ctl::decodeParameters(frame(EPacketType::EffectParameters, parameters));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].streamId, -1);
    EXPECT_EQ(listed[0].name, "mix");
    EXPECT_FLOAT_EQ(listed[0].value, 30.0f);
    EXPECT_FLOAT_EQ(listed[0].max, 100.0f);

    // The empty-list reply is a header alone.
    EXPECT_TRUE(Ctl::decodeEffects(frame(EPacketType::EffectList, {})).empty());
}

TEST(CtlProtocol, RepliesThatDoNotAddUpAreRefused) {
    std::vector<char> effects;
    serializeValues(effects, 1, 0, std::string("VolumeEffect"), 1);
    auto refused = [](std::vector<char> payload) {
        try {
            Ctl::decodeEffects(frame(EPacketType::EffectList, std::move(payload)));
        } catch (const Ctl::Failure& failure) {
            return failure.status() == Ctl::kNoReply;
        }
        return false;
    };
    EXPECT_FALSE(refused(effects));
    auto cut = effects;
    cut.pop_back();
    EXPECT_TRUE(refused(cut));
    auto trailing = effects;
    trailing.push_back(0);
    EXPECT_TRUE(refused(trailing));
    auto counted = effects;
    counted[0] = 2; // announces an entry that is not there
    EXPECT_TRUE(refused(counted));
    std::vector<char> huge;
    serializeValues(huge, 1, 0, static_cast<std::uint64_t>(1) << 62, 1);
    EXPECT_TRUE(refused(huge));
}

} // namespace
