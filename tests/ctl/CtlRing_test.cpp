// Reading a stream's export as the engine lays it out: the ring comes out oldest period first, and
// a header that does not fit its region is refused instead of read past the mapping.

#include "ctl/Failure.hpp"
#include "ctl/Meter.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// An id no engine of the tests uses.
constexpr int kStreamId = 90417;

class CtlRing : public ::testing::Test {
protected:
    void TearDown() override { ::shm_unlink(name.c_str()); }

    // A region with five one-frame mono slots holding 1..5 and the given header words.
    void writeRegion(std::uint64_t writeOffset, std::uint64_t slotSize, std::uint64_t ringSize) {
        const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const std::size_t size = 32 + 5 * sizeof(float);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        ASSERT_NE(base, MAP_FAILED);
        const std::uint64_t header[4] = {0, writeOffset, slotSize, ringSize};
        const float slots[5] = {1, 2, 3, 4, 5};
        std::memcpy(base, header, sizeof(header));
        std::memcpy(static_cast<char*>(base) + 32, slots, sizeof(slots));
        ::munmap(base, size);
    }

    const std::string name = "/Stream" + std::to_string(kStreamId);
};

TEST_F(CtlRing, OldestPeriodFirstAndBadHeadersRefused) {
    EXPECT_FALSE(Ctl::readRing(kStreamId));
    writeRegion(8, 4, 20); // the next write goes to slot 2: slot 1 is the newest
    const auto ring = Ctl::readRing(kStreamId);
    ASSERT_TRUE(ring);
    EXPECT_EQ(ring->samples, (std::vector<float>{3, 4, 5, 1, 2}));
    EXPECT_EQ(ring->writeOffset, 8u);

    for (const auto& [offset, slot, ringSize] :
         {std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>{0, 4, 24}, {20, 4, 20}, {0, 8, 20}}) {
        writeRegion(offset, slot, ringSize);
        EXPECT_THROW(Ctl::readRing(kStreamId), Ctl::Failure) << offset << " " << slot << " " << ringSize;
    }
    // Sized by the engine, its header not yet written: not running yet rather than broken.
    writeRegion(0, 0, 20);
    EXPECT_FALSE(Ctl::readRing(kStreamId));
}

} // namespace
