#include "engine/DeviceEventWorker.hpp"

void DeviceEventWorker::start(std::function<void()> newHandler) {
    std::lock_guard<std::mutex> guard(mutex);
    if (thread.joinable()) return;
    handler = std::move(newHandler);
    stopping = false;
    thread = std::thread(&DeviceEventWorker::run, this);
}

void DeviceEventWorker::post() {
    {
        std::lock_guard<std::mutex> guard(mutex);
        ++posted;
    }
    wake.notify_one();
}

void DeviceEventWorker::stop() {
    {
        std::lock_guard<std::mutex> guard(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
    idle.notify_all();
}

void DeviceEventWorker::drain() {
    std::unique_lock<std::mutex> guard(mutex);
    idle.wait(guard, [this] { return handled >= posted || stopping || !thread.joinable(); });
}

void DeviceEventWorker::run() {
    std::unique_lock<std::mutex> guard(mutex);
    for (;;) {
        wake.wait(guard, [this] { return stopping || handled < posted; });
        if (stopping) return;
        // One pass answers every report posted before it began, so a burst costs one pass.
        const unsigned long answered = posted;
        guard.unlock();
        handler();
        guard.lock();
        handled = answered;
        if (handled >= posted) idle.notify_all();
    }
}
