#pragma once

#include <atomic>

// A lock that spins and never sleeps, for sections an audio thread holds for one block at most
// (a stateful effect reached by several streams' audio threads). Never use it around anything that
// can block.
class SpinLock {
public:
    void lock() const noexcept {
        while (flag_.test_and_set(std::memory_order_acquire)) {
            while (flag_.test(std::memory_order_relaxed)) relax();
        }
    }

    void unlock() const noexcept { flag_.clear(std::memory_order_release); }

private:
    static void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    mutable std::atomic_flag flag_;
};
