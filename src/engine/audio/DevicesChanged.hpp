#pragma once

// The process's one devices-changed listener (see setDevicesChangedListener in RtAudio.hpp), which
// every back end calls when devices arrive or a server answers again.

namespace audio::detail {

// Calls the listener, if one is set. Safe from any thread; the listener only posts work.
void notifyDevicesChanged();

} // namespace audio::detail
