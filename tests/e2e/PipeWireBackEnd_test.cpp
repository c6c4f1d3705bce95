// The PipeWire back end against the private PipeWire of scripts/audio-servers.sh
// (start_private_pipewire): its devices and their ids, a route that carries the tone and shows in
// the graph, a device that goes, and the daemon's restart.

#include "audio/BackEndChoice.hpp"
#include "audio/pipewire/PipeWireBackEnd.hpp"
#include "audio/pipewire/PipeWireConnection.hpp"

#include "PulseTools.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using audio::Device;
using audio::DeviceId;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(20ms))
        if (done()) return true;
    return done();
}

// This process's anonymous resident memory, in kB.
long residentAnonymousKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
    return 0;
}

testsupport::CommandResult servers(const std::string& function) {
    return testsupport::runCommand("bash -c 'source " VANTRELL_SCRIPTS "/audio-servers.sh && " + function + "'", 40s);
}

// What a stream's periods saw, written on the period thread without locks or allocation.
struct Periods {
    static constexpr std::size_t kCapacity = 48000 * 2 * 3;
    std::vector<float> recorded = std::vector<float>(kCapacity); // input-only streams record here
    std::atomic<std::size_t> recordedSamples{0};
    unsigned int inputChannels{1};
    unsigned int outputChannels{2};
    std::atomic<std::uint64_t> count{0};
    std::atomic<unsigned int> smallest{~0u};
    std::atomic<unsigned int> largest{0};
    std::atomic<std::thread::id> thread{};
    std::atomic<unsigned int> underflows{0};

    static int run(void* output, void* input, unsigned int frames, double, audio::StreamStatus status, void* self) {
        auto& periods = *static_cast<Periods*>(self);
        periods.thread.store(std::this_thread::get_id());
        if (status & audio::kOutputUnderflow) periods.underflows.fetch_add(1);
        if (frames < periods.smallest.load()) periods.smallest.store(frames);
        if (frames > periods.largest.load()) periods.largest.store(frames);
        const auto* in = static_cast<const float*>(input);
        auto* out = static_cast<float*>(output);
        const unsigned int inChannels = periods.inputChannels, outChannels = periods.outputChannels;
        if (out)
            for (unsigned int f = 0; f < frames; ++f)
                for (unsigned int c = 0; c < outChannels; ++c)
                    out[f * outChannels + c] = in ? in[f * inChannels + std::min(c, inChannels - 1)] : 0.0f;
        if (!out && in) {
            const std::size_t at = periods.recordedSamples.load();
            const std::size_t take = std::min<std::size_t>(frames * inChannels, kCapacity - at);
            std::copy(in, in + take, periods.recorded.begin() + std::ptrdiff_t(at));
            periods.recordedSamples.store(at + take);
        }
        periods.count.fetch_add(1);
        return 0;
    }
};

struct Reports {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::pair<audio::Result, std::thread::id>> received;

    audio::StreamReports handler() {
        return [this](const audio::Result& report) {
            std::lock_guard<std::mutex> guard(mutex);
            received.emplace_back(report, std::this_thread::get_id());
            arrived.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return received.size() >= count; });
    }
};

class PipeWireBackEndTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* dir = std::getenv("VANTRELL_PIPEWIRE_DIR");
        if (!dir) return;
        // The private daemon's socket; pw-dump and pw-cli run by the tests find it too.
        setenv("PIPEWIRE_RUNTIME_DIR", dir, 1);
    }

    void SetUp() override {
        if (!std::getenv("VANTRELL_PIPEWIRE_DIR")) GTEST_SKIP() << "no private PipeWire (start_private_pipewire)";
        ASSERT_TRUE(audio::pipeWireAnswers(5s));
        ASSERT_TRUE(waitUntil([&] { return find("Vantrell_Main") && find("Sine source at 440 Hz"); }, 10s));
    }

    static audio::BackEnd& back() {
        static std::shared_ptr<audio::BackEnd> instance = audio::makePipeWireBackEnd();
        return *instance;
    }

    static std::optional<Device> find(const std::string& name) {
        for (const Device& device : back().devices())
            if (device.name == name) return device;
        return std::nullopt;
    }

    static DeviceId idOf(const std::string& name) {
        const auto device = find(name);
        return device ? device->id : audio::kNoDevice;
    }

    static audio::BackEnd::Opened open(DeviceId in, unsigned int inChannels, DeviceId out, unsigned int outChannels,
                                       const std::string& label, Periods& periods, Reports& reports,
                                       unsigned int period = 256) {
        audio::StreamConfig config;
        config.input = {in, inChannels, 0};
        config.output = {out, outChannels, 0};
        config.sampleRate = 48000;
        config.periodFrames = period;
        config.options.streamName = label;
        periods.inputChannels = std::max(1u, inChannels);
        periods.outputChannels = outChannels;
        return back().open(config, &Periods::run, &periods, reports.handler());
    }

    static bool periodsRun(const Periods& periods, std::uint64_t howMany, std::chrono::milliseconds timeout) {
        const std::uint64_t from = periods.count.load();
        return waitUntil([&] { return periods.count.load() >= from + howMany; }, timeout);
    }
};

TEST_F(PipeWireBackEndTest, TheGraphsAudioNodesAreDevicesWithStableIdsNamesChannelsAndRates) {
    const auto main = find("Vantrell_Main"), alt = find("Vantrell_Alt"), sine = find("Sine source at 440 Hz"),
               monitor = find("Monitor of Vantrell_Main");
    ASSERT_TRUE(main && alt && sine && monitor);
    EXPECT_EQ(main->outputChannels, 2u);
    EXPECT_EQ(main->inputChannels, 0u);
    EXPECT_TRUE(main->isDefaultOutput);
    EXPECT_FALSE(alt->isDefaultOutput);
    EXPECT_EQ(sine->inputChannels, 1u);
    EXPECT_TRUE(sine->isDefaultInput);
    EXPECT_EQ(monitor->inputChannels, 2u);
    EXPECT_EQ(main->preferredSampleRate, 48000u);
    EXPECT_EQ(alt->preferredSampleRate, 44100u);
    EXPECT_EQ(alt->sampleRates.back(), 44100u);
    EXPECT_NE(std::find(main->sampleRates.begin(), main->sampleRates.end(), 44100u), main->sampleRates.end());

    std::vector<DeviceId> ids;
    for (const Device& device : back().devices()) {
        EXPECT_GE(device.id, 129u);
        ids.push_back(device.id);
        ASSERT_TRUE(back().device(device.id));
        EXPECT_EQ(back().device(device.id)->name, device.name);
    }
    std::vector<DeviceId> unique = ids;
    std::sort(unique.begin(), unique.end());
    EXPECT_EQ(std::unique(unique.begin(), unique.end()), unique.end()) << "an id names one device";
    std::vector<DeviceId> again;
    for (const Device& device : back().devices()) again.push_back(device.id);
    EXPECT_EQ(again, ids);
    EXPECT_EQ(back().defaultOutput(), main->id);
    EXPECT_EQ(back().defaultInput(), sine->id);
    EXPECT_FALSE(back().device(audio::kNoDevice));
}

