// The unit-test binary's replacement of the global allocation functions, counting per thread so
// other tests are not disturbed. Linked into vantrell_tests only (see tests/CMakeLists.txt).
#include "AllocationCounter.hpp"

#include <cstdlib>
#include <new>

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
