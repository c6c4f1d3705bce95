#include "audio/DeferredReports.hpp"

namespace audio::detail {

void DeferredReports::post(std::function<void()> report) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (pending_.size() >= kMaxPending) return;
    pending_.push_back(std::move(report));
    if (!started_) {
        started_ = true;
        std::thread([this] { run(); }).detach();
    }
    wake_.notify_one();
}

void DeferredReports::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return pending_.empty() && !busy_; });
}

void DeferredReports::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return !pending_.empty(); });
        auto report = std::move(pending_.front());
        pending_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            report();
        } catch (...) {
            // A throwing handler must not end the thread that every later report needs.
        }
        report = nullptr; // whatever it captured goes before the lock is taken again
        lock.lock();
        busy_ = false;
        if (pending_.empty()) idle_.notify_all();
    }
}

DeferredReports& deferredReports() {
    static DeferredReports* instance = new DeferredReports;
    return *instance;
}

} // namespace audio::detail
