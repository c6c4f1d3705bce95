#include "utilities/WorkerQueue.hpp"

#include "utilities/ParkedThreads.hpp"

namespace Utilities {

namespace {

void runGuarded(const std::function<void()>& work) {
    if (!work) return;
    try {
        work();
    } catch (...) {
        // A throwing job must not end the thread that every later one needs.
    }
}

} // namespace

void WorkerQueue::start(Options options) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!running_ && loop_.valid() && loop_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        const std::shared_future<void> previous = loop_;
        lock.unlock();
        previous.wait();
        lock.lock();
    }
    if (running_) return;
    options_ = std::move(options);
    jobsDone_ = jobsPosted_; // what a stop dropped never runs
    wakesDone_ = wakesPosted_;
    // A parked thread: streams come and go, and starting a thread costs more than a stream's start.
    // The thread waits for the lock, and so sees running_.
    loop_ = runOnParkedThread([this] { run(); }).share();
    running_ = true;
}

bool WorkerQueue::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!running_ || jobs_.size() >= options_.maxPending) return false;
        jobs_.push_back(std::move(job));
        ++jobsPosted_;
    }
    changed_.notify_one();
    return true;
}

void WorkerQueue::wake() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!running_) return;
        ++wakesPosted_;
    }
    changed_.notify_one();
}

void WorkerQueue::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned long jobs = jobsPosted_, wakes = wakesPosted_;
    idle_.wait(lock, [&] { return !running_ || (jobsDone_ >= jobs && wakesDone_ >= wakes); });
}

void WorkerQueue::stop() { stopWaiting(nullptr); }

bool WorkerQueue::stopWithin(std::chrono::milliseconds limit) { return stopWaiting(&limit); }

bool WorkerQueue::stopWaiting(const std::chrono::milliseconds* limit) {
    std::deque<std::function<void()>> dropped;
    std::shared_future<void> loop;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        running_ = false;
        dropped.swap(jobs_);
        if (worker_ != std::this_thread::get_id()) loop = loop_;
    }
    changed_.notify_all();
    idle_.notify_all();
    dropped.clear(); // outside the lock: what they captured may take locks of its own
    if (!loop.valid()) return true;
    if (!limit) {
        loop.wait();
        return true;
    }
    return loop.wait_for(*limit) == std::future_status::ready;
}

void WorkerQueue::run() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mutex_);
    worker_ = std::this_thread::get_id();
    const bool ticks = options_.tick.count() > 0 && options_.onTick;
    auto nextTick = Clock::now() + options_.tick;
    const auto ready = [this] { return !running_ || !jobs_.empty() || wakesDone_ < wakesPosted_; };
    while (running_) {
        if (ticks)
            changed_.wait_until(lock, nextTick, ready);
        else
            changed_.wait(lock, ready);
        if (running_ && !jobs_.empty()) {
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            runGuarded(job);
            job = nullptr; // whatever it captured goes before the lock is taken again
            lock.lock();
            ++jobsDone_;
        }
        if (running_ && wakesDone_ < wakesPosted_) {
            const unsigned long answered = wakesPosted_;
            lock.unlock();
            runGuarded(options_.onWake);
            lock.lock();
            wakesDone_ = answered;
        }
        // Jobs and wakes do not put the tick off.
        if (running_ && ticks && Clock::now() >= nextTick) {
            lock.unlock();
            runGuarded(options_.onTick);
            lock.lock();
            nextTick = Clock::now() + options_.tick;
        }
        idle_.notify_all();
    }
    worker_ = {};
    idle_.notify_all();
}

} // namespace Utilities
