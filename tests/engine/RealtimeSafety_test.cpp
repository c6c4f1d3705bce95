// No period allocates, locks a mutex or calls the system on the audio thread, from the very first
// one, even while the control side rewrites the routing, the chains and the parameters, adds effects
// or changes the format; and the two sides never race (run under ThreadSanitizer by the test command).

#include "AllocationCounter.hpp"
#include "SystemCallCounter.hpp"

#include "effects/DeviceDelayEffect.hpp"
#include "effects/Effect.hpp"
#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <semaphore>
#include <thread>

using testsupport::LogCapture;
using testsupport::VirtualEngine;

namespace {

constexpr unsigned int kFrames = 256;

class RealtimeSafetyTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture quiet;
        engine.system->settleBufferFramesAt(kFrames);
        Core& core = engine.makeCore();
        for (int i = 0; i < 2; ++i) {
            const auto id = static_cast<unsigned int>(core.addStream(engine.mic, engine.speakers, 2, 2, 48000, kFrames));
            ASSERT_EQ(core.startStream(id), 0);
            streams.push_back(core.getStreamById(id));
            audio.push_back(engine.audioOf(*streams.back()));
        }
        for (std::size_t i = 0; i < input.size(); ++i) input[i] = std::sin(0.01f * static_cast<float>(i));
    }

    void runPeriod(std::size_t stream) { audio[stream]->runPeriod(input.data(), output.data()); }
    // A stream reopened (a new rate) runs on a new device stream.
    void followReopened() {
        for (std::size_t i = 0; i < streams.size(); ++i) audio[i] = engine.audioOf(*streams[i]);
    }

    // Allocations and system calls the periods made on this thread.
    template <class Periods>
    static std::pair<std::size_t, std::size_t> costOf(Periods periods) {
        const std::size_t allocations = allocationcounter::allocationsOnThisThread();
        const std::size_t calls = systemcallcounter::callsOnThisThread();
        periods();
        return {allocationcounter::allocationsOnThisThread() - allocations, systemcallcounter::callsOnThisThread() - calls};
    }

    VirtualEngine engine;
    std::vector<std::shared_ptr<Stream>> streams;
    std::vector<audio::VirtualDeviceStream*> audio;
    std::vector<float> input = std::vector<float>(kFrames * 2);
    std::vector<float> output = std::vector<float>(kFrames * 2);
};

TEST_F(RealtimeSafetyTest, PeriodsAllocateNothingWhileTheControlSideChangesEverything) {
    std::atomic<bool> stop{false};
    std::atomic<long> changes{0};
    std::thread control([&] {
        LogCapture quiet;
        Stream& stream = *streams[0];
        bool swapped = false;
        {
            auto guard = engine.core->lock();
            engine.core->linkStreams({streams[0]->getStreamId(), streams[1]->getStreamId()});
            engine.core->addEffectToStreamGroupSync(0, "PanEffect");
        }
        while (!stop.load()) {
            auto guard = engine.core->lock();
            // Group operations fan out to both streams: chains, shared parameters, volume sync, joining.
            engine.core->setStreamGroupVolumeRatioSync(0, swapped);
            engine.core->addStreamToStreamGroupSync(streams[1]->getStreamId(), 0);
            // Routing swaps, chain edits and parameter writes, all published to the audio side.
            if (swapped) {
                stream.removeChannelRedirect(2);
            } else {
                stream.addChannelRedirect(1, 0);
            }
            swapped = !swapped;
            engine.core->addEffectToStream(stream.getStreamId(), "PanEffect");
            engine.core->setEffectParameter(stream.getStreamId(), "PanEffect", "panX", 0.5f);
            engine.core->setEffectParameter(stream.getStreamId(), "VolumeEffect", "volume", 80.0f);
            engine.core->removeEffectFromStream(stream.getStreamId(), "PanEffect");
            engine.core->setMasterEffectParameter("VolumeEffect", "volume", 90.0f);
            engine.core->addMasterEffect("PanEffect");
            engine.core->deleteMasterEffect("PanEffect");
            ++changes;
        }
    });

    std::size_t allocations = 0, calls = 0;
    for (int period = 0; period < 3000 || changes.load() < 50; ++period) {
        const auto [allocated, called] = costOf([&] { runPeriod(static_cast<std::size_t>(period % 2)); });
        allocations += allocated;
        calls += called;
        for (float sample : output) ASSERT_TRUE(std::isfinite(sample));
    }
    stop = true;
    control.join();
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(calls, 0u);
    EXPECT_GE(changes.load(), 50);
}

