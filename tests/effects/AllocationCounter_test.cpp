// The test binary's replacement of the global allocation functions, counting per thread so other
// tests are not disturbed. Named *_test.cpp so the test glob links it into vantrell_tests.
#include "AllocationCounter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace {

thread_local std::size_t allocationCount = 0;

void* allocate(std::size_t size, std::size_t alignment = 0) noexcept {
    ++allocationCount;
    if (alignment == 0) return std::malloc(size ? size : 1);
    return std::aligned_alloc(alignment, (size + alignment) / alignment * alignment);
}

void* orThrow(void* pointer) {
    if (!pointer) throw std::bad_alloc();
    return pointer;
}

} // namespace

std::size_t allocationcounter::allocationsOnThisThread() noexcept {
    return allocationCount;
}

void* operator new(std::size_t n) { return orThrow(allocate(n)); }
void* operator new[](std::size_t n) { return orThrow(allocate(n)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) { return orThrow(allocate(n, std::size_t(a))); }
void* operator new[](std::size_t n, std::align_val_t a) { return orThrow(allocate(n, std::size_t(a))); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return allocate(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return allocate(n, std::size_t(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

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
