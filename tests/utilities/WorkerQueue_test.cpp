#include "utilities/WorkerQueue.hpp"

#include "Eventually.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& condition) { return testsupport::eventually(condition, 10s); }

// A job that holds the thread until released.
struct Blocker {
    std::atomic<bool> started{false}, release{false}, finished{false};
    std::function<void()> job() {
        return [this] {
            started = true;
            eventually([this] { return release.load(); });
            finished = true;
        };
    }
};

TEST(WorkerQueueTest, RunsJobsInOrderAndDropsBeyondTheBound) {
    Utilities::WorkerQueue queue;
    queue.start({.maxPending = 3});
    Blocker blocker;
    std::vector<int> ran; // the worker's alone until drain() returns
    ASSERT_TRUE(queue.post(blocker.job()));
    ASSERT_TRUE(eventually([&] { return blocker.started.load(); }));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(queue.post([&ran, i] { ran.push_back(i); }), i < 3) << i;
    blocker.release = true;
    queue.drain();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(queue.post([] { throw 1; })); // does not end the thread
    EXPECT_TRUE(queue.post([&ran] { ran.push_back(3); }));
    queue.drain();
    EXPECT_EQ(ran.back(), 3);
}

TEST(WorkerQueueTest, WakesDuringARunBringOneMoreRun) {
    Utilities::WorkerQueue queue;
    Blocker blocker;
    std::atomic<int> runs{0};
    queue.start({.onWake = [&] {
        if (++runs == 1) blocker.job()();
    }});
    queue.wake();
    ASSERT_TRUE(eventually([&] { return blocker.started.load(); }));
    for (int i = 0; i < 5; ++i) queue.wake();
    blocker.release = true;
    queue.drain();
    EXPECT_EQ(runs, 2);
}

TEST(WorkerQueueTest, StopFinishesTheRunningJobDropsTheRestAndAllowsARestart) {
    Utilities::WorkerQueue queue;
    queue.start({});
    Blocker blocker;
    std::atomic<bool> laterRan{false};
    queue.post(blocker.job());
    queue.post([&] { laterRan = true; });
    ASSERT_TRUE(eventually([&] { return blocker.started.load(); }));
    EXPECT_FALSE(queue.stopWithin(1ms));
    EXPECT_FALSE(queue.post([] {}));
    queue.drain(); // a stopped queue has nothing to wait for
    blocker.release = true;
    queue.stop();
    EXPECT_TRUE(blocker.finished);

    // A stop from the thread itself returns at once; a new start waits for that thread to leave.
    std::atomic<int> wakes{0};
    queue.start({.onWake = [&] {
        ++wakes;
        queue.stop();
    }});
    queue.wake();
    queue.drain();
    queue.start({.onWake = [&] { ++wakes; }});
    queue.wake();
    queue.drain();
    EXPECT_EQ(wakes, 2);
    EXPECT_FALSE(laterRan);
}

TEST(WorkerQueueTest, TicksWhileIdle) {
    Utilities::WorkerQueue queue;
    std::atomic<int> ticks{0};
    queue.start({.tick = 1ms, .onTick = [&] { ++ticks; }});
    EXPECT_TRUE(eventually([&] { return ticks >= 3; }));
}

} // namespace
