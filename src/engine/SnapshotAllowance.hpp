#pragma once

#include "utilities/RequestBudget.hpp"

#include <cstddef>
#include <mutex>

// The bytes of snapshot files the whole engine may write: a minute's worth at once, then as fast as
// a minute's worth a minute. Each stream bounds its own snapshots, but sixty streams on a stalling
// server would still write a hundred megabytes in seconds. A snapshot past it is left unwritten and
// counted. Shared by every stream's writer thread and the console.
class SnapshotAllowance {
public:
    using Clock = Utilities::RequestBudget::Clock;
    static constexpr std::size_t kBytesPerMinute = 16u << 20;

    explicit SnapshotAllowance(Clock::time_point now = Clock::now());

    // Takes `bytes` when they are left and returns 0; otherwise counts one more snapshot left
    // unwritten and returns how many have been since the engine started.
    unsigned long take(std::size_t bytes, Clock::time_point now = Clock::now());

    static SnapshotAllowance& processWide();

private:
    std::mutex mutex_;
    Utilities::RequestBudget budget_;
    unsigned long unwritten_{0};
};
