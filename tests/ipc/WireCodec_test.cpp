// The Python driver used by the soak and the benchmarks writes requests with a codec of its own;
// it must write exactly what the engine's codec writes and decodes.

#include "ipc/Packet.hpp"
#include "ipc/SocketUtils.hpp"

#include "PulseTools.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::string hex(const std::vector<char>& bytes) {
    std::ostringstream text;
    for (char byte : bytes) {
        static constexpr char kDigits[] = "0123456789abcdef";
        text << kDigits[static_cast<unsigned char>(byte) >> 4] << kDigits[static_cast<unsigned char>(byte) & 0xf];
    }
    return text.str();
}

template <typename... Fields>
std::string request(EPacketType type, const Fields&... fields) {
    const auto payload = IPC::Packet<Fields...>::serialize(fields...);
    // What goes out must come back as it went.
    IPC::Packet<Fields...> decoded;
    decoded.deserialize(payload);
    EXPECT_EQ(decoded.getData(), std::make_tuple(fields...));
    return hex(IPC::SocketUtils::framePacket(type, payload));
}

TEST(WireCodecTest, ThePythonDriverWritesWhatTheEngineReads) {
    const std::string expected =
        request(EPacketType::StreamList) + "\n" +
        request(EPacketType::AddStream, 129, 130, 1, 2, 48000, 512) + "\n" +
        request(EPacketType::SetEffectParameter, -1, std::string("VolumeEffect"), std::string("volume"), 50.5f) + "\n" +
        request(EPacketType::EditStream, 0, 129, 131, 1, 2, 44100, 256, std::string("Mic \u2192 Speakers")) + "\n" +
        request(EPacketType::SetEffectEnable, 3, std::string("PanEffect"), 1) + "\n";
    const auto driver = testsupport::runCommand("python3 " VANTRELL_SCRIPTS "/engine_driver.py codec");
    ASSERT_EQ(driver.status, 0) << driver.output;
    EXPECT_EQ(driver.output, expected);
}

} // namespace
