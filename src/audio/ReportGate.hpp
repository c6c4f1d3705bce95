#pragma once

// Where a device stream's reports go: its owner's StreamReports until the stream closes, nowhere
// after. Closing waits for a report under way on another thread, so none runs once the stream's
// destructor has returned; a report handler must therefore not wait for whoever destroys the
// stream. Closing from inside a report (the handler drops the stream) does not wait for itself.

#include "audio/BackEnd.hpp"

#include <atomic>
#include <mutex>
#include <thread>

namespace audio::detail {

class ReportGate {
public:
    explicit ReportGate(StreamReports reports) : reports_(std::move(reports)) {}

    // On a back end's own thread, never the period's.
    void deliver(const Result& report) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (closed_ || !reports_) return;
        delivering_.store(std::this_thread::get_id());
        try {
            reports_(report);
        } catch (...) {
            // A throwing handler must not unwind into the back end's thread.
        }
        delivering_.store(std::thread::id{});
        if (closed_) reports_ = nullptr; // closed by the handler itself: it has returned now
    }

    void close() {
        if (delivering_.load() == std::this_thread::get_id()) {
            closed_ = true; // inside deliver(), which holds the lock and drops the handler after
            return;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
        reports_ = nullptr;
    }

private:
    std::mutex mutex_;
    StreamReports reports_;
    bool closed_{false};
    std::atomic<std::thread::id> delivering_{};
};

} // namespace audio::detail