TEST_F(PipeWireBackEndTest, ARouteCarriesTheToneInWholePeriodsAndShowsInTheGraphUnderItsName) {
    Periods route, recorder;
    Reports reports;
    auto opened = open(idOf("Sine source at 440 Hz"), 1, idOf("Vantrell_Main"), 2, "Stream7-3", route, reports);
    ASSERT_TRUE(opened.stream) << opened.result.reason();
    ASSERT_TRUE(opened.stream->start().ok());
    EXPECT_TRUE(opened.stream->isRunning());
    ASSERT_TRUE(periodsRun(route, 100, 10s)) << route.count.load();

    // What the sink plays, recorded by a stream of our own on its monitor.
    auto monitor = open(idOf("Monitor of Vantrell_Main"), 2, audio::kNoDevice, 0, "Recorder", recorder, reports);
    ASSERT_TRUE(monitor.stream) << monitor.result.reason();
    ASSERT_TRUE(monitor.stream->start().ok());
    ASSERT_TRUE(waitUntil([&] { return recorder.recordedSamples.load() == Periods::kCapacity; }, 15s))
        << recorder.recordedSamples.load();
    const std::vector<float> recorded(recorder.recorded.begin(), recorder.recorded.end());
    for (unsigned int channel = 0; channel < 2; ++channel) {
        const auto tone = testsupport::steadyTone(recorded, 2, channel, 48000);
        EXPECT_NEAR(tone.frequency, 440.0, 5.0) << "channel " << channel;
        EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.05) << "channel " << channel;
    }
    EXPECT_EQ(route.smallest.load(), 256u);
    EXPECT_EQ(route.largest.load(), 256u);

    // Graph tools show the route by name.
    const auto dump = testsupport::runCommand("pw-dump");
    EXPECT_NE(dump.output.find("Stream7-3: Sine source at 440 Hz \u2192 Vantrell_Main (out)"), std::string::npos);
    EXPECT_NE(dump.output.find("Stream7-3: Sine source at 440 Hz \u2192 Vantrell_Main (in)"), std::string::npos);
    EXPECT_NE(dump.output.find("\"node.latency\": \"256/48000\""), std::string::npos);

    EXPECT_TRUE(opened.stream->stop().ok());
    EXPECT_FALSE(opened.stream->isRunning());
    EXPECT_EQ(opened.stream->stop().fault(), audio::Fault::Warning);
    const std::uint64_t stopped = route.count.load();
    EXPECT_FALSE(periodsRun(route, 1, 300ms)) << "no period once stop() returned";
    EXPECT_EQ(route.count.load(), stopped);
    std::lock_guard<std::mutex> guard(reports.mutex);
    EXPECT_TRUE(reports.received.empty()) << reports.received.front().first.reason();
}

TEST_F(PipeWireBackEndTest, ARemovedDeviceIsReportedLostOffThePeriodThreadAndGetsItsIdBack) {
    DeviceId id = audio::kNoDevice;
    for (int round = 1; round <= 2; ++round) {
        testsupport::NullSink sink("vantrell_pw_gone", "Vantrell_Gone");
        ASSERT_TRUE(sink.loaded());
        ASSERT_TRUE(waitUntil([&] { return idOf("Vantrell_Gone") != audio::kNoDevice; }, 10s));
        if (round == 1) id = idOf("Vantrell_Gone");
        EXPECT_EQ(idOf("Vantrell_Gone"), id) << "the id given back, round " << round;

        Periods periods;
        Reports reports;
        auto opened = open(idOf("Sine source at 440 Hz"), 1, id, 2, "Gone", periods, reports);
        ASSERT_TRUE(opened.stream) << opened.result.reason();
        ASSERT_TRUE(opened.stream->start().ok());
        ASSERT_TRUE(periodsRun(periods, 20, 10s));

        sink.unload();
        ASSERT_TRUE(reports.waitFor(1, 10s));
        std::lock_guard<std::mutex> guard(reports.mutex);
        EXPECT_EQ(reports.received[0].first.fault(), audio::Fault::DeviceLost);
        EXPECT_EQ(reports.received[0].first.reason(), "Device disconnected: 'Vantrell_Gone' is gone.");
        EXPECT_NE(reports.received[0].second, periods.thread.load()) << "reported on the period thread";
        EXPECT_FALSE(opened.stream->isRunning());
        EXPECT_TRUE(waitUntil([&] { return !back().device(id); }, 5s));
    }
}

