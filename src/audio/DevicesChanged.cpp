#include "audio/DevicesChanged.hpp"

#include "utilities/Listener.hpp"

namespace audio::detail {

namespace {

// Never destroyed: a server's thread may still call while the process exits.
Utilities::Listener<>& listener() {
    static auto* instance = new Utilities::Listener<>;
    return *instance;
}

} // namespace

void setDevicesChangedListener(std::function<void()> callback) { listener().set(std::move(callback)); }

void notifyDevicesChanged() { listener().notify(); }

} // namespace audio::detail
