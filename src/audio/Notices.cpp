#include "audio/Notices.hpp"

#include "utilities/Listener.hpp"

namespace audio {

namespace {

// Never destroyed: a report may still run while the process exits.
Utilities::Listener<const std::string&>& listener() {
    static auto* instance = new Utilities::Listener<const std::string&>;
    return *instance;
}

} // namespace

void setNoticeListener(std::function<void(const std::string&)> callback) { listener().set(std::move(callback)); }

void detail::postNotice(const std::string& text) { listener().notify(text); }

} // namespace audio
