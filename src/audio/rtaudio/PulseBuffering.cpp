#include "audio/rtaudio/PulseBuffering.hpp"

namespace audio::detail {

unsigned int libraryNumberOfBuffers(::RtAudio::Api api, const RtAudio::StreamOptions& options) {
    if (api != ::RtAudio::LINUX_PULSE || options.numberOfBuffers != 0) return options.numberOfBuffers;
    return (options.flags & ::RTAUDIO_MINIMIZE_LATENCY) != 0 ? 2 : 3;
}

} // namespace audio::detail
