#pragma once

#include <vector>

namespace audio::detail {

// The standard rates up to and including the one a device runs at: a sound server converts any
// rate, so the highest rate two devices share is the one they run at.
std::vector<unsigned int> ratesUpTo(unsigned int nativeRate);

} // namespace audio::detail
