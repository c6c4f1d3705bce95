#include "VirtualAudio.hpp"

#include <gtest/gtest.h>

#include <utility>

using namespace audio;

namespace {

struct Report {
    RtAudioErrorType type;
    std::string text;
};

// Passes the input's channel 0 to every output channel, doubled, so a test sees the callback ran.
int doubleFirstChannel(void* out, void* in, unsigned int nFrames, double, RtAudioStreamStatus, void* userData) {
    auto* channels = static_cast<std::pair<unsigned, unsigned>*>(userData);
    auto* input = static_cast<float*>(in);
    auto* output = static_cast<float*>(out);
    for (unsigned f = 0; f < nFrames; ++f)
        for (unsigned c = 0; c < channels->second; ++c) output[f * channels->second + c] = 2 * input[f * channels->first];
    return 0;
}

class VirtualAudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        mic = system->addDevice({"Mic", 1, 0, {44100, 48000}, 48000});
        speakers = system->addDevice({"Speakers", 0, 2, {48000, 96000}, 48000});
        headset = system->addDevice({"Headset", 2, 2, {44100}, 44100});
        system->setDefaultInput(mic);
        system->setDefaultOutput(speakers);
    }

    std::shared_ptr<RtAudio> make(std::vector<Report>* reports = nullptr) {
        return system->factory()([reports](RtAudioErrorType type, const std::string& text) {
            if (reports) reports->push_back({type, text});
        });
    }

    RtAudioErrorType open(RtAudio& audio, unsigned in, unsigned out, unsigned rate, unsigned* frames,
                          unsigned inChannels = 1, unsigned outChannels = 2) {
        RtAudio::StreamParameters input{in, inChannels, 0};
        RtAudio::StreamParameters output{out, outChannels, 0};
        return audio.openStream(&output, &input, RTAUDIO_FLOAT32, rate, frames, doubleFirstChannel, &channels);
    }

    std::shared_ptr<VirtualAudioSystem> system = VirtualAudioSystem::create();
    unsigned mic{}, speakers{}, headset{};
    std::pair<unsigned, unsigned> channels{1, 2};
};

TEST_F(VirtualAudioTest, DevicesAreSharedByAllInstancesWithStableIds) {
    auto first = make();
    auto second = make();
    EXPECT_EQ(mic, 129u);
    EXPECT_EQ(first->getDeviceIds(), (std::vector<unsigned>{129, 130, 131}));
    EXPECT_EQ(second->getDeviceIds(), first->getDeviceIds());
    EXPECT_EQ(first->getDefaultInputDevice(), mic);
    EXPECT_EQ(second->getDefaultOutputDevice(), speakers);

    const auto info = first->getDeviceInfo(headset);
    EXPECT_EQ(info.ID, headset);
    EXPECT_EQ(info.name, "Headset");
    EXPECT_EQ(info.inputChannels, 2u);
    EXPECT_EQ(info.outputChannels, 2u);
    EXPECT_EQ(info.sampleRates, (std::vector<unsigned>{44100}));
    EXPECT_EQ(first->getDeviceInfo(4242).ID, 0u);
    EXPECT_TRUE(first->getDeviceInfo(4242).name.empty());
}

TEST_F(VirtualAudioTest, PeriodsRunSynchronouslyThroughTheCallback) {
    auto audio = make();
    unsigned frames = 4;
    ASSERT_EQ(open(*audio, mic, speakers, 48000, &frames), RTAUDIO_NO_ERROR);
    auto* virtualAudio = static_cast<VirtualRtAudio*>(audio.get());
    std::vector<float> output;
    EXPECT_FALSE(virtualAudio->runPeriod({1, 2, 3, 4}, output)) << "not started yet";

    ASSERT_EQ(audio->startStream(), RTAUDIO_NO_ERROR);
    EXPECT_TRUE(audio->isStreamRunning());
    ASSERT_TRUE(virtualAudio->runPeriod({1, 2, 3, 4}, output));
    EXPECT_EQ(output, (std::vector<float>{2, 2, 4, 4, 6, 6, 8, 8}));
    EXPECT_EQ(virtualAudio->userData(), &channels);
    EXPECT_EQ(virtualAudio->openedSampleRate(), 48000u);
}

