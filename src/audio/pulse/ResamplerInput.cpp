#include "audio/pulse/ResamplerInput.hpp"

#include "audio/ClockFollower.hpp"

#include <algorithm>
#include <cmath>

namespace audio::detail {

std::size_t resamplerInputNeeded(double distance, unsigned int halfLength, unsigned int periodFrames) {
    const double steps = std::max(0.0, double(periodFrames) - 1.0) * (1.0 + ClockFollower::kMaxCorrection);
    // One more for the ratio's smoothing, which may step past the estimate by a fraction of a frame.
    return std::size_t(std::max(0.0, std::ceil(double(halfLength) - distance + steps))) + 1;
}

} // namespace audio::detail
