#pragma once

// The process-wide listener of setDevicesChangedListener, reachable by every part of the audio
// layer that learns of new devices or of a server's return: the PulseAudio events, and the device
// watch's poll on servers without events (JACK).

namespace audio::detail {

// Calls the listener, if one is set, on the calling thread. Never call it holding a lock the
// listener's own work may need: it only posts, but the engine then takes its lock.
void notifyDevicesChanged();

} // namespace audio::detail
