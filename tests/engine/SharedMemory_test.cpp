#include "engine/SharedMemory.hpp"

#include "engine/Core.hpp"
#include "sessions/SessionsManager.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <fcntl.h>
#include <numeric>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::LogCapture;

namespace {

// A reader in the front end's place: maps the region by name, read and write.
class Mapping {
public:
    explicit Mapping(const std::string& name) {
        fd = shm_open(name.c_str(), O_RDWR, 0);
        if (fd == -1) return;
        struct stat info {};
        fstat(fd, &info);
        size = static_cast<std::size_t>(info.st_size);
        base = static_cast<unsigned char*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    }
    ~Mapping() {
        if (base) munmap(base, size);
        if (fd != -1) close(fd);
    }
    bool ok() const { return fd != -1 && base != nullptr; }
    std::uint64_t word(int index) const {
        std::uint64_t value;
        std::memcpy(&value, base + 8 * index, 8);
        return value;
    }
    void setWord(int index, std::uint64_t value) { std::memcpy(base + 8 * index, &value, 8); }
    float sample(std::size_t byteOffset) const {
        float value;
        std::memcpy(&value, base + 32 + byteOffset, 4);
        return value;
    }

    int fd{-1};
    std::size_t size{0};
    unsigned char* base{nullptr};
};

std::string uniqueName(const char* tag) { return std::string("/vantrell-test-") + tag + "-" + std::to_string(getpid()); }

bool regionExists(const std::string& name) {
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd == -1) return false;
    close(fd);
    return true;
}

TEST(SharedMemoryTest, RegionLayoutForA512FrameStereoPeriod) {
    const std::string name = uniqueName("layout");
    LogCapture log;
    {
        SharedMemory memory(name);
        EXPECT_FALSE(memory.isStarted());
        memory.start(512 * 2 * 4, 5);
        ASSERT_TRUE(memory.isStarted());
        Mapping reader(name);
        ASSERT_TRUE(reader.ok());
        EXPECT_EQ(reader.size, 20512u);
        EXPECT_EQ(reader.word(0), 0u);
        EXPECT_EQ(reader.word(1), 0u);
        EXPECT_EQ(reader.word(2), 4096u);
        EXPECT_EQ(reader.word(3), 20480u);
        struct stat info {};
        fstat(reader.fd, &info);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << "other users must not read the microphone";

        memory.start(64, 2);  // a started region ignores later sizes
        Mapping again(name);
        EXPECT_EQ(again.size, 20512u);
    }
    EXPECT_FALSE(regionExists(name));
    log.take();
    EXPECT_TRUE(log.contains("Shared memory " + name + " created with size 20512\n"));
    EXPECT_TRUE(log.contains("Shared memory " + name + " destroyed\n"));
}

