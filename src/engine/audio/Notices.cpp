#include "engine/audio/Notices.hpp"

#include <mutex>

namespace audio {

namespace {

// Never destroyed: a report may still run while the process exits.
struct Listener {
    std::mutex mutex;
    std::function<void(const std::string&)> callback;
};
Listener& listener() {
    static Listener* instance = new Listener;
    return *instance;
}

} // namespace

void setNoticeListener(std::function<void(const std::string&)> callback) {
    std::lock_guard<std::mutex> guard(listener().mutex);
    listener().callback = std::move(callback);
}

void detail::postNotice(const std::string& text) {
    std::function<void(const std::string&)> callback;
    {
        std::lock_guard<std::mutex> guard(listener().mutex);
        callback = listener().callback;
    }
    if (callback) callback(text);
}

} // namespace audio
