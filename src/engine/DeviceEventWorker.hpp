#pragma once

#include "utilities/WorkerQueue.hpp"

#include <functional>

// Runs device-loss handling off the audio library's own threads. A report only wakes the worker;
// the handler then runs on the worker's thread, where it may take the engine lock and stop or
// reopen streams (doing that from the library's thread would join the thread it runs on).
class DeviceEventWorker {
public:
    // Starts the worker thread with the handler to run once per burst of posted reports.
    void start(std::function<void()> handler) { queue.start({.onWake = std::move(handler)}); }
    // Safe from any thread, the library's threads included; holds a lock only for a moment.
    void post() { queue.wake(); }
    // Ends the worker after the report it is handling; reports not yet handled are dropped.
    void stop() { queue.stop(); }
    // Blocks until every report posted so far has been handled (for tests and orderly shutdown).
    void drain() { queue.drain(); }

private:
    Utilities::WorkerQueue queue; // stops when destroyed
};
