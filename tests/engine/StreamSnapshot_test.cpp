// Snapshots are copied by the audio callback and written by the stream's snapshot writer: the file
// keeps its exact text, and a writer still busy makes further overflow snapshots count, not queue.

#include "effects/Effect.hpp"
#include "engine/Core.hpp"
#include "engine/SnapshotAllowance.hpp"

#include "LogCapture.hpp"
#include "TempDir.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>

using testsupport::LogCapture;
using testsupport::VirtualEngine;

namespace {

// Holds the writer inside its dump until the test opens the gate.
class GateEffect : public Effect {
public:
    GateEffect() : Effect("GateEffect") {}
    void process(float*, float*, unsigned, unsigned, unsigned) noexcept override {}
    std::string getSnapshotDump() override {
        if (!signalled.exchange(true)) entered.set_value();
        gate.wait();
        return "gate\n";
    }
    std::atomic<bool> signalled{false};
    std::promise<void> entered;
    std::shared_future<void> gate;
};

class StreamSnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture quiet;
        engine.system->settleBufferFramesAt(2);
        Core& core = engine.makeCore();
        stream = core.getStreamById(core.addStream(engine.mic, engine.speakers, 2, 2, 48000, 2));
        ASSERT_EQ(core.startStream(stream->getStreamId()), 0);
        cwd = std::filesystem::current_path();
        std::filesystem::current_path(engine.dir.path());
    }
    void TearDown() override { std::filesystem::current_path(cwd); }

    // Snapshots written so far (two in one millisecond share a file).
    std::size_t snapshots() const {
        std::size_t count = 0;
        for (const auto& text : files())
            for (auto at = text.find(" snapshot\n"); at != std::string::npos; at = text.find(" snapshot\n", at + 1))
                ++count;
        return count;
    }

    std::vector<std::string> files() const {
        std::vector<std::string> texts;
        for (const auto& entry : std::filesystem::directory_iterator(engine.dir.path()))
            if (entry.path().filename().string().rfind("snaphot", 0) == 0) {
                std::ifstream file(entry.path());
                texts.push_back((std::stringstream() << file.rdbuf()).str());
            }
        return texts;
    }

    VirtualEngine engine;
    std::shared_ptr<Stream> stream;
    std::filesystem::path cwd;
    const std::vector<float> input{0.5f, -1.25f, 3, 1e-07f};
};

TEST_F(StreamSnapshotTest, RequestedSnapshotKeepsItsExactText) {
    LogCapture log;
    engine.core->doSnapshot();
    engine.runPeriod(*stream, input);
    stream->drainSnapshots();
    EXPECT_FALSE(stream->getMustDoSnapshot());
    EXPECT_EQ(log.count("Snapshot done"), 1);
    EXPECT_EQ(files(), std::vector<std::string>{"Stream Stream129-130 snapshot\nStream time: 0\nStatus: 0\n\n"
                                                "Input device: Mic (129)\nOutput device: Speakers (130)\n"
                                                "Sample rate: 48000\nBuffer frames: 2\n\nInput buffer:\n"
                                                "0.5 -1.25 \n3 1e-07 \nOutput buffer:\n0.5 -1.25 \n3 1e-07 \n\n"
                                                "Effects:\nVolumeEffect: \nVolume: 100.000000 % (0.000000 dB)\n\n"});
}

TEST_F(StreamSnapshotTest, OverflowsWhileOneIsWrittenAreCountedAndARequestWaits) {
    auto gate = std::make_shared<GateEffect>();
    std::promise<void> open;
    gate->gate = open.get_future().share();
    auto entered = gate->entered.get_future();
    LogCapture log;
    ASSERT_EQ(stream->addEffectByInstance(gate), 0);

    engine.runPeriod(*stream, input, 1);
    entered.wait();
    for (unsigned int status : {2u, 3u, 1u}) engine.runPeriod(*stream, input, status);
    engine.core->doSnapshot();
    engine.runPeriod(*stream, input);
    EXPECT_TRUE(stream->getMustDoSnapshot()); // left for a later period
    open.set_value();
    stream->drainSnapshots();
    engine.runPeriod(*stream, input);
    stream->drainSnapshots();

    EXPECT_FALSE(stream->getMustDoSnapshot());
    log.take();
    EXPECT_EQ(log.count("Input overflow"), 1);
    EXPECT_EQ(log.count("Output underflow"), 0);
    EXPECT_EQ(log.count("Skipped 3 overflow or underflow snapshot(s) of stream Stream129-130"), 1);
    EXPECT_EQ(log.count("Snapshot done"), 2);
    // Two snapshots in one millisecond share a file name, and the second is appended.
    std::string all;
    for (const auto& text : files()) all += text;
    auto occurrences = [&all](const std::string& text) {
        int count = 0;
        for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
        return count;
    };
    EXPECT_EQ(occurrences("Stream Stream129-130 snapshot\n"), 2);
    EXPECT_EQ(occurrences("Status: 1\n"), 1);
    EXPECT_EQ(occurrences("gate\n"), 2);
}

