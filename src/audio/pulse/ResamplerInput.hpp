#pragma once

// How much input the clock follower's resampler must be offered before a period runs. Its filter
// reads a half length ahead of the frame it plays, and keeps what it read between periods: a
// period needs what the filter still lacks for its first frame, then a step per further frame.
// Asking for more than that only keeps input waiting in the ring, where it is missing from the
// margin queued on the server.

#include <cstddef>

namespace audio::detail {

// `distance` is the resampler's inpdist() (input read beyond the centre of the next frame's filter);
// the steps are taken at the fastest ratio the follower may set.
std::size_t resamplerInputNeeded(double distance, unsigned int halfLength, unsigned int periodFrames);

} // namespace audio::detail
