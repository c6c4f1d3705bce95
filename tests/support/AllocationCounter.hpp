#pragma once

#include <cstddef>

// The unit-test binary replaces the global operator new (AllocationCounter.cpp) to count the heap
// allocations each thread makes. It is the only replacement in the binary: tests elsewhere that need
// to count allocations include this header rather than define their own.
namespace allocationcounter {

// Allocations made by the calling thread since it started.
std::size_t allocationsOnThisThread() noexcept;

} // namespace allocationcounter
