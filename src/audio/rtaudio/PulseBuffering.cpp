#include "audio/rtaudio/PulseBuffering.hpp"

namespace audio::detail {

unsigned int libraryNumberOfBuffers(::RtAudio::Api api, const StreamOptions& options) {
    if (api != ::RtAudio::LINUX_PULSE || options.numberOfBuffers != 0) return options.numberOfBuffers;
    return (options.flags & kMinimizeLatency) != 0 ? 2 : 3;
}

} // namespace audio::detail
