#include "audio/BackEndChoice.hpp"

#if VANTRELL_BACKEND_PULSE
#include "audio/pulse/PulseConnection.hpp"
#include "audio/pulse/PulseRtAudio.hpp"
#endif

#include <chrono>
#include <cstdlib>
#include <string>

namespace audio {

namespace {

using namespace std::chrono_literals;

[[maybe_unused]] BackEndChoice library(const std::string& why) {
#if VANTRELL_BACKEND_RTAUDIO
    return BackEndChoice{systemRtAudioFactory(), "rtaudio", "the RtAudio library (" + why + ")", ""};
#else
    return BackEndChoice{nullptr, "none", "none: this build has no RtAudio back end (" + why + ")", ""};
#endif
}

#if VANTRELL_BACKEND_PULSE
BackEndChoice own(const std::string& why) {
    return BackEndChoice{pulseRtAudioFactory(), "pulse", "the sound server's own back end (" + why + ")",
                         detail::pulseConnection().realtimeRefusal()};
}
#endif

BackEndChoice decide() {
    const char* forced = std::getenv("VANTRELL_AUDIO");
    const std::string asked = forced ? forced : "";
#if VANTRELL_BACKEND_RTAUDIO
    if (asked == "rtaudio") return library("VANTRELL_AUDIO=rtaudio");
#endif
#if VANTRELL_BACKEND_PULSE
    if (asked == "pulse") {
        const bool answered = detail::pulseConnection().start(2s, true);
        return own(answered ? "VANTRELL_AUDIO=pulse" : "VANTRELL_AUDIO=pulse; no server answers yet");
    }
#endif
    const std::string ignored = asked.empty() ? "" : "; VANTRELL_AUDIO=" + asked + " is not a back end of this build";
#if VANTRELL_BACKEND_PULSE
    if (detail::pulseConnection().start(1500ms, false)) return own("a PulseAudio server answers" + ignored);
#if !VANTRELL_BACKEND_RTAUDIO
    return own("the only back end of this build; no server answers yet" + ignored);
#endif
#endif
    return library("no PulseAudio server answers" + ignored);
}

} // namespace

const BackEndChoice& chooseBackEnd() {
    static const BackEndChoice choice = decide();
    return choice;
}

} // namespace audio
