#pragma once

#include <RtAudio.h>

namespace audio::detail {

// The one back end of the process: the first compiled API that has devices (JACK, PulseAudio,
// ALSA), chosen on first use with the back ends' own diagnostics silenced.
::RtAudio::Api processApi();

} // namespace audio::detail
