// The allocation counter that the real-time tests rely on counts per thread.
#include "AllocationCounter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

TEST(EffectAllocationCounter, CountsOnlyTheCallingThreadsAllocations) {
    std::size_t before = allocationcounter::allocationsOnThisThread();
    auto owned = std::make_unique<int>(3);
    EXPECT_EQ(allocationcounter::allocationsOnThisThread() - before, 1u);

    std::atomic<int> phase{0};
    std::size_t countedThere = 0;
    std::thread other([&] {
        while (phase.load() == 0) {
        }
        const std::size_t start = allocationcounter::allocationsOnThisThread();
        std::vector<int> values(1000);
        countedThere = allocationcounter::allocationsOnThisThread() - start;
        phase.store(2);
    });
    before = allocationcounter::allocationsOnThisThread();
    phase.store(1);
    while (phase.load() != 2) {
    }
    EXPECT_EQ(allocationcounter::allocationsOnThisThread(), before);
    other.join();
    EXPECT_EQ(countedThere, 1u);
}
