#include "engine/audio/DevicesChanged.hpp"

#include "engine/audio/RtAudio.hpp"

#include <mutex>

namespace audio {

namespace {

std::mutex listenerMutex;
std::function<void()> devicesChangedListener;

} // namespace

void setDevicesChangedListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> guard(listenerMutex);
    devicesChangedListener = std::move(listener);
}

void detail::notifyDevicesChanged() {
    std::function<void()> listener;
    {
        std::lock_guard<std::mutex> guard(listenerMutex);
        listener = devicesChangedListener;
    }
    if (listener) listener();
}

} // namespace audio
