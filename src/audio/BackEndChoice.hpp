#pragma once

// Which back end serves the process: the engine's own sound-server back end when a PulseAudio
// server answers (PulseAudio itself or PipeWire's), the installed library's APIs (JACK, ALSA)
// otherwise. VANTRELL_AUDIO=pulse or VANTRELL_AUDIO=rtaudio forces one, to compare them side by side.

#include "audio/RtAudio.hpp"

#include <string>

namespace audio {

struct BackEndChoice {
    RtAudioFactory factory;
    std::string name;        // "pulse" or "rtaudio"
    std::string description; // one line for the log: which, and why
    std::string realtimeRefusal; // why the audio thread runs at normal priority; "" when it does not
};

// Decided once per process; later calls answer the same. Waits (up to about a second, before the
// engine serves anyone) for a sound server to answer.
const BackEndChoice& chooseBackEnd();

} // namespace audio
