#include "audio/BackEndChoice.hpp"

#if VANTRELL_BACKEND_PIPEWIRE
#include "audio/pipewire/PipeWireBackEnd.hpp"
#include "audio/pipewire/PipeWireConnection.hpp"
#endif
#if VANTRELL_BACKEND_PULSE
#include "audio/pulse/PulseBackEnd.hpp"
#include "audio/pulse/PulseConnection.hpp"
#endif
#if VANTRELL_BACKEND_RTAUDIO
#include "audio/rtaudio/RtAudioBackEnd.hpp"
#endif

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

namespace audio {

namespace {

using namespace std::chrono_literals;

// One back end of the build.
struct Row {
    const char* name;
    const char* description; // how the log names it
    // Why it serves when nobody forced one, or nothing when it cannot (may wait for a server).
    std::optional<std::string> (*probe)();
    // Why it serves when VANTRELL_AUDIO names it.
    std::string (*forced)();
    std::shared_ptr<BackEnd> (*make)();
    std::string (*realtimeRefusal)();
};

std::string noRefusal() { return ""; }

const Row kRows[] = {
#if VANTRELL_BACKEND_PIPEWIRE
    // Before pulse: PipeWire also serves PulseAudio's protocol, and its own graph is the shorter way.
    {"pipewire", "the PipeWire graph's own back end",
     [] { return pipeWireAnswers(1500ms) ? std::optional<std::string>("a PipeWire daemon answers") : std::nullopt; },
     [] {
         return std::string(detail::pipeWireConnection().start(2s, true) ? "VANTRELL_AUDIO=pipewire"
                                                                          : "VANTRELL_AUDIO=pipewire; no daemon answers yet");
     },
     // The data thread answers when it next runs, maybe after this is read (no lock is held here).
     makePipeWireBackEnd, [] { return detail::pipeWireConnection().realtimeRefusal(2s); }},
#endif
#if VANTRELL_BACKEND_PULSE
    {"pulse", "the sound server's own back end",
     [] { return detail::pulseConnection().start(1500ms, false) ? std::optional<std::string>("a PulseAudio server answers") : std::nullopt; },
     [] {
         return std::string(detail::pulseConnection().start(2s, true) ? "VANTRELL_AUDIO=pulse"
                                                                     : "VANTRELL_AUDIO=pulse; no server answers yet");
     },
     makePulseBackEnd, [] { return detail::pulseConnection().realtimeRefusal(); }},
#endif
#if VANTRELL_BACKEND_RTAUDIO
    {"rtaudio", "the RtAudio library", [] { return std::optional<std::string>("no PulseAudio server answers"); },
     [] { return std::string("VANTRELL_AUDIO=rtaudio"); }, makeRtAudioBackEnd, noRefusal},
#endif
};

BackEndChoice choose(const Row& row, const std::string& why) {
    return BackEndChoice{row.make(), row.name, std::string(row.description) + " (" + why + ")", row.realtimeRefusal()};
}

BackEndChoice decide() {
    const char* forced = std::getenv("VANTRELL_AUDIO");
    const std::string asked = forced ? forced : "";
    for (const Row& row : kRows)
        if (asked == row.name) return choose(row, row.forced());
    const std::string ignored = asked.empty() ? "" : "; VANTRELL_AUDIO=" + asked + " is not a back end of this build";
    for (const Row& row : kRows)
        if (const auto why = row.probe()) return choose(row, *why + ignored);
    // Only a build whose one back end needs a server gets here: it waits for the server.
    return choose(kRows[0], "the only back end of this build; no server answers yet" + ignored);
}

} // namespace

const BackEndChoice& chooseBackEnd() {
    static const BackEndChoice choice = decide();
    return choice;
}

} // namespace audio
