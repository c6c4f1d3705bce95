#include "audio/pipewire/PipeWireBackEnd.hpp"
#include "audio/pipewire/PipeWireConnection.hpp"

namespace audio {

bool pipeWireAnswers(std::chrono::milliseconds timeout) {
    // The probe is the connection's first attempt: without a daemon it fails at once and stays
    // down; with one, the connection is ready for the back end that is chosen next.
    return detail::pipeWireConnection().start(timeout, false);
}

} // namespace audio
