#include "audio/BackEnd.hpp"

namespace audio {

std::optional<Device> BackEnd::device(DeviceId id) {
    for (Device& device : devices())
        if (device.id == id) return std::move(device);
    return std::nullopt;
}

DeviceId BackEnd::defaultInput() {
    for (const Device& device : devices())
        if (device.isDefaultInput) return device.id;
    return kNoDevice;
}

DeviceId BackEnd::defaultOutput() {
    for (const Device& device : devices())
        if (device.isDefaultOutput) return device.id;
    return kNoDevice;
}

} // namespace audio
