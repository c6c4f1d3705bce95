#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Waits until `done()` holds, up to `timeout`: whether it came in time.
template <class Done>
bool eventually(Done done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace testsupport
