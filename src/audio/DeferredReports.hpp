#pragma once

// Runs reports on a thread of their own. The sound server's thread must never call into the engine
// itself: the engine may be waiting for that very thread while it holds its own lock.

#include "utilities/WorkerQueue.hpp"

#include <functional>

namespace audio::detail {

class DeferredReports {
public:
    DeferredReports() { queue_.start({.maxPending = kMaxPending}); }

    // Never blocks for long. Past kMaxPending waiting reports, new ones are dropped: a server that
    // fails the same way a thousand times says nothing new after the first few.
    void post(std::function<void()> report) { queue_.post(std::move(report)); }
    // Waits until every report posted so far has run (for tests).
    void drain() { queue_.drain(); }

private:
    static constexpr std::size_t kMaxPending = 64;
    Utilities::WorkerQueue queue_;
};

// The process's one queue, taking its thread on first use; never destroyed (a report may still run
// while the process exits).
DeferredReports& deferredReports();

} // namespace audio::detail
