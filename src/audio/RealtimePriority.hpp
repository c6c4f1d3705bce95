#pragma once

#include <string>

namespace audio::detail {

// Asks for real-time (SCHED_FIFO) scheduling for the calling thread, within the user's rtprio
// limit (raising the soft limit to the hard one where needed). Returns "" when granted, otherwise
// why not. VANTRELL_REALTIME=off in the environment leaves the thread as it is (for comparisons).
std::string requestRealtimeScheduling();

} // namespace audio::detail

namespace audio {

// The operator's line for a refusal `why`.
std::string realtimeRefusalNotice(const std::string& why);

} // namespace audio
