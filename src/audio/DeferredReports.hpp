#pragma once

// Runs reports on a thread of their own. The sound server's thread must never call into the engine
// itself: the engine may be waiting for that very thread while it holds its own lock.

#include "audio/ReportGate.hpp"
#include "audio/Result.hpp"
#include "utilities/WorkerQueue.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace audio::detail {

class DeferredReports {
public:
    DeferredReports() { queue_.start({.maxPending = kMaxPending, .onWake = [this] { deliverWaiting(); }}); }

    // A notice that may be dropped: past kMaxPending waiting, new ones are, since a server that
    // fails the same way a thousand times says nothing new after the first few.
    void post(std::function<void()> notice) { queue_.post(std::move(notice)); }
    // A stream's report (a lost device, a stream the server ended) is never dropped: the front end
    // shows each. One that repeats a report still waiting for the same stream is the same news.
    void deliver(std::weak_ptr<ReportGate> gate, Result report);
    // Waits until every report posted so far has run (for tests).
    void drain() { queue_.drain(); }

private:
    static constexpr std::size_t kMaxPending = 64;
    void deliverWaiting();

    std::mutex mutex_; // guards waiting_
    std::vector<std::pair<std::weak_ptr<ReportGate>, Result>> waiting_;
    Utilities::WorkerQueue queue_;
};

// The process's one queue, taking its thread on first use; never destroyed (a report may still run
// while the process exits).
DeferredReports& deferredReports();

} // namespace audio::detail
