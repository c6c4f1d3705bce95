#include "utilities/ParkedThreads.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Jobs that each run until all of them have started: a job left waiting for a thread that another
// job holds would never start, and the round would time out.
TEST(ParkedThreadsTest, LongJobsAllRunAtOnceRoundAfterRound) {
    constexpr int kJobs = 12; // more than stay parked
    for (int round = 0; round < 3; ++round) {
        std::mutex mutex;
        std::condition_variable changed;
        int started = 0;
        bool release = false;
        std::vector<std::future<void>> finished;
        for (int i = 0; i < kJobs; ++i)
            finished.push_back(Utilities::runOnParkedThread([&] {
                std::unique_lock<std::mutex> lock(mutex);
                ++started;
                changed.notify_all();
                changed.wait(lock, [&] { return release; });
            }));
        bool allStarted;
        {
            std::unique_lock<std::mutex> lock(mutex);
            allStarted = changed.wait_for(lock, 10s, [&] { return started == kJobs; });
            release = true; // whatever happened: the jobs hold this frame's variables
        }
        changed.notify_all();
        for (auto& job : finished) job.wait();
        ASSERT_TRUE(allStarted) << "round " << round;
    }
}

} // namespace
