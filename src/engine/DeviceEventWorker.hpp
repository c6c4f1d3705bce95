#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Runs device-loss handling off the audio library's own threads. A report only wakes the worker;
// the handler then runs on the worker's thread, where it may take the engine lock and stop or
// reopen streams (doing that from the library's thread would join the thread it runs on).
class DeviceEventWorker {
public:
    DeviceEventWorker() = default;
    ~DeviceEventWorker() { stop(); }
    DeviceEventWorker(const DeviceEventWorker&) = delete;
    DeviceEventWorker& operator=(const DeviceEventWorker&) = delete;

    // Starts the worker thread with the handler to run once per posted report.
    void start(std::function<void()> handler);
    // Safe from any thread, including audio and library threads; never blocks for long.
    void post();
    // Ends the worker after the report it is handling; reports not yet handled are dropped.
    void stop();
    // Blocks until every report posted so far has been handled (for tests and orderly shutdown).
    void drain();

private:
    void run();

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::function<void()> handler;
    std::thread thread;
    unsigned long posted{0};
    unsigned long handled{0};
    bool stopping{false};
};
