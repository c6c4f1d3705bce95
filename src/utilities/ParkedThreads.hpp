#pragma once

#include <functional>
#include <future>

namespace Utilities {

// Runs a long job (a stream's snapshot writer lives as long as the stream) on a thread that outlives
// it: when the job returns, its thread parks and takes the next job instead of exiting. Starting a
// thread costs more than the rest of a stream's start, and streams come and go; a few threads stay
// parked, the rest exit. The future is ready once the job has returned.
std::future<void> runOnParkedThread(std::function<void()> job);

} // namespace Utilities
