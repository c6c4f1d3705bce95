// Sessions through the real binary on the private PulseAudio: a set-up saved from the console comes
// back after a new session with the same file and the same sound, and the session requests answer
// in their order, byte for byte.

#include "ProtocolClient.hpp"
#include "PulseTools.hpp"
#include "SessionDocuments.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <thread>

using namespace std::chrono_literals;
using testsupport::hex;
using testsupport::Request;

namespace {

enum Type : std::uint16_t {
    DeviceInputs = 2, DeviceOutputs, StreamList, SaveSession = 10, LoadSession, FaderValue, NewSession, EffectList,
};

// A reply string: 8-byte length, then the bytes.
testsupport::Bytes replyString(const std::string& text) {
    Request length;
    length.i32(static_cast<std::int32_t>(text.size())).i32(0);
    testsupport::Bytes bytes = length.payload();
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

class SessionsE2ETest : public testsupport::ProtocolEngineTest {
protected:
    SessionsE2ETest() : ProtocolEngineTest(VANTRELL_BINARY) {}

    void SetUp() override {
        ProtocolEngineTest::SetUp();
        if (HasFatalFailure()) return;
        sine = deviceId(DeviceInputs, "Sine source at 440 Hz");
        main = deviceId(DeviceOutputs, "Vantrell_Main");
        alt = deviceId(DeviceOutputs, "Vantrell_Alt");
    }

    // Console lines, then a marker whose answer shows they have all run.
    void console(const std::vector<std::string>& lines) {
        for (const auto& line : lines) engine->send(line);
        const int before = engine->count("Available commands:");
        engine->send("help");
        ASSERT_TRUE(engine->waitFor("Available commands:", 10s, before + 1));
        client.receiveFor(300ms);  // effect lists the commands pushed
    }

    testsupport::ToneEstimate measure() {
        std::this_thread::sleep_for(1000ms);
        return testsupport::steadyTone(testsupport::recordMonitor("vantrell_main", 2, 48000, 2000ms), 2, 0, 48000);
    }

    testsupport::Bytes streamList(int output, int rate, int frames) {
        const std::string name = "Stream" + std::to_string(sine) + "-" + std::to_string(output);
        Request list;
        list.i32(1).i32(0).i32(sine).i32(output).i32(rate).i32(frames).raw(replyString(name));
        return list.packet(StreamList);
    }

    testsupport::Bytes masterList() {
        return Request().i32(1).i32(-1).raw(replyString("VolumeEffect")).i32(1).packet(EffectList);
    }

    int sine{0}, main{0}, alt{0};
};

TEST_F(SessionsE2ETest, ASavedSet_upComesBackWithItsSound) {
    const std::string s = std::to_string(sine), m = std::to_string(main), a = std::to_string(alt);
    console({"addStream " + s + " " + m + " 1 2 48000 1024", "setEffectParameter 0 VolumeEffect volume 50",
             "addEffect 0 DeviceDelayEffect", "setEffectParameter 0 DeviceDelayEffect delay 5",
             "addEffect 0 ReverbEffect", "setEffectParameter 0 ReverbEffect mix 0.7",
             "setEffectEnable 0 ReverbEffect false", "addEffect 0 EQEffect", "addEQFilter 0 PeakFilter",
             "addEQFilter 0 PeakFilter", "addEQFilter 0 PeakFilter", "setEQFilterParameter 0 0 centerFreq 9000",
             "setEQFilterParameter 0 2 gain -6", "setEQFilterParameter 0 2 centerFreq 12000", "removeEQFilter 0 1",
             "addStream " + s + " " + a + " 1 2 44100 512", "setMasterEffectParameter VolumeEffect volume 80",
             "linkStreams 0 1", "setStreamGroupVolumeRatioSync 0 true", "startStream 0"});
    const auto saved = measure();
    ASSERT_NEAR(saved.frequency, 440.0, 5.0);
    EXPECT_NEAR(saved.rms, 0.5 / std::sqrt(2.0) * 0.5 * 0.8, 0.02) << "stream at 50 %, master at 80 %";

    const std::string first = dir.file("first.json"), second = dir.file("second.json");
    console({"saveSession " + first, "saveSession " + dir.file("missing/x.json")});
    EXPECT_TRUE(engine->waitFor("Could not create session file: " + dir.file("missing/x.json")));
    EXPECT_EQ(engine->count("Command not found"), 0) << "a failed save is not a failed command";

    const auto cleared = exchange(NewSession);
    ASSERT_EQ(cleared.size(), 2u);
    EXPECT_EQ(hex(cleared[1].wire()), "00 00 00 00 04 00");
    EXPECT_LT(measure().rms, 0.01) << "a new session stops every stream";

    console({"loadSession " + first, "saveSession " + second});
    const auto loaded = measure();
    EXPECT_NEAR(loaded.frequency, 440.0, 5.0);
    EXPECT_NEAR(loaded.rms / saved.rms, 1.0, 0.05);
    EXPECT_TRUE(engine->waitForStdout("Effect name: \"DeviceDelayEffect\" Parameter name: delay Value: 5.0\n"));
    const auto before = nlohmann::json::parse(testsupport::readFile(first));
    const auto after = nlohmann::json::parse(testsupport::readFile(second));
    EXPECT_TRUE(before[1][0]["effects"][3]["filters"][1].is_null());
    EXPECT_EQ(testsupport::sessionBody(after), testsupport::sessionBody(testsupport::compactFilters(before)));
}

TEST_F(SessionsE2ETest, SessionRequestsAnswerInOrder) {
    console({"addStream " + std::to_string(sine) + " " + std::to_string(main) + " 1 2 48000 512"});
    const std::string path = dir.file("requests.json");
    EXPECT_TRUE(exchange(SaveSession, Request().str(path)).empty());
    EXPECT_EQ(nlohmann::json::parse(testsupport::readFile(path))[0]["sessionName"], path);

    const auto cleared = exchange(NewSession);
    ASSERT_EQ(cleared.size(), 2u);
    EXPECT_EQ(hex(cleared[0].wire()), hex(masterList())) << "the master chain rebuilt";
    EXPECT_EQ(hex(cleared[1].wire()), "00 00 00 00 04 00");

    // The master chain is rebuilt (a push), its saved flag applied (a push), then the streams.
    const auto loaded = exchange(LoadSession, Request().str(path));
    ASSERT_EQ(loaded.size(), 4u);
    EXPECT_EQ(hex(loaded[0].wire()), hex(masterList()));
    EXPECT_EQ(hex(loaded[1].wire()), hex(masterList()));
    EXPECT_EQ(hex(loaded[2].wire()), hex(streamList(main, 48000, 512)));
    EXPECT_EQ(hex(loaded[3].wire()), hex(Request().i32(0).f32(100).packet(FaderValue)));

    // A file that is not there changes nothing; the unchanged list still comes.
    const auto missing = exchange(LoadSession, Request().str(dir.file("absent.json")));
    ASSERT_EQ(missing.size(), 2u);
    EXPECT_EQ(hex(missing[0].wire()), hex(streamList(main, 48000, 512)));
    EXPECT_TRUE(engine->waitFor("Could not open session file: " + dir.file("absent.json")));
}

} // namespace