TEST_F(VirtualAudioTest, OpenChecksDeviceChannelsAndRateAndSettlesFrames) {
    std::vector<Report> reports;
    auto audio = make(&reports);
    unsigned frames = 512;
    EXPECT_EQ(open(*audio, 999, speakers, 48000, &frames), RTAUDIO_INVALID_DEVICE);
    EXPECT_EQ(open(*audio, mic, speakers, 44100, &frames), RTAUDIO_INVALID_PARAMETER) << "speakers lack 44100";
    EXPECT_EQ(open(*audio, mic, speakers, 48000, &frames, 2, 2), RTAUDIO_INVALID_PARAMETER) << "mic is mono";
    EXPECT_EQ(reports.size(), 3u);
    EXPECT_FALSE(audio->isStreamOpen());

    system->settleBufferFramesAt(480);
    ASSERT_EQ(open(*audio, mic, speakers, 48000, &frames), RTAUDIO_NO_ERROR);
    EXPECT_EQ(frames, 480u);
}

TEST_F(VirtualAudioTest, StopOnAStreamThatIsNotRunningIsAWarning) {
    std::vector<Report> reports;
    auto audio = make(&reports);
    EXPECT_EQ(audio->stopStream(), RTAUDIO_WARNING);
    unsigned frames = 64;
    ASSERT_EQ(open(*audio, mic, speakers, 48000, &frames), RTAUDIO_NO_ERROR);
    ASSERT_EQ(audio->startStream(), RTAUDIO_NO_ERROR);
    EXPECT_EQ(audio->stopStream(), RTAUDIO_NO_ERROR);
    EXPECT_EQ(audio->stopStream(), RTAUDIO_WARNING);
    audio->closeStream();
    EXPECT_FALSE(audio->isStreamOpen());
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].type, RTAUDIO_WARNING);
}

TEST_F(VirtualAudioTest, InjectedFailuresHitTheNextCallsOnly) {
    auto audio = make();
    unsigned frames = 64;
    system->failNext(VirtualAudioSystem::Operation::Open, RTAUDIO_SYSTEM_ERROR);
    EXPECT_EQ(open(*audio, mic, speakers, 48000, &frames), RTAUDIO_SYSTEM_ERROR);
    ASSERT_EQ(open(*audio, mic, speakers, 48000, &frames), RTAUDIO_NO_ERROR);

    system->failNext(VirtualAudioSystem::Operation::Start, RTAUDIO_DRIVER_ERROR, 2);
    EXPECT_EQ(audio->startStream(), RTAUDIO_DRIVER_ERROR);
    EXPECT_EQ(audio->startStream(), RTAUDIO_DRIVER_ERROR);
    EXPECT_EQ(audio->startStream(), RTAUDIO_NO_ERROR);

    system->failNext(VirtualAudioSystem::Operation::Stop, RTAUDIO_THREAD_ERROR);
    EXPECT_EQ(audio->stopStream(), RTAUDIO_THREAD_ERROR);
    EXPECT_TRUE(audio->isStreamRunning());

    system->failInstanceCreation(true);
    EXPECT_EQ(make(), nullptr);
    system->failInstanceCreation(false);
    EXPECT_NE(make(), nullptr);
}

TEST_F(VirtualAudioTest, UnplugReportsOnceToTheInstancesUsingTheDevice) {
    std::vector<Report> user, bystander;
    auto usingSpeakers = make(&user);
    auto usingHeadset = make(&bystander);
    unsigned frames = 64;
    ASSERT_EQ(open(*usingSpeakers, mic, speakers, 48000, &frames), RTAUDIO_NO_ERROR);
    ASSERT_EQ(open(*usingHeadset, headset, headset, 44100, &frames, 2, 2), RTAUDIO_NO_ERROR);

    system->unplug(speakers);
    system->unplug(speakers);
    ASSERT_EQ(user.size(), 1u);
    EXPECT_EQ(user[0].type, RTAUDIO_DEVICE_DISCONNECT);
    EXPECT_NE(user[0].text.find("Speakers"), std::string::npos);
    EXPECT_TRUE(bystander.empty());
    EXPECT_EQ(usingSpeakers->getDeviceIds(), (std::vector<unsigned>{mic, headset}));
    EXPECT_EQ(usingSpeakers->getDefaultOutputDevice(), 0u);

    system->plugIn(speakers);
    EXPECT_EQ(usingHeadset->getDeviceInfo(speakers).name, "Speakers");
    EXPECT_EQ(usingHeadset->getDefaultOutputDevice(), speakers);
}

} // namespace
