#include "utilities/ParkedThreads.hpp"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace Utilities {

namespace {

// Threads kept waiting for a job; one more that finishes a job exits instead.
constexpr std::size_t kMaxParked = 8;

// A thread waiting for its next job, on that thread's own stack; each job is handed to one thread.
struct Parked {
    std::condition_variable handedOver;
    std::packaged_task<void()> job;
    bool hasJob{false};
};

struct Park {
    std::mutex mutex;
    std::vector<Parked*> waiting;
};

// Never destroyed: parked threads wait on it until the process ends.
Park& park() {
    static Park* const instance = new Park;
    return *instance;
}

void serve(Park& park, std::packaged_task<void()> job) {
    Parked self;
    for (;;) {
        job();
        job = {}; // what the job held goes now, not when the next one comes
        std::unique_lock<std::mutex> lock(park.mutex);
        if (park.waiting.size() >= kMaxParked) return;
        self.hasJob = false;
        park.waiting.push_back(&self);
        self.handedOver.wait(lock, [&self] { return self.hasJob; });
        job = std::move(self.job);
    }
}

} // namespace

std::future<void> runOnParkedThread(std::function<void()> work) {
    std::packaged_task<void()> job(std::move(work));
    auto finished = job.get_future();
    Park& shared = park();
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (!shared.waiting.empty()) {
        Parked* parked = shared.waiting.back();
        shared.waiting.pop_back();
        parked->job = std::move(job);
        parked->hasJob = true;
        parked->handedOver.notify_one();
    } else {
        // A failure to start one throws here, to the caller, with the job dropped.
        std::thread(serve, std::ref(shared), std::move(job)).detach();
    }
    return finished;
}

} // namespace Utilities
