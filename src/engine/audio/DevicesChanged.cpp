#include "engine/audio/DevicesChanged.hpp"

#include "engine/audio/RtAudio.hpp"

#include <mutex>

namespace audio {

namespace detail {
namespace {

// Never destroyed: a server's thread may still call while the process exits.
struct Listener {
    std::mutex mutex;
    std::function<void()> callback;
};
Listener& listener() {
    static Listener* instance = new Listener;
    return *instance;
}

} // namespace
} // namespace detail

void setDevicesChangedListener(std::function<void()> callback) {
    std::lock_guard<std::mutex> guard(detail::listener().mutex);
    detail::listener().callback = std::move(callback);
}

void detail::notifyDevicesChanged() {
    std::function<void()> callback;
    {
        std::lock_guard<std::mutex> guard(listener().mutex);
        callback = listener().callback;
    }
    if (callback) callback();
}

} // namespace audio