TEST_F(PipeWireBackEndTest, AfterTheDaemonRestartsTheDevicesAreBackUnderTheirIdsAndStreamsStartAgain) {
    const DeviceId main = idOf("Vantrell_Main"), sine = idOf("Sine source at 440 Hz"), alt = idOf("Vantrell_Alt");
    std::atomic<int> announced{0};
    back().setDevicesChangedListener([&] { announced.fetch_add(1); });
    Periods periods;
    Reports reports;
    auto opened = open(sine, 1, main, 2, "Restart", periods, reports);
    ASSERT_TRUE(opened.stream) << opened.result.reason();
    ASSERT_TRUE(opened.stream->start().ok());
    ASSERT_TRUE(periodsRun(periods, 20, 10s));
    const long residentBefore = residentAnonymousKb();

    const auto restarted = servers("restart_private_pipewire");
    ASSERT_EQ(restarted.status, 0) << restarted.output;
    ASSERT_TRUE(reports.waitFor(1, 10s));
    {
        std::lock_guard<std::mutex> guard(reports.mutex);
        EXPECT_EQ(reports.received[0].first.fault(), audio::Fault::DeviceLost) << reports.received[0].first.reason();
    }
    EXPECT_FALSE(opened.stream->isRunning());

    ASSERT_TRUE(waitUntil([&] { return idOf("Vantrell_Main") && idOf("Sine source at 440 Hz") && idOf("Vantrell_Alt"); },
                          20s));
    EXPECT_EQ(idOf("Vantrell_Main"), main);
    EXPECT_EQ(idOf("Sine source at 440 Hz"), sine);
    EXPECT_EQ(idOf("Vantrell_Alt"), alt);
    EXPECT_TRUE(waitUntil([&] { return announced.load() > 0; }, 5s)) << "the return is announced";
    back().setDevicesChangedListener(nullptr);

    ASSERT_TRUE(opened.stream->start().ok());
    EXPECT_TRUE(periodsRun(periods, 20, 10s)) << "the same stream plays again";
    // The graph's converters for the new streams cost no more than they did the first time (they
    // had grown by 8 to 17 MB at the first restart).
    EXPECT_LT(residentAnonymousKb() - residentBefore, 4096);
}

TEST_F(PipeWireBackEndTest, RoutesWhosePeriodIsNotAMultipleOfTheQuantumStartWithoutUnderflows) {
    // The first route's period sets the graph's quantum; the others complete a period in one cycle
    // out of several, at a shifting point of it.
    constexpr unsigned int kPeriodFrames[] = {256, 1000, 441};
    std::array<Periods, 3> routes;
    Reports reports;
    std::vector<std::unique_ptr<audio::DeviceStream>> streams;
    for (std::size_t i = 0; i < routes.size(); ++i) {
        auto opened = open(idOf("Sine source at 440 Hz"), 1, idOf("Vantrell_Main"), 2,
                           "Period" + std::to_string(kPeriodFrames[i]), routes[i], reports, kPeriodFrames[i]);
        ASSERT_TRUE(opened.stream && opened.stream->start().ok()) << opened.result.reason();
        streams.push_back(std::move(opened.stream));
        if (i == 0) ASSERT_TRUE(periodsRun(routes[0], 20, 10s));
    }
    // Four seconds of each (the faults came in the first ones).
    for (std::size_t i = 0; i < routes.size(); ++i) {
        ASSERT_TRUE(waitUntil([&] { return routes[i].count.load() * kPeriodFrames[i] >= 4 * 48000; }, 20s));
        EXPECT_EQ(routes[i].underflows.load(), 0u) << "a period of " << kPeriodFrames[i] << " frames";
    }
}

// The choice of back end needs a process whose connection is not up yet (CTest runs each test alone).
TEST(PipeWireRealtimeTest, ARefusalTheDataThreadGivesLateIsInTheChoice) {
    const char* dir = std::getenv("VANTRELL_PIPEWIRE_DIR");
    if (!dir) GTEST_SKIP() << "no private PipeWire (start_private_pipewire)";
    auto& connection = audio::detail::pipeWireConnection();
    if (connection.daemonUp()) GTEST_SKIP() << "the connection is already up in this process";
    setenv("PIPEWIRE_RUNTIME_DIR", dir, 1);
    setenv("VANTRELL_AUDIO", "pipewire", 1);
    // The data thread answers a while after the connection is up, as on a loaded machine.
    connection.setRealtimeRequest([] {
        std::this_thread::sleep_for(300ms);
        return std::string("refused for the test");
    });
    const audio::BackEndChoice& choice = audio::chooseBackEnd();
    EXPECT_EQ(choice.name, "pipewire");
    EXPECT_EQ(choice.realtimeRefusal, "refused for the test");
}

} // namespace
