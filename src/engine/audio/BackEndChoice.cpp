#include "engine/audio/BackEndChoice.hpp"

#include "engine/audio/PulseConnection.hpp"
#include "engine/audio/PulseRtAudio.hpp"

#include <cstdlib>

namespace audio {

namespace {

using namespace std::chrono_literals;

BackEndChoice decide() {
    const char* forced = std::getenv("VANTRELL_AUDIO");
    const std::string asked = forced ? forced : "";
    auto library = [](std::string why) {
        return BackEndChoice{systemRtAudioFactory(), "rtaudio", "the RtAudio library (" + why + ")", ""};
    };
    auto own = [](std::string why) {
        return BackEndChoice{pulseRtAudioFactory(), "pulse", "the sound server's own back end (" + why + ")",
                             detail::pulseConnection().realtimeRefusal()};
    };
    if (asked == "rtaudio") return library("VANTRELL_AUDIO=rtaudio");
    if (asked == "pulse") {
        const bool answered = detail::pulseConnection().start(2s, true);
        return own(answered ? "VANTRELL_AUDIO=pulse" : "VANTRELL_AUDIO=pulse; no server answers yet");
    }
    const std::string ignored = asked.empty() ? "" : "; VANTRELL_AUDIO=" + asked + " is not a back end";
    if (detail::pulseConnection().start(1500ms, false)) return own("a PulseAudio server answers" + ignored);
    return library("no PulseAudio server answers" + ignored);
}

} // namespace

const BackEndChoice& chooseBackEnd() {
    static const BackEndChoice choice = decide();
    return choice;
}

} // namespace audio
