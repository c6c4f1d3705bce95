#pragma once

#include <cstddef>

// The unit-test binary wraps the C library's entry points to the system calls an audio thread could
// reach by accident (files, writes, shared memory, mappings, mutexes, sleeps, and the wakes of
// condition variables and of the futexes behind std::counting_semaphore and std::future, which
// libstdc++ reaches through syscall()) and counts them per thread (SystemCallCounter.cpp). The sanitizer builds intercept the same functions, so there the
// wrappers are left out and nothing is counted.
namespace systemcallcounter {

bool counting() noexcept;
// Calls made by the calling thread since it started.
std::size_t callsOnThisThread() noexcept;

} // namespace systemcallcounter
