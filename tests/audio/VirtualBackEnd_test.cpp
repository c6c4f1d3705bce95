#include "VirtualBackEnd.hpp"
#include "AllocationCounter.hpp"
#include <gtest/gtest.h>

using namespace audio;

namespace {

// Writes input channel 0, doubled, to both output channels, so a test sees the callback ran.
int doubleFirstChannel(void* out, void* in, unsigned int frames, double, StreamStatus, void*) {
    for (unsigned f = 0; f < frames; ++f)
        for (unsigned c = 0; c < 2; ++c) static_cast<float*>(out)[f * 2 + c] = 2 * static_cast<float*>(in)[f];
    return 0;
}

class VirtualBackEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        mic = backEnd->addDevice({"Mic", 1, 0, {48000, 44100}, 48000});
        speakers = backEnd->addDevice({"Speakers", 0, 2, {48000, 96000}, 48000});
        headset = backEnd->addDevice({"Headset", 2, 2, {44100}, 44100});
        backEnd->setDefaultInput(mic);
        backEnd->setDefaultOutput(speakers);
        backEnd->setDevicesChangedListener([this] { ++changes; });
    }

    StreamConfig config(DeviceId in, DeviceId out, unsigned rate = 48000) {
        return {{in, 1, 0}, {out, 2, 0}, rate, 4, {}};
    }

    BackEnd::Opened open(const StreamConfig& config, std::vector<Result>* reports = nullptr) {
        return backEnd->open(config, doubleFirstChannel, this, [reports](const Result& report) {
            if (reports) reports->push_back(report);
        });
    }

    std::shared_ptr<VirtualBackEnd> backEnd = VirtualBackEnd::create();
    DeviceId mic{}, speakers{}, headset{};
    int changes = 0;
};

TEST_F(VirtualBackEndTest, ListsPresentDevicesWithStableIdsAndDefaults) {
    const auto devices = backEnd->devices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].id, 129u);
    EXPECT_EQ(devices[0].sampleRates, (std::vector<unsigned>{44100, 48000})) << "ascending";
    EXPECT_EQ(devices[2].name, "Headset");
    EXPECT_EQ(backEnd->defaultInput(), mic);
    EXPECT_EQ(backEnd->defaultOutput(), speakers);
}

TEST_F(VirtualBackEndTest, PeriodsRunSynchronouslyThroughTheCallbackWhileTheHandleLives) {
    auto opened = open(config(mic, speakers));
    ASSERT_TRUE(opened.result) << opened.result.reason();
    auto stream = backEnd->openStreamsOn(mic, speakers).at(0);
    EXPECT_EQ(stream->userData(), this);
    std::vector<float> output;
    EXPECT_FALSE(stream->runPeriod({1, 2, 3, 4}, output)) << "not started yet";
    ASSERT_TRUE(opened.stream->start());
    ASSERT_TRUE(stream->runPeriod({1, 2, 3, 4}, output));
    EXPECT_EQ(output, (std::vector<float>{2, 2, 4, 4, 6, 6, 8, 8}));
    float in[4] = {1, 1, 1, 1}, out[8] = {};
    const auto before = allocationcounter::allocationsOnThisThread();
    ASSERT_TRUE(stream->runPeriod(in, out));
    EXPECT_EQ(allocationcounter::allocationsOnThisThread(), before);
    ASSERT_TRUE(opened.stream->stop());
    EXPECT_EQ(opened.stream->stop().fault(), Fault::Warning);
    EXPECT_FALSE(stream->runPeriod(in, out));
    opened.stream.reset();
    EXPECT_FALSE(stream->isOpen());
    EXPECT_TRUE(backEnd->streams().empty());
}

