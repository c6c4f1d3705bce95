#pragma once

// A thread of its own for work that must not run where it is noticed: posted jobs run one at a time,
// in order. Besides jobs, a wake (one handler run for any number of wakes posted before it began)
// and a tick (a handler run every interval). Posting takes a lock and may wake the thread: never
// from a period of an audio callback.

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace Utilities {

class WorkerQueue {
public:
    struct Options {
        // Jobs waiting beyond this are dropped by post().
        std::size_t maxPending{64};
        // Runs once for every burst of wake(): wakes posted while it runs bring one more run.
        std::function<void()> onWake{};
        // Runs every `tick` (zero: never), counted from the end of its previous run.
        std::chrono::milliseconds tick{0};
        std::function<void()> onTick{};
    };

    WorkerQueue() = default;
    ~WorkerQueue() { stop(); }
    WorkerQueue(const WorkerQueue&) = delete;
    WorkerQueue& operator=(const WorkerQueue&) = delete;

    // Takes a thread unless one runs already. After a stop that has not finished (one from the
    // thread itself, or one that gave up waiting) it first waits for that thread: never from a job.
    void start(Options options);
    // False when the job is dropped: the queue does not run, or maxPending jobs wait already.
    bool post(std::function<void()> job);
    // Asks for a run of onWake; dropped while the queue does not run.
    void wake();
    // Waits until every job and wake posted so far has run, or the queue stops. Never from a job.
    void drain();
    // Ends the thread after the job or handler it is running; whatever still waits is dropped, and
    // so is anything posted until the next start(). Waits for the thread, unless called from it.
    void stop();
    // Likewise, waiting at most `limit`. False when the running job has not finished by then: the
    // queue must outlive its thread, which leaves once that job returns.
    bool stopWithin(std::chrono::milliseconds limit);

private:
    bool stopWaiting(const std::chrono::milliseconds* limit);
    void run();

    Options options_; // the thread's alone while it runs
    std::mutex mutex_;
    std::condition_variable changed_; // for the thread: a job, a wake, a stop
    std::condition_variable idle_;    // for drain()
    std::deque<std::function<void()>> jobs_;
    unsigned long jobsPosted_{0}, jobsDone_{0};
    unsigned long wakesPosted_{0}, wakesDone_{0};
    bool running_{false};
    std::thread::id worker_;
    // Ready once the thread has left run(); valid from the first start().
    std::shared_future<void> loop_;
};

} // namespace Utilities