// The first period of a stream, periods after effects with memory of their own join a running
// chain, and the first periods at a new rate: each is as cheap as any other.
TEST_F(RealtimeSafetyTest, FirstPeriodsNewEffectsAndANewRateCostNothingOnTheAudioThread) {
    const auto expectFree = [&](const char* what) {
        const auto [allocations, calls] = costOf([&] {
            for (int period = 0; period < 4; ++period) runPeriod(0);
        });
        EXPECT_EQ(allocations, 0u) << what;
        EXPECT_EQ(calls, 0u) << what;
    };
    if (systemcallcounter::counting()) {
        LogCapture quiet;
        ASSERT_GT(costOf([] { Utilities::log("a line to the log file"); }).second, 0u) << "the counter sees nothing";
    }
    expectFree("first periods");
    EXPECT_TRUE(streams[0]->isSharedMemoryStarted()) << "the export exists before the first period";
    {
        LogCapture quiet;
        auto guard = engine.core->lock();
        const unsigned int id = streams[0]->getStreamId();
        for (const char* name : {"DeviceDelayEffect", "ReverbEffect", "EqualizerEffect"})
            ASSERT_EQ(engine.core->addEffectToStream(id, name), 0) << name;
        engine.core->setEffectParameter(id, "DeviceDelayEffect", "delay", 3.0f);
        engine.core->addMasterEffect("ReverbEffect");
    }
    expectFree("effects added while playing");
    {
        LogCapture quiet;
        auto guard = engine.core->lock();
        ASSERT_EQ(streams[0]->changeSampleRate(44100), 0);
        followReopened();
        engine.core->setMasterEffectParameter("ReverbEffect", "roomSize", 90.0f);
    }
    expectFree("a new rate");
    // They really ran: back at 48 kHz the delay starts afresh, 3 ms (144 frames) of silence first.
    std::fill(input.begin(), input.end(), 1.0f);
    {
        LogCapture quiet;
        auto guard = engine.core->lock();
        ASSERT_EQ(streams[0]->changeSampleRate(48000), 0);
        followReopened();
        engine.core->deleteMasterEffect("ReverbEffect");
        engine.core->removeEffectFromStream(streams[0]->getStreamId(), "ReverbEffect");
        engine.core->removeEffectFromStream(streams[0]->getStreamId(), "EqualizerEffect");
    }
    runPeriod(0);
    EXPECT_EQ(output[0], 0.0f);
    EXPECT_EQ(output[2 * 143], 0.0f);
    EXPECT_EQ(output[2 * 144], 1.0f);
}

TEST_F(RealtimeSafetyTest, StartingARunningStreamChangesNothingItsAudioThreadReads) {
    std::atomic<bool> stop{false};
    std::thread audioThread([&] {
        std::vector<float> in(input), out(output.size());
        while (!stop.load()) audio[0]->runPeriod(in.data(), out.data());
    });
    int refused = 0;
    {
        LogCapture quiet;
        for (int round = 0; round < 200; ++round) {
            auto guard = engine.core->lock();
            if (engine.core->startStream(streams[0]->getStreamId()) != 0) ++refused;
        }
    }
    stop = true;
    audioThread.join();
    EXPECT_EQ(refused, 0) << "a running stream counts as started";
    EXPECT_TRUE(audio[0]->isRunning());
    EXPECT_EQ(streams[0]->realtime().nChannelsOutput, 2u);
}