TEST(SharedMemoryTest, ARegionLeftByAnotherRunIsReplacedNotResized) {
    const std::string name = uniqueName("stale");
    // Someone else's region of the same name: world-readable, larger, and still mapped by them.
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_NE(fd, -1);
    fchmod(fd, 0666);
    ASSERT_EQ(ftruncate(fd, 65536), 0);
    auto* theirs = static_cast<unsigned char*>(mmap(nullptr, 65536, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    ASSERT_NE(theirs, MAP_FAILED);
    theirs[65535] = 42;

    LogCapture log;
    SharedMemory memory(name);
    memory.start(16, 5);
    const float samples[4] = {1, 2, 3, 4};
    memory.write(samples);
    Mapping reader(name);
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(reader.size, 112u);
    struct stat info {};
    fstat(reader.fd, &info);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Their mapping keeps its size and content: touching its last byte does not fault.
    EXPECT_EQ(theirs[65535], 42);
    EXPECT_EQ(theirs[32], 0);
    munmap(theirs, 65536);
}

TEST(SharedMemoryTest, AnEngineTouchesOnlyTheRegionItCreated) {
    const std::string name = uniqueName("owner");
    LogCapture log;
    auto first = std::make_unique<SharedMemory>(name);
    first->start(16, 5);
    const float samples[4] = {1, 2, 3, 4};
    first->write(samples);
    EXPECT_THROW(SharedMemory(name).start(16, 5), std::runtime_error);  // a second engine's stream
    EXPECT_EQ(Mapping(name).sample(0), 1.0f);

    // Once the name refers to someone else's region, the first engine's exit leaves it alone.
    shm_unlink(name.c_str());
    const int theirs = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    first.reset();
    EXPECT_TRUE(regionExists(name));
    close(theirs);
    shm_unlink(name.c_str());

    // A region that cannot be mapped leaves no name and no descriptor (the next one gets the same number).
    const int before = dup(2);
    close(before);
    EXPECT_THROW(SharedMemory(name).start(1ul << 60, 4), std::runtime_error);
    EXPECT_FALSE(regionExists(name));
    const int after = dup(2);
    close(after);
    EXPECT_EQ(after, before);
}

TEST(SharedMemoryTest, WritesWrapAfterFiveSlotsAndTheNewestSlotIsBehindTheOffset) {
    const std::string name = uniqueName("wrap");
    LogCapture log;
    SharedMemory memory(name);
    memory.start(16, 5);
    Mapping reader(name);
    for (int period = 1; period <= 6; ++period) {
        const float samples[4] = {float(period), float(period), float(period), float(period)};
        memory.write(samples);
        const std::uint64_t offset = reader.word(1);
        EXPECT_EQ(offset, (period % 5) * 16u);
        EXPECT_EQ(reader.sample((offset + 80 - 16) % 80), float(period));
    }
}

TEST(SharedMemoryTest, BadSizesAndEarlyWritesThrowAndCreateNothing) {
    const std::string name = uniqueName("bad");
    SharedMemory memory(name);
    const float samples[4] = {};
    EXPECT_THROW(memory.write(samples), std::runtime_error);
    try {
        memory.start(0, 5);
        FAIL();
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Data size and margin must be greater than 0");
    }
    EXPECT_THROW(memory.start(4096, 0), std::invalid_argument);
    EXPECT_FALSE(memory.isStarted());
    EXPECT_FALSE(regionExists(name));
}

TEST(SharedMemoryTest, ScribbledHeaderNeverMovesTheEnginesWrites) {
    const std::string name = uniqueName("scribble");
    LogCapture log;
    SharedMemory memory(name);
    memory.start(16, 5);
    Mapping reader(name);
    // Another process claims a huge offset and slot size; the engine must stay inside its ring.
    reader.setWord(1, 1ull << 40);
    reader.setWord(2, 1ull << 40);
    reader.setWord(3, 7);
    const float samples[4] = {9, 9, 9, 9};
    memory.write(samples);
    EXPECT_EQ(reader.sample(0), 9.0f);
    EXPECT_EQ(reader.word(1), 16u);
}

TEST(SharedMemoryTest, PeriodsOfAnotherSizeStayInsideTheSlotAndTheBuffer) {
    const std::string name = uniqueName("sizes");
    LogCapture log;
    SharedMemory memory(name);
    memory.start(16, 2);
    Mapping reader(name);
    const float longPeriod[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    memory.write(longPeriod, sizeof(longPeriod));  // only the slot's 16 bytes go out
    EXPECT_EQ(reader.sample(12), 4.0f);
    EXPECT_EQ(reader.sample(16), 0.0f) << "the next slot is untouched";
    const float shortPeriod[2] = {7, 7};
    memory.write(shortPeriod, sizeof(shortPeriod));  // the rest of the slot is silence
    EXPECT_EQ(reader.sample(16), 7.0f);
    EXPECT_EQ(reader.sample(24), 0.0f);
    EXPECT_EQ(reader.word(1), 0u);
}

TEST(SharedMemoryTest, StreamExportsEveryPeriodAndRemovalUnlinksTheRegion) {
    testsupport::VirtualEngine engine;
    LogCapture log;
    engine.system->settleBufferFramesAt(512);
    Core& core = engine.makeCore();
    const int id = core.addStream(engine.mic, engine.speakers, 2, 2, 48000, 512);
    auto stream = core.getStreamById(id);
    const std::string name = "/Stream" + std::to_string(id);
    shm_unlink(name.c_str());
    ASSERT_EQ(core.startStream(id), 0);
    EXPECT_TRUE(regionExists(name)) << "made when the stream starts, before its first period";

    std::vector<float> input(1024);
    std::iota(input.begin(), input.end(), 0.0f);
    engine.runPeriod(*stream, input);
    {
        Mapping reader(name);
        ASSERT_TRUE(reader.ok());
        EXPECT_EQ(reader.size, 20512u);
        EXPECT_EQ(reader.word(1), 4096u);
        EXPECT_EQ(reader.sample(4 * 1023), 1023.0f);
    }
    stream.reset();
    EXPECT_EQ(core.removeStream(id), 0);
    EXPECT_FALSE(regionExists(name));
}

TEST(SharedMemoryTest, AnExportThatCannotStartIsSkippedOnceAndTheStreamsPlayOn) {
    testsupport::VirtualEngine engine;
    LogCapture log;
    engine.system->settleBufferFramesAt(4);
    Core& core = engine.makeCore();
    const int blocked = core.addStream(engine.mic, engine.speakers, 2, 2, 48000, 4);
    const int healthy = core.addStream(engine.mic, engine.speakers, 2, 2, 48000, 4);
    // A directory where the region should be makes shm_open fail when the stream starts.
    const std::string path = "/dev/shm/Stream" + std::to_string(blocked);
    shm_unlink(("/Stream" + std::to_string(blocked)).c_str());
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    ASSERT_EQ(core.startStream(blocked), 0);
    ASSERT_EQ(core.startStream(healthy), 0);

    const std::vector<float> input{1, 2, 3, 4, 5, 6, 7, 8};
    for (int period = 0; period < 3; ++period) {
        EXPECT_EQ(engine.runPeriod(*core.getStreamById(blocked), input), input);
        EXPECT_EQ(engine.runPeriod(*core.getStreamById(healthy), input), input);
    }
    rmdir(path.c_str());
    EXPECT_FALSE(core.getStreamById(blocked)->isSharedMemoryStarted());
    EXPECT_TRUE(core.getStreamById(healthy)->isSharedMemoryStarted());
    EXPECT_EQ(log.count("Shared memory export disabled: Failed to open shared memory"), 1);
}

} // namespace

// Streams 1 and 2 (0 removed) saved and loaded back: each exports under its own id, its own audio,
// and nothing is left under the id the loader built it with.
TEST(SharedMemoryTest, LoadedStreamsExportUnderTheirSavedIds) {
    testsupport::VirtualEngine engine;
    LogCapture log;
    engine.system->settleBufferFramesAt(4);
    Core& core = engine.makeCore();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(core.addStream(engine.mic, engine.speakers, 2, 2, 48000, 4), i);
    ASSERT_EQ(core.removeStream(0), 0);
    for (unsigned int id : {1u, 2u}) ASSERT_EQ(core.startStream(id), 0);
    const std::string path = engine.dir.file("two.json");
    SessionsManager(&core).saveSession(path);
    SessionsManager(&core).loadSession(path);
    EXPECT_FALSE(regionExists("/Stream0"));
    for (unsigned int id : {1u, 2u}) {
        auto stream = core.getStreamById(id);
        ASSERT_TRUE(stream && stream->isStarted()) << id;
        const float level = float(id);
        engine.runPeriod(*stream, std::vector<float>(8, level));
        Mapping reader("/Stream" + std::to_string(id));
        ASSERT_TRUE(reader.ok()) << id;
        EXPECT_EQ(reader.sample(0), level) << id;
    }
}

