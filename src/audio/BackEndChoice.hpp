#pragma once

// Which back end serves the process, from a table of the back ends this build has, in order of
// preference: the PipeWire graph's own back end when a PipeWire daemon answers, the engine's own
// sound-server back end when a PulseAudio server answers (PulseAudio itself or PipeWire's), the
// installed library's APIs (JACK, ALSA) otherwise. VANTRELL_AUDIO names
// one to force it, to compare them side by side.

#include "audio/BackEnd.hpp"

#include <memory>
#include <string>

namespace audio {

struct BackEndChoice {
    std::shared_ptr<BackEnd> backEnd; // null when the build has none that can run
    std::string name;                 // "pipewire", "pulse" or "rtaudio"
    std::string description;          // one line for the log: which, and why
    std::string realtimeRefusal;      // why the audio thread runs at normal priority; "" when it does not
};

// Decided once per process; later calls answer the same. Waits (up to about a second and a half,
// before the engine serves anyone) for a sound server to answer.
const BackEndChoice& chooseBackEnd();

} // namespace audio