// Nor a system call: the writer is not woken, it looks for a captured period by itself.
TEST_F(RealtimeSafetyTest, OverflowAndRequestedSnapshotsLeaveTheAudioThreadWithoutAllocationOrFiles) {
    if (systemcallcounter::counting())
        ASSERT_GT(costOf([] { std::binary_semaphore(0).release(); }).second, 0u) << "the counter misses futex wakes";
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(engine.dir.path());
    LogCapture log;
    std::size_t allocations = 0, calls = 0;
    for (int period = 0; period < 600; ++period) {
        if (period % 7 == 0) engine.core->doSnapshot();
        const unsigned int status = period % 3 == 0 ? 1 + period % 2 : 0;
        const auto [allocated, called] = costOf([&] { audio[0]->runPeriod(input.data(), output.data(), status); });
        allocations += allocated;
        calls += called;
    }
    streams[0]->drainSnapshots();
    streams[1]->drainSnapshots();
    std::filesystem::current_path(cwd);
    log.take();
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(calls, 0u);
    // The writer took some of them, off this thread: the test saw real snapshot periods.
    EXPECT_GE(log.count("Snapshot done"), 1);
    EXPECT_GE(log.count("Input overflow") + log.count("Output underflow"), 1);
}

// A block an effect was not prepared for passes through: the writer's thread says so once a burst,
// and the periods pay nothing for the count.
TEST_F(RealtimeSafetyTest, BlocksAnEffectWasNotPreparedForAreReportedOnceOffTheAudioThread) {
    struct NeverPrepared : DeviceDelayEffect {
        NeverPrepared() : DeviceDelayEffect("DeviceDelayEffect") {}
        void prepare(const ProcessSpec&) override {}
    };
    LogCapture log;
    {
        auto guard = engine.core->lock();
        auto effect = std::make_shared<NeverPrepared>();
        ASSERT_TRUE(effect->setEffectParameter("delay", 3.0f));
        ASSERT_EQ(streams[0]->addEffectByInstance(effect), 0);
    }
    std::size_t allocations = 0, calls = 0;
    for (int look = 0; look < 2; ++look) { // two looks of the writer, one burst
        const auto [allocated, called] = costOf([&] {
            for (int period = 0; period < 10; ++period) runPeriod(0);
        });
        allocations += allocated;
        calls += called;
        streams[0]->drainSnapshots();
    }
    log.take();
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(calls, 0u);
    EXPECT_EQ(log.count("blocks passed through unprocessed: an effect was not prepared for their format"), 1);
    EXPECT_TRUE(log.contains("Stream " + std::to_string(streams[0]->getStreamId()) + ": "));
}

// Both streams run every master effect with state of their own while the chain changes under them:
// no sample goes wild, and once the chain is back to its volume alone both play their input as it is.
TEST_F(RealtimeSafetyTest, TwoAudioThreadsShareTheMasterChainWhileItChanges) {
    std::atomic<bool> stop{false};
    std::atomic<int> nonFinite{0};
    std::atomic<long> periods[2]{{0}, {0}};
    std::vector<float> lastOutput[2];
    auto audioThread = [&](int index) {
        std::vector<float> in(input), out(output.size());
        while (!stop.load()) {
            audio[index]->runPeriod(in.data(), out.data());
            for (float sample : out) nonFinite.fetch_add(std::isfinite(sample) && std::fabs(sample) < 8.0f ? 0 : 1);
            periods[index].fetch_add(1);
        }
        lastOutput[index] = out;
    };
    // Each stream's periods run on their own thread, as the library does.
    std::thread first(audioThread, 0);
    std::thread second(audioThread, 1);
    {
        LogCapture quiet;
        for (int round = 0; round < 200; ++round) {
            auto guard = engine.core->lock();
            engine.core->addMasterEffect("ReverbEffect");
            engine.core->setMasterEffectParameter("ReverbEffect", "mix", static_cast<float>(round % 100));
            engine.core->addMasterEffect("EqualizerEffect");
            engine.core->setMasterEffectEnable("EqualizerEffect", round % 2 == 0);
            engine.core->deleteMasterEffect("ReverbEffect");
            engine.core->deleteMasterEffect("EqualizerEffect");
        }
    }
    // Two more periods each, all with the final chain.
    const long seen[2] = {periods[0].load(), periods[1].load()};
    while (periods[0].load() < seen[0] + 2 || periods[1].load() < seen[1] + 2) std::this_thread::yield();
    stop = true;
    first.join();
    second.join();
    EXPECT_EQ(nonFinite.load(), 0);
    EXPECT_EQ(lastOutput[0], input);
    EXPECT_EQ(lastOutput[1], input);
}

} // namespace
