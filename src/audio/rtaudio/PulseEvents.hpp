#pragma once

// Device arrival and loss from PulseAudio's own event subscription (sinks and sources), on one
// connection of our own. The same connection tells when the server dies and when it is back; it
// reconnects with a growing delay meanwhile. Back ends without events keep the device watch's poll.

namespace audio::detail {

// Starts the subscription once for the process; later calls do nothing. False when it cannot run.
bool startPulseEvents();
// True once the subscription runs: the device watch then needs no periodic look.
bool pulseEventsActive();
// True while the event connection has lost the server and not got it back.
bool pulseServerDown();

} // namespace audio::detail
