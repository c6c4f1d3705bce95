#pragma once

// Runs reports on a thread of their own. The sound server's thread must never call into the engine
// itself: the engine may be waiting for that very thread while it holds its own lock.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace audio::detail {

class DeferredReports {
public:
    // Never blocks for long. Past kMaxPending waiting reports, new ones are dropped: a server that
    // fails the same way a thousand times says nothing new after the first few.
    void post(std::function<void()> report);
    // Waits until every report posted so far has run (for tests).
    void drain();

private:
    void run();

    static constexpr std::size_t kMaxPending = 64;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> pending_;
    bool busy_{false};
    bool started_{false};
};

// The process's one queue; never destroyed (a report may still run while the process exits).
DeferredReports& deferredReports();

} // namespace audio::detail
