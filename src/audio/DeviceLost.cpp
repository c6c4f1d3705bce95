#include "audio/DeviceLost.hpp"

namespace audio::detail {

Result deviceLost(const std::vector<std::string>& names) {
    std::string text = "Device disconnected: ";
    for (std::size_t i = 0; i < names.size(); ++i) text += (i ? ", '" : "'") + names[i] + "'";
    text += names.size() > 1 ? " are gone." : " is gone.";
    return Result::failure(Fault::DeviceLost, text);
}

} // namespace audio::detail