TEST_F(VirtualBackEndTest, OpenRefusesWhatTheDevicesCannotServe) {
    using Spoil = void (*)(StreamConfig&, PeriodCallback&);
    const struct { const char* name; Spoil spoil; Fault fault; } cases[] = {
        {"unknown device", [](StreamConfig& c, PeriodCallback&) { c.input.deviceId = 999; }, Fault::InvalidDevice},
        {"no device", [](StreamConfig& c, PeriodCallback&) { c.output.deviceId = kNoDevice; }, Fault::InvalidDevice},
        {"wrong direction", [](StreamConfig& c, PeriodCallback&) { c.output.deviceId = 129; }, Fault::InvalidDevice},
        {"channels", [](StreamConfig& c, PeriodCallback&) { c.input.nChannels = 2; }, Fault::InvalidParameter},
        {"first channel", [](StreamConfig& c, PeriodCallback&) { c.output.firstChannel = 1; }, Fault::InvalidParameter},
        {"rate of one side", [](StreamConfig& c, PeriodCallback&) { c.sampleRate = 44100; }, Fault::InvalidParameter},
        {"no period", [](StreamConfig& c, PeriodCallback&) { c.periodFrames = 0; }, Fault::InvalidParameter},
        {"no callback", [](StreamConfig&, PeriodCallback& cb) { cb = nullptr; }, Fault::InvalidParameter}};
    for (const auto& refusal : cases) {
        SCOPED_TRACE(refusal.name);
        StreamConfig spoilt = config(mic, speakers);
        PeriodCallback callback = doubleFirstChannel;
        refusal.spoil(spoilt, callback);
        auto opened = backEnd->open(spoilt, callback, nullptr, nullptr);
        EXPECT_FALSE(opened.stream);
        EXPECT_EQ(opened.result.fault(), refusal.fault);
        EXPECT_FALSE(opened.result.reason().empty());
    }
    EXPECT_TRUE(backEnd->streams().empty());
}

TEST_F(VirtualBackEndTest, SettlesThePeriodItWasToldTo) {
    backEnd->settleBufferFramesAt(480);
    auto settled = open(config(mic, speakers));
    EXPECT_EQ(settled.stream->periodFrames(), 480u);
    EXPECT_EQ(backEnd->streams().at(0)->config().periodFrames, 480u);
    backEnd->settleBufferFramesAt(0);
    EXPECT_EQ(open(config(mic, speakers)).stream->periodFrames(), 4u);
}

TEST_F(VirtualBackEndTest, InjectedFailuresHitTheNextCallsOnly) {
    backEnd->failNext(VirtualBackEnd::Operation::Open, Fault::System);
    EXPECT_EQ(open(config(mic, speakers)).result.fault(), Fault::System);
    auto opened = open(config(mic, speakers));
    ASSERT_TRUE(opened.result);
    backEnd->failNext(VirtualBackEnd::Operation::Start, Fault::Driver, 2);
    EXPECT_EQ(opened.stream->start().fault(), Fault::Driver);
    EXPECT_EQ(opened.stream->start().fault(), Fault::Driver);
    EXPECT_TRUE(opened.stream->start());
    backEnd->failNext(VirtualBackEnd::Operation::Stop, Fault::Thread);
    EXPECT_EQ(opened.stream->stop().fault(), Fault::Thread);
    EXPECT_TRUE(opened.stream->isRunning());
}

TEST_F(VirtualBackEndTest, UnplugReportsOnceToTheStreamsUsingTheDeviceAndPlugInBringsItBack) {
    std::vector<Result> user, bystander, closed;
    auto usingSpeakers = open(config(mic, speakers), &user);
    auto usingHeadset = open(config(headset, headset, 44100), &bystander);
    open(config(mic, speakers), &closed); // its handle is gone at once
    backEnd->unplug(speakers);
    backEnd->unplug(speakers);
    ASSERT_EQ(user.size(), 1u);
    EXPECT_EQ(user[0].fault(), Fault::DeviceLost);
    EXPECT_NE(user[0].reason().find("Speakers"), std::string::npos);
    EXPECT_TRUE(bystander.empty());
    EXPECT_TRUE(closed.empty());
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(backEnd->defaultOutput(), kNoDevice);
    backEnd->plugIn(speakers);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(backEnd->defaultOutput(), speakers);
}

} // namespace
