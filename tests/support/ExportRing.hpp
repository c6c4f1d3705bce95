#pragma once

// How fast streams write their export rings (/dev/shm/Stream<id>, laid out as engine/SharedMemory.hpp
// says): a stream that runs writes one slot a period, in step with real time.

#include <chrono>
#include <vector>

namespace testsupport {

// For each stream, the periods its ring took over `window` as a share of the `rate` / `periodFrames`
// a second real time gives (1.0 in step; 0 for a ring that does not exist). The write offset wraps
// every few periods, so it is read every millisecond rather than at both ends.
std::vector<double> ringPace(const std::vector<unsigned int>& streamIds, unsigned int rate, unsigned int periodFrames,
                             std::chrono::milliseconds window);

} // namespace testsupport
