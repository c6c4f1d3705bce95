// The engine in this process on the real audio layer and the private PulseAudio: a stream from the
// 440 Hz sine source (mono, amplitude 0.5) to the null sink vantrell_main, recorded at the sink's
// monitor. Levels are compared with the same stream's unprocessed level, measured in the same test.

#include "engine/Core.hpp"

#include "LogCapture.hpp"
#include "PulseTools.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class EngineAudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(testsupport::pulseServer().empty()) << testsupport::missingPulseServerMessage();
        testsupport::LogCapture quiet;
        core = std::make_unique<Core>();
        auto guard = core->lock();
        id = static_cast<unsigned int>(core->addStream(0, 0, 0, 0, 48000, 1024));
        ASSERT_EQ(core->startStream(id), 0) << quiet.take();
    }
    void TearDown() override {
        testsupport::LogCapture quiet;
        core.reset();
    }

    // RMS and frequency of the left channel at the sink, after the change has reached it.
    testsupport::ToneEstimate measure() {
        std::this_thread::sleep_for(1000ms);
        const auto recorded = testsupport::recordMonitor("vantrell_main", 2, 48000, 2000ms);
        return testsupport::steadyTone(recorded, 2, 0, 48000);
    }

    std::unique_ptr<Core> core;
    unsigned int id{};
};

// Reads the stream's export ring from a mapping of its own, as the front end does: the last five
// periods, oldest first (starting at the write offset).
std::vector<float> readRing(const std::string& name) {
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd == -1) return {};
    struct stat info {};
    fstat(fd, &info);
    const auto size = static_cast<std::size_t>(info.st_size);
    void* base = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (base == MAP_FAILED) return {};
    std::vector<unsigned char> copy(size);
    std::memcpy(copy.data(), base, size);
    munmap(base, size);
    std::uint64_t header[4];
    std::memcpy(header, copy.data(), sizeof(header));
    const std::uint64_t offset = header[1], ringSize = header[3];
    if (ringSize == 0 || ringSize + 32 > size || offset >= ringSize) return {};
    std::vector<float> samples(ringSize / sizeof(float));
    auto* ring = copy.data() + 32;
    std::memcpy(samples.data(), ring + offset, ringSize - offset);
    std::memcpy(reinterpret_cast<unsigned char*>(samples.data()) + (ringSize - offset), ring, offset);
    return samples;
}

TEST_F(EngineAudioTest, TheExportRingHoldsTheTone) {
    measure();  // the same wait for the sound to flow
    const auto ring = readRing("/Stream" + std::to_string(id));
    ASSERT_EQ(ring.size(), 5u * 1024 * 2) << "five stereo periods of 1024 frames";
    const auto left = testsupport::estimateTone(ring, 2, 0, 48000);
    const auto right = testsupport::estimateTone(ring, 2, 1, 48000);
    EXPECT_NEAR(left.frequency, 440.0, 10.0);
    EXPECT_NEAR(left.rms, 0.5 / std::sqrt(2.0), 0.05);
    EXPECT_LT(right.rms, 0.001) << "a mono source reaches the left channel only";
}

TEST_F(EngineAudioTest, HalfStreamVolumeAndHalfMasterVolumeGiveAQuarterOfTheTone) {
    const auto unity = measure();
    ASSERT_NEAR(unity.frequency, 440.0, 5.0);
    ASSERT_GT(unity.rms, 0.3);
    {
        testsupport::LogCapture quiet;
        auto guard = core->lock();
        ASSERT_EQ(core->setEffectParameter(id, "VolumeEffect", "volume", 50), 0);
        ASSERT_EQ(core->setMasterEffectParameter("VolumeEffect", "volume", 50), 0);
    }
    const auto quarter = measure();
    EXPECT_NEAR(quarter.frequency, 440.0, 5.0);
    EXPECT_NEAR(quarter.rms / unity.rms, 0.25, 0.02);
}

TEST_F(EngineAudioTest, PeakFilterAtTheToneWithSixDecibelsDoublesItsLevel) {
    const auto flat = measure();
    ASSERT_GT(flat.rms, 0.3);
    {
        testsupport::LogCapture quiet;
        auto guard = core->lock();
        // Headroom first: the boosted tone must not clip at the sink.
        ASSERT_EQ(core->setEffectParameter(id, "VolumeEffect", "volume", 50), 0);
        ASSERT_EQ(core->addEffectToStream(id, "EQEffect"), 0);
        ASSERT_EQ(core->addEQFilterToStream(id, "PeakFilter"), 0);
        ASSERT_EQ(core->setEQFilterParameter(id, 0, "centerFreq", 440), 0);
        ASSERT_EQ(core->setEQFilterParameter(id, 0, "Q", 1), 0);
    }
    const auto half = measure();
    {
        testsupport::LogCapture quiet;
        auto guard = core->lock();
        ASSERT_EQ(core->setEQFilterParameter(id, 0, "gain", 6), 0);
    }
    const auto boosted = measure();
    EXPECT_NEAR(boosted.frequency, 440.0, 5.0);
    EXPECT_NEAR(boosted.rms / half.rms, 1.995, 0.06);
}

} // namespace
