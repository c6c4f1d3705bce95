#pragma once

// How every back end words the loss of the devices a stream used ("Device disconnected: 'A' is
// gone."), so the engine's log reads the same whichever back end runs.

#include "audio/Result.hpp"

#include <string>
#include <vector>

namespace audio::detail {

// A Fault::DeviceLost report naming the devices (by the names users read).
Result deviceLost(const std::vector<std::string>& names);

} // namespace audio::detail
