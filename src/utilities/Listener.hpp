#pragma once

// One replaceable callback that any thread may call: the holder of a process-wide event sets it,
// the threads that see the event call notify(). The callback runs outside the lock, so it may set
// another (or none) while it runs.

#include <functional>
#include <mutex>
#include <utility>

namespace Utilities {

template <class... Args>
class Listener {
public:
    // Empty: events are dropped from now on.
    void set(std::function<void(Args...)> callback) {
        std::lock_guard<std::mutex> guard(mutex_);
        callback_ = std::move(callback);
    }

    void notify(Args... args) const {
        std::function<void(Args...)> callback;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            callback = callback_;
        }
        if (callback) callback(std::forward<Args>(args)...);
    }

private:
    mutable std::mutex mutex_;
    std::function<void(Args...)> callback_;
};

} // namespace Utilities
