#pragma once

// The process's one devices-changed listener, which every back end's event thread calls when
// devices come or go or a server answers again (see BackEnd::setDevicesChangedListener).

#include <functional>

namespace audio::detail {

void setDevicesChangedListener(std::function<void()> listener);
// Calls the listener, if one is set. Safe from any thread; the listener only posts work.
void notifyDevicesChanged();

} // namespace audio::detail