// A stream whose device keeps failing writes a burst of overflow and underflow snapshots, five of
// each, however many periods report them.
TEST_F(StreamSnapshotTest, RepeatedOverflowsAndUnderflowsWriteABurstOfEachThenAreCounted) {
    LogCapture log;
    for (int period = 0; period < 40; ++period) {
        engine.runPeriod(*stream, input, 1 + period % 3);
        stream->drainSnapshots();
    }
    EXPECT_EQ(snapshots(), 8u); // overflow, underflow, both, overflow, underflow, both, overflow, underflow
    engine.core->doSnapshot();
    engine.runPeriod(*stream, input);
    stream->drainSnapshots();
    EXPECT_EQ(snapshots(), 9u) << "a request is written as ever";
    log.take();
    EXPECT_EQ(log.count("Input overflow"), 5); // three alone, two with an underflow
    EXPECT_EQ(log.count("Output underflow"), 3);
}

// The writer's clock is the test's: a minute passes when the test says so.
TEST(SnapshotWriterTest, OverflowsPastTheBurstAreCountedInTheNextOneAMinuteLater) {
    std::atomic<long long> seconds{0};
    std::mutex mutex;
    std::vector<unsigned long> written; // unwrittenBefore of each snapshot
    SnapshotWriter writer(
        [&](const SnapshotHeader&, const SnapshotRecord& record) {
            std::lock_guard<std::mutex> guard(mutex);
            written.push_back(record.unwrittenBefore);
        },
        {}, [&] { return SnapshotWriter::Clock::time_point(std::chrono::seconds(seconds.load())); });
    SnapshotHeader header;
    header.rowLength = 1;
    header.nChannelsOutput = 1;
    writer.prepare(header);
    const float sample = 0.5f;
    auto overflow = [&] {
        const bool captured = writer.capture(nullptr, 0, &sample, 1, 0.0, 1, 7);
        writer.drain();
        return captured;
    };

    for (int i = 0; i < SnapshotWriter::kXrunBurst; ++i) EXPECT_TRUE(overflow());
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(overflow());
    seconds = 59;
    EXPECT_FALSE(overflow());
    seconds = 60;
    writer.drain(); // the writer looks at its clock
    EXPECT_TRUE(overflow());
    EXPECT_TRUE(writer.capture(nullptr, 0, &sample, 1, 0.0, 0, 0)) << "a request is not held";
    writer.stop();
    std::lock_guard<std::mutex> guard(mutex);
    std::vector<unsigned long> expected(SnapshotWriter::kXrunBurst, 0); // the burst
    expected.push_back(6);                                              // a minute later: six held
    expected.push_back(0);                                              // the request
    EXPECT_EQ(written, expected);
}

} // namespace

// Snapshot files of every stream together: a minute's bytes at once, then a minute's a minute; the
// rest are counted as unwritten.
TEST(SnapshotAllowanceTest, BoundsTheBytesOfAllSnapshotsAMinute) {
    const auto start = SnapshotAllowance::Clock::now();
    SnapshotAllowance allowance(start);
    const std::size_t file = SnapshotAllowance::kBytesPerMinute / 16;
    for (int i = 0; i < 16; ++i) EXPECT_EQ(allowance.take(file, start), 0u) << i;
    EXPECT_EQ(allowance.take(file, start), 1u);
    EXPECT_EQ(allowance.take(file, start + std::chrono::seconds(1)), 2u);
    EXPECT_EQ(allowance.take(file, start + std::chrono::seconds(4)), 0u);
    EXPECT_EQ(allowance.take(file, start + std::chrono::seconds(4)), 3u);
}
